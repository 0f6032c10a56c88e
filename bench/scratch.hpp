// Small helpers the benchmarks share: a scratch directory for generated runs, the start of a
// generated run, journal times, a clock reading, and the counters of a document measured beside the open of its run.
#pragma once

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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

// A generated run in dir begun: its launch.json for run_id with round_budget rounds, and the
// journal's "run-started" line with payload. The journal stays open for the rest of the run.
inline std::ofstream start_run(const std::filesystem::path& dir, const std::string& run_id, int round_budget,
                               const std::string& payload) {
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "launch.json") << fmt::format(
        R"({{"run_id":"{}","plan":"p.yaml","graph":"default","launcher":"codex","session":"s","pid":0,)"
        R"("host":"elsewhere","started_at":"2026-03-01T00:00:00.000Z","round_budget":{},"heartbeat_interval":30,)"
        R"("adoptions":0}})",
        run_id, round_budget);
    std::ofstream journal(dir / "events.jsonl");
    journal << R"({"v":1,"ts":"2026-03-01T00:00:00.000Z","stream":"driver","seq":0,"source":"pipeline","kind":"run-started","labels":{},"payload":)"
            << payload << "}\n";
    return journal;
}

// A journal time ms milliseconds after 2026-03-01T00:00:00.000Z, kept within March.
inline std::string timestamp(std::uint64_t ms) {
    const std::uint64_t s = ms / 1000;
    return fmt::format("2026-03-{:02}T{:02}:{:02}:{:02}.{:03}Z", 1 + s / 86400 % 28, s / 3600 % 24, s / 60 % 60,
                       s % 60, ms % 1000);
}

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
