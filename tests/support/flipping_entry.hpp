// A run entry that a thread points at one directory and then another, as fast as it can, until
// the entry is destroyed: each turn a link made beside it is renamed over it, so the entry always
// names one of the two.
#pragma once

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <thread>

namespace korvalle::testing {

class FlippingEntry {
public:
    FlippingEntry(std::filesystem::path entry, std::filesystem::path first, std::filesystem::path second)
        : flipper_([this, entry = std::move(entry), first = std::move(first), second = std::move(second)] {
              const std::filesystem::path next = entry.parent_path() / ".next";
              for (int turn = 0; !stop_.load(); ++turn) {
                  std::filesystem::create_directory_symlink(turn % 2 ? first : second, next);
                  std::rename(next.c_str(), entry.c_str());
              }
          }) {}
    ~FlippingEntry() {
        stop_ = true;
        flipper_.join();
    }
    FlippingEntry(const FlippingEntry&) = delete;
    FlippingEntry& operator=(const FlippingEntry&) = delete;

private:
    std::atomic<bool> stop_{false};
    std::thread flipper_;
};

}  // namespace korvalle::testing
