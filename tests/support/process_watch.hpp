// Watching a process from a test: its stat line, its open descriptors, its resident memory, and a guard
// that kills it when it grows past a bound, so that a regression fails the test instead of
// exhausting the machine.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace korvalle::testing {

// The process's /proc stat line; empty when the process is gone, even when it goes while being read
// (the read then fails with ESRCH, which the stream library reports by throwing).
inline std::string proc_stat(pid_t pid) {
    try {
        std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    } catch (const std::exception&) {
        return {};
    }
}

// Whether the process has ended: gone, or a zombie waiting for its reaper (which in a container
// may never come).
inline bool has_ended(pid_t pid) {
    const std::string stat = proc_stat(pid);
    const std::size_t close = stat.rfind(')');
    return close == std::string::npos || stat.compare(close, 4, ") Z ") == 0;
}

// The process's group, from its stat line; 0 when it is gone.
inline pid_t group_of(pid_t pid) {
    const std::string stat = proc_stat(pid);
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(stat.substr(close + 1));
    char state = 0;
    pid_t parent = 0, group = 0;
    fields >> state >> parent >> group;
    return group;
}

// The processes of the group that still run (a zombie waiting for its reaper has ended).
inline std::vector<pid_t> running_in_group(pid_t group) {
    std::vector<pid_t> out;
    std::error_code error;
    for (std::filesystem::directory_iterator it("/proc", error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        const pid_t pid = std::stoi(name);
        if (!has_ended(pid) && group_of(pid) == group) out.push_back(pid);
    }
    return out;
}

// The pids the stand-in tool recorded as "grandchild PID" in its calls file.
inline std::vector<pid_t> grandchildren_in(const std::filesystem::path& calls) {
    std::ifstream words(calls);
    std::vector<pid_t> out;
    for (std::string word; words >> word;) {
        if (word == "grandchild") out.emplace_back(), words >> out.back();
    }
    return out;
}

// The number of descriptors the process holds open, or -1 when it cannot be read.
inline int open_descriptors(pid_t pid) {
    std::error_code error;
    int count = 0;
    for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", error), end;
         !error && it != end; it.increment(error)) {
        ++count;
    }
    return error ? -1 : count;
}

// The process's resident memory in bytes, or 0 when it cannot be read.
inline std::size_t resident_bytes(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string word;
    while (status >> word) {
        if (word == "VmRSS:") {
            std::size_t kib = 0;
            status >> kib;
            return kib * 1024;
        }
    }
    return 0;
}

// Polls until the condition holds or the wait passes; returns the condition's last value.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds wait = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// Kills the process with SIGKILL once its resident memory passes the limit; tripped() says so.
class MemoryGuard {
public:
    explicit MemoryGuard(pid_t pid, std::size_t limit = std::size_t{1} << 30)
        : thread_([this, pid, limit] {
              while (!done_.load()) {
                  if (resident_bytes(pid) > limit) {
                      tripped_ = true;
                      ::kill(pid, SIGKILL);
                      return;
                  }
                  std::this_thread::sleep_for(std::chrono::milliseconds(20));
              }
          }) {}
    ~MemoryGuard() {
        done_ = true;
        thread_.join();
    }
    MemoryGuard(const MemoryGuard&) = delete;
    MemoryGuard& operator=(const MemoryGuard&) = delete;

    bool tripped() const { return tripped_.load(); }

private:
    std::atomic<bool> done_{false};
    std::atomic<bool> tripped_{false};
    std::thread thread_;
};

}  // namespace korvalle::testing
