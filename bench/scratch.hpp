// Small pieces the benchmarks share: a scratch directory for generated runs, a clock reading,
// and the counters of a document measured beside the open of its run.
#pragma once

#include <benchmark/benchmark.h>

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

// A document's time beside the time to open its run, both summed over the iterations:
// "open_ms", "{name}_ms", "{name}_over_open" and the size of the last written document.
inline void report_beside_open(benchmark::State& state, const std::string& name, double open_seconds,
                               double document_seconds, std::size_t document_bytes) {
    const double n = static_cast<double>(state.iterations());
    state.counters["open_ms"] = open_seconds / n * 1e3;
    state.counters[name + "_ms"] = document_seconds / n * 1e3;
    state.counters[name + "_over_open"] = document_seconds / open_seconds;
    state.counters["document_MB"] = static_cast<double>(document_bytes) / 1e6;
}

}  // namespace korvalle::bench
