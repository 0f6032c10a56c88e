// The run list's time on one core and on all, and its memory: generated roots of 10, 50 and
// 200 runs (about 2 MB of journal each by default). For each root, every figure in a fresh
// process:
//   - one request's time with the store's openers on one core and on all cores, medians of
//     requests interleaved one against the other in the same process;
//   - the peak resident memory one request adds, and that of 16 concurrent requests;
//   - the resident memory after one request, right after the burst and some seconds later;
//   - for comparison, the peak of one request the plain way (every view alive at once).
//
//   memory_bench [--runs 10,50,200] [--bytes 2097152] [--settle 30] [--repetitions 5] [--keep DIR]
#include "bench/process.hpp"
#include "bench/run_generator.hpp"
#include "sdk/run/liveness.hpp"
#include "sdk/run/views.hpp"
#include "src/payload/summary.hpp"
#include "src/store/blocking.hpp"
#include "src/store/store.hpp"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace korvalle;


// Starts the high-water mark again from the current resident size.
void reset_peak() { std::ofstream("/proc/self/clear_refs") << "5"; }

const store::RunsQuery first_page{std::nullopt, store::max_page, false};

// A store that keeps no opened run: every request opens every run, as the figures here are
// meant (bench/run_cache_bench measures the cache of opened runs). No pipeline tool: every run
// goes without telemetry, and its one line is not shown.
store::RunStore uncached_store(const char* root) {
    return store::RunStore::new_polling_every(root, 500, std::make_shared<store::RunCache>(store::RunCache::keeping_nothing()),
                                              {.telemetry_program = "/nonexistent/korvalle"});
}

double millis_of(const store::RunStore& store) {
    const auto start = std::chrono::steady_clock::now();
    auto page = store::blocking::run_list(store, first_page);
    const auto end = std::chrono::steady_clock::now();
    if (page.at("runs").as_array().empty()) std::abort();
    return std::chrono::duration<double, std::milli>(end - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Child: "<one core ms> <all cores ms> <cores>".
int measure_time(const char* root, int repetitions) {
    cpu_set_t all;
    ::sched_getaffinity(0, sizeof all, &all);
    cpu_set_t one;
    CPU_ZERO(&one);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &all)) {
            CPU_SET(cpu, &one);
            break;
        }
    }
    // The openers take the affinity of the thread that starts them, at the first request.
    ::sched_setaffinity(0, sizeof one, &one);
    const auto single = uncached_store(root);
    millis_of(single);
    ::sched_setaffinity(0, sizeof all, &all);
    const auto every = uncached_store(root);
    millis_of(every);
    std::vector<double> single_ms, every_ms;
    for (int i = 0; i < repetitions; ++i) {
        single_ms.push_back(millis_of(single));
        every_ms.push_back(millis_of(every));
    }
    std::printf("%.1f %.1f %d\n", median(single_ms), median(every_ms), CPU_COUNT(&all));
    return 0;
}

// Child: "<rss> <peak of one> <rss after one> <peak of 16> <rss after 16> <rss settled>", MB;
// peaks are above the resident size before the request(s).
int measure_memory(const char* root, int settle_seconds) {
    const auto store = uncached_store(root);
    const double start = bench::status_mb("VmRSS");
    reset_peak();
    millis_of(store);
    const double peak_one = bench::status_mb("VmHWM") - start;
    const double after_one = bench::status_mb("VmRSS");
    const double before_burst = after_one;
    reset_peak();
    std::vector<std::thread> requests;
    for (int i = 0; i < 16; ++i) requests.emplace_back([&] { millis_of(store); });
    for (auto& request : requests) request.join();
    const double peak_burst = bench::status_mb("VmHWM") - before_burst;
    const double after_burst = bench::status_mb("VmRSS");
    std::this_thread::sleep_for(std::chrono::seconds(settle_seconds));
    std::printf("%.1f %.1f %.1f %.1f %.1f %.1f\n", start, peak_one, after_one, peak_burst, after_burst,
                bench::status_mb("VmRSS"));
    return 0;
}

