// Small pieces the benchmarks share: a scratch directory for generated runs, and a clock reading.
#pragma once

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace korvalle::bench {

// A fresh directory /tmp/korvalle-{name}-XXXXXX, removed with everything in it at the end.
class ScratchDir {
public:
    explicit ScratchDir(const std::string& name) {
        std::string pattern = "/tmp/korvalle-" + name + "-XXXXXX";
        path_ = ::mkdtemp(pattern.data());
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

inline double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace korvalle::bench
