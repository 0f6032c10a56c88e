// Loading a round's plan file of 2 000 tasks (the run detail benchmark's plan) beside
// boost::json::parse of the same file, side by side in one run. Both sides read the file and
// drop what they made, so the ratio compares reading a plan into its model with building a
// generic value tree of the same bytes.
#include "bench/plan_text.hpp"
#include "bench/scratch.hpp"
#include "sdk/base/files.hpp"
#include "sdk/plan/plan.hpp"

#include <benchmark/benchmark.h>
#include <boost/json/parse.hpp>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace korvalle;

constexpr int tasks = 2'000;

struct Data {
    bench::ScratchDir scratch{"plan-bench"};
    fs::path file = scratch.path() / "plan.json";
    std::size_t bytes = 0;

    Data() {
        const std::string text = bench::large_plan_text(tasks);
        std::ofstream(file) << text;
        bytes = text.size();
    }
};

Data& data() {
    static Data d;
    return d;
}

std::size_t load_plan() {
    auto loaded = plan::Plan::load(data().file);
    return loaded.ok() ? loaded.value().tasks.size() : 0;
}

std::size_t parse_file() {
    files::ReadResult read = files::read_regular(data().file);
    if (!read.bytes) return 0;
    boost::json::value value = boost::json::parse(*read.bytes);
    return value.at("tasks").as_array().size();
}

double median(std::vector<double> times) {
    std::nth_element(times.begin(), times.begin() + static_cast<std::ptrdiff_t>(times.size() / 2), times.end());
    return times[times.size() / 2];
}

// Each iteration loads the plan five times, then parses the file five times, so that each runs
// against the allocator state its own loop leaves. The ratio is of the medians: parse time over
// load time (above 1 when loading the plan is the faster).
void BM_PlanLoadBesideParse(benchmark::State& state) {
    std::vector<double> load_ms, parse_ms;
    for (auto _ : state) {
        for (int i = 0; i < 5; ++i) {
            const auto start = std::chrono::steady_clock::now();
            if (load_plan() != tasks) state.SkipWithError("the generated plan does not load");
            load_ms.push_back(bench::seconds_since(start) * 1e3);
        }
        for (int i = 0; i < 5; ++i) {
            const auto start = std::chrono::steady_clock::now();
            if (parse_file() != tasks) state.SkipWithError("the generated plan does not parse");
            parse_ms.push_back(bench::seconds_since(start) * 1e3);
        }
    }
    state.counters["load_ms"] = median(load_ms);
    state.counters["parse_ms"] = median(parse_ms);
    state.counters["parse_over_load"] = median(parse_ms) / median(load_ms);
    state.counters["file_MB"] = static_cast<double>(data().bytes) / 1e6;
}
BENCHMARK(BM_PlanLoadBesideParse)->Unit(benchmark::kMillisecond)->MinTime(3);

}  // namespace

BENCHMARK_MAIN();