// Child: "<peak of one request the plain way>" in MB: every view opened and kept, then the
// summaries of the first page.
int measure_plain(const char* root) {
    const double start = bench::status_mb("VmRSS");
    reset_peak();
    {
        auto views = views::RunView::all(root);
        boost::json::array summaries;
        const views::LivenessInputs liveness{.this_host = "localhost", .now_ms = views::now_ms()};
        for (std::size_t i = 0; i < views.size() && i < store::max_page; ++i) {
            summaries.push_back(payload::run_summary(views[i], nullptr, liveness));
        }
    }
    std::printf("%.1f\n", bench::status_mb("VmHWM") - start);
    return 0;
}


}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--measure-time") == 0) {
        ::dup2(::open("/dev/null", O_WRONLY), 2);
        return measure_time(argv[2], std::atoi(argv[3]));
    }
    if (argc == 4 && std::strcmp(argv[1], "--measure-memory") == 0) {
        ::dup2(::open("/dev/null", O_WRONLY), 2);
        return measure_memory(argv[2], std::atoi(argv[3]));
    }
    if (argc == 3 && std::strcmp(argv[1], "--measure-plain") == 0) return measure_plain(argv[2]);

    std::string counts = "10,50,200", keep;
    std::size_t bytes = 2 * 1024 * 1024;
    int settle = 30, repetitions = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--runs") counts = argv[i + 1];
        else if (flag == "--bytes") bytes = std::strtoull(argv[i + 1], nullptr, 10);
        else if (flag == "--settle") settle = std::atoi(argv[i + 1]);
        else if (flag == "--repetitions") repetitions = std::atoi(argv[i + 1]);
        else if (flag == "--keep") keep = argv[i + 1];
        else {
            std::cerr << "unknown flag " << flag << "\n";
            return 2;
        }
    }
    char pattern[] = "/tmp/korvalle-memory-bench-XXXXXX";
    const fs::path work = keep.empty() ? fs::path(::mkdtemp(pattern)) : fs::path(keep);
    std::printf("%5s %8s | %9s %9s %6s | %8s %8s %9s | %8s %9s %9s %9s\n", "runs", "journal", "1 core", "all",
                "ratio", "plain", "peak 1", "after 1", "peak 16", "after 16", "settled", "settled/1");
    std::printf("%5s %8s | %9s %9s %6s | %8s %8s %9s | %8s %9s %9s %9s\n", "", "MB", "ms", "ms", "", "MB", "MB",
                "MB", "MB", "MB", "MB", "");
    std::stringstream list(counts);
    for (std::string item; std::getline(list, item, ',');) {
        const int runs = std::atoi(item.c_str());
        const fs::path root = work / ("runs-" + std::to_string(runs) + "-" + std::to_string(bytes));
        if (!fs::exists(root)) {
            for (int i = 0; i < runs; ++i) bench::generate_run(root, i, bytes);
        }
        double one_ms = 0, all_ms = 0;
        int cores = 0;
        std::sscanf(bench::child("--measure-time " + root.string() + " " + std::to_string(repetitions)).c_str(),
                    "%lf %lf %d", &one_ms, &all_ms, &cores);
        double start = 0, peak_one = 0, after_one = 0, peak_burst = 0, after_burst = 0, settled = 0;
        std::sscanf(bench::child("--measure-memory " + root.string() + " " + std::to_string(settle)).c_str(),
                    "%lf %lf %lf %lf %lf %lf", &start, &peak_one, &after_one, &peak_burst, &after_burst, &settled);
        double plain = 0;
        std::sscanf(bench::child("--measure-plain " + root.string()).c_str(), "%lf", &plain);
        std::printf("%5d %8.1f | %9.1f %9.1f %6.2f | %8.1f %8.1f %9.1f | %8.1f %9.1f %9.1f %9.2f\n", runs,
                    static_cast<double>(bench::journal_bytes(root)) / 1e6, one_ms, all_ms, one_ms / all_ms, plain, peak_one,
                    after_one, peak_burst, after_burst, settled, settled / after_one);
        std::fflush(stdout);
    }
    std::printf("cores: %d; peaks are above the resident size before the request(s); settled: %d s after the "
                "burst; target: ratio >= %.1f, settled/1 <= 2\n",
                std::max(1, static_cast<int>(store::OpenPool::core_count())), settle,
                0.4 * static_cast<double>(store::OpenPool::core_count()));
    if (keep.empty()) fs::remove_all(work);
    return 0;
}
