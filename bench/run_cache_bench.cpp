// The cache of opened runs on a generated runs root (default 200 runs of about 2 MB of journal
// each), the pipeline tool absent, everything in one process and one run:
//   - the first run-list request after start (every run read and replayed) against the median
//     of five more with the cache warm (target: at least 50 times faster);
//   - what one warm request reads: bytes and read calls from /proc/self/io, runs replayed
//     (target: no journal read, only the listing and stat calls);
//   - the memory the cache holds: heap in use and resident size after the first request, over
//     the journal bytes, beside the cache's own estimate (RunCache::bytes_per_journal_byte).
//
//   run_cache_bench [--runs 200] [--bytes 2097152] [--keep DIR]
#include "bench/run_generator.hpp"
#include "src/store/change_feed.hpp"
#include "src/store/blocking.hpp"
#include "src/store/store.hpp"

#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace korvalle;

// A field of a /proc/self file ("VmRSS" of status in kB, "rchar" of io in bytes).
double proc_field(const char* file, const char* field) {
    std::ifstream in(file);
    std::string line;
    const std::size_t length = std::strlen(field);
    while (std::getline(in, line)) {
        if (line.compare(0, length, field) == 0 && line[length] == ':') return std::strtod(line.c_str() + length + 1, nullptr);
    }
    return 0;
}

double heap_mb() {
    const struct mallinfo2 info = ::mallinfo2();
    return static_cast<double>(info.uordblks + info.hblkhd) / 1e6;
}

double rss_mb() { return proc_field("/proc/self/status", "VmRSS") / 1024.0; }

double millis_of_run_list(const store::RunStore& store) {
    const auto start = std::chrono::steady_clock::now();
    auto page = store::blocking::run_list(store, store::RunsQuery{std::nullopt, store::max_page, false});
    const auto end = std::chrono::steady_clock::now();
    if (page.at("runs").as_array().empty()) std::abort();
    return std::chrono::duration<double, std::milli>(end - start).count();
}

double cpu_ms() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto ms = [](const timeval& t) { return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

// What one step reads: bytes, read calls and runs replayed.
struct Reads {
    double bytes = 0, calls = 0;
    std::uint64_t replayed = 0;
};

template <class Step>
Reads reads_of(const store::RunStore& store, Step step) {
    const double rchar = proc_field("/proc/self/io", "rchar"), syscr = proc_field("/proc/self/io", "syscr");
    const std::uint64_t replays = store.run_cache().figures().replays;
    step();
    return Reads{proc_field("/proc/self/io", "rchar") - rchar, proc_field("/proc/self/io", "syscr") - syscr,
                 store.run_cache().figures().replays - replays};
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 200;
    std::size_t bytes = 2 * 1024 * 1024;
    std::string keep;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--runs") runs = std::atoi(argv[i + 1]);
        else if (flag == "--bytes") bytes = std::strtoull(argv[i + 1], nullptr, 10);
        else if (flag == "--keep") keep = argv[i + 1];
        else {
            std::cerr << "unknown flag " << flag << "\n";
            return 2;
        }
    }
    char pattern[] = "/tmp/korvalle-cache-bench-XXXXXX";
    const fs::path work = keep.empty() ? fs::path(::mkdtemp(pattern)) : fs::path(keep);
    const fs::path root = work / ("runs-" + std::to_string(runs) + "-" + std::to_string(bytes));
    if (!fs::exists(root)) {
        for (int i = 0; i < runs; ++i) bench::generate_run(root, i, bytes);
        // Files changed within two seconds of a read are never kept.
        std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    }
    const double journal_mb = static_cast<double>(bench::journal_bytes(root)) / 1e6;

    // No pipeline tool: every run goes without telemetry, and its one line is not shown.
    ::dup2(::open("/dev/null", O_WRONLY), 2);

    const auto store = store::RunStore::new_polling_every(root.string(), 500, {.telemetry_program = "/nonexistent/korvalle"});
    const double heap_before = heap_mb(), rss_before = rss_mb();
    const double first = millis_of_run_list(store);
    const double heap_held = heap_mb() - heap_before, rss_held = rss_mb() - rss_before;
    const store::RunCache::Figures cold = store.run_cache().figures();

    std::vector<double> warm;
    for (int i = 0; i < 5; ++i) warm.push_back(millis_of_run_list(store));
    std::sort(warm.begin(), warm.end());
    const double median = warm[warm.size() / 2];
    const Reads request = reads_of(store, [&] { millis_of_run_list(store); });

    store::Frames stream(store, store::EventsQuery{});
    store::blocking::snapshot(stream);
    const Reads poll = reads_of(store, [&] { store::blocking::poll(stream); });
    std::vector<double> poll_cpu;
    for (int i = 0; i < 20; ++i) {
        const double start = cpu_ms();
        store::blocking::poll(stream);
        poll_cpu.push_back(cpu_ms() - start);
    }
    std::sort(poll_cpu.begin(), poll_cpu.end());
    const double poll_ms = poll_cpu[poll_cpu.size() / 2];

    std::printf("root: %d runs, %.1f MB of journal\n", runs, journal_mb);
    std::printf("first run list after start: %9.1f ms\n", first);
    std::printf("warm run list (median of 5): %8.2f ms\n", median);
    std::printf("ratio:                       %8.1f   (target >= 50)\n", first / median);
    std::printf("one warm request: %.0f bytes read in %.0f read calls, %llu runs replayed (target: no journal read)\n",
                request.bytes, request.calls, static_cast<unsigned long long>(request.replayed));
    std::printf("one event-stream poll, root unchanged: %.0f bytes read in %.0f read calls, %llu runs replayed\n",
                poll.bytes, poll.calls, static_cast<unsigned long long>(poll.replayed));
    std::printf("CPU of one poll (median of 20): %.2f ms; 64 streams polling every 500 ms: %.2f of one core "
                "(target < 1)\n",
                poll_ms, 64 * poll_ms / 500);
    std::printf("cache after the first request: %zu views (%.1f MB), %zu records of %.0f bytes each\n", cold.entries,
                static_cast<double>(cold.bytes) / 1e6, cold.records,
                cold.records ? static_cast<double>(cold.record_bytes) / static_cast<double>(cold.records) : 0.0);
    std::printf("held after the first request: heap %.1f MB (%.2f per journal byte), resident %.1f MB (%.2f)\n",
                heap_held, heap_held / journal_mb, rss_held, rss_held / journal_mb);
    if (keep.empty()) fs::remove_all(work);
    return 0;
}
