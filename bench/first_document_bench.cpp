// The first documents of a run, the ones a user waits for: each answered in a fresh process, as
// a fresh server answers it (a fresh run cache, its journals parsed in shards on every core as the
// store's, opens the run for the request), beside boost::json::parse of the run's journal lines
// in the same process. The run is replay_bench's large run (40 nodes in one round, a journal of
// agent sessions, version control and pipeline lines; 100 000 envelopes and 58 MB by default),
// written by replay_bench --write-run.
//
// For each document (the run detail without conversations, the run detail with them, the
// whole-run timeline) and each iteration, in an order drawn per iteration: a fresh process opens
// the run, answers the document as the route sends it (in fragments, stamped behind the
// envelope's head), answers it a second time from the view its cache kept, and parses the
// journal's lines, the parse first or last as drawn. Reported per document: the medians of the
// open, of the answer beyond the open, of the second answer, and of each over the parse
// (targets: the answer beyond the open at most 0.3 of the parse; for the full detail, the open
// and the answer at most 1.2 of it on 100 000 envelopes and 1.15 on 10^6, the second answer at
// most 0.8).
//
// Then, in a fresh process, what the cache counts for the run kept with everything its
// documents keep beside it (indexes, kept texts, round objects), beside what the process's own
// resident memory grew by for it (RssAnon, glibc's free memory trimmed before each reading), and
// both per journal byte: for the view alone, and with what each first document keeps.
//
//   first_document_bench [--envelopes N] [--iterations K] [--keep DIR] [--only DOCUMENT] [--bound MIB]
//
// --keep DIR keeps the generated run in DIR (and uses the one there); --only measures the times of
// one document (detail_without_conversations, full_detail or whole_timeline) and not the memory;
// --iterations 0 measures the memory alone; --bound sets the cache's bound for views (1024 MiB by
// default), so that what the documents keep may not fit beside the view and is made again for
// each answer.
#include "bench/journal_parse.hpp"
#include "bench/process.hpp"
#include "bench/scratch.hpp"
#include "sdk/run/liveness.hpp"
#include "src/api/envelope.hpp"
#include "src/store/blocking.hpp"
#include "src/payload/run_detail/run_detail.hpp"
#include "src/payload/timeline/timeline.hpp"
#include "src/store/open_pool.hpp"
#include "src/store/run_cache.hpp"

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <numeric>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace korvalle;

views::LivenessInputs liveness() { return {.this_host = "localhost", .now_ms = views::now_ms()}; }

// The first answers measured, each made as its route makes it.
struct Document {
    const char* name;
    std::function<api::Envelope(const store::OpenedRun&, std::int64_t read_from)> answer;
};

api::Envelope sent(text::Fragments fragments) {
    api::Stamped stamped = api::stamp_written(std::move(fragments));
    return *api::envelope_body(stamped);
}

// The documents measured: all, or the one named by --only.
std::string only;
// The cache's bound for views, MiB (--bound).
std::uint64_t bound_mib = store::CacheBounds{}.view_bytes >> 20;

store::CacheBounds bounds() { return {.view_bytes = bound_mib << 20}; }

// A run cache as the store makes it: journals parsed in shards on a pool of every core.
struct ServerCache {
    ServerCache() : cache(bounds()) {
        cache.fan_out(openers, views::JournalFanout::default_shard_bytes);
    }
    std::shared_ptr<store::OpenPool> openers = std::make_shared<store::OpenPool>(store::OpenPool::core_count());
    store::RunCache cache;
};

std::vector<Document> documents() {
    std::vector<Document> all{
        {"detail_without_conversations",
         [](const store::OpenedRun& run, std::int64_t read_from) {
             return sent(payload::run_detail_fragments(run.view, false, nullptr, run.indexes_of(read_from), liveness()));
         }},
        {"full_detail",
         [](const store::OpenedRun& run, std::int64_t read_from) {
             return sent(payload::run_detail_fragments(run.view, true, nullptr, run.indexes_of(read_from), liveness()));
         }},
        {"whole_timeline",
         [](const store::OpenedRun& run, std::int64_t) {
             return sent(payload::timeline_fragments(run.view, std::nullopt, run.indexes_of()));
         }},
    };
    std::erase_if(all, [](const Document& document) { return !only.empty() && document.name != only; });
    return all;
}


// The process's own resident memory (not its code, which the first call of a function brings
// in) once glibc has given back what it can.
double trimmed_rss_mb() {
    ::malloc_trim(0);
    return bench::status_mb("RssAnon");
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Child: one fresh process's first answer of one document, as a fresh server gives it, its second
// answer, and the parse of the journal's lines, in the order asked: "<open ms> <document ms>
// <second ms> <parse ms> <document bytes> <lines parsed> <opens>" (opens: 1 when the second answer
// came from the kept view).
int measure_first(const ledger::RunPaths& paths, const std::string& name, bool parse_first) {
    const std::vector<Document> all = documents();
    const auto document = std::find_if(all.begin(), all.end(), [&](const Document& d) { return d.name == name; });
    if (document == all.end()) return 2;
    double parse_ms = 0;
    std::size_t lines = 0;
    const auto parse = [&] {
        const auto start = std::chrono::steady_clock::now();
        lines = bench::parse_journal_lines(paths.dir / "events.jsonl");
        parse_ms = bench::seconds_since(start) * 1e3;
    };
    if (parse_first) parse();
    ServerCache server;
    store::RunCache& cache = server.cache;
    const std::int64_t read_from = cache.now();
    auto start = std::chrono::steady_clock::now();
    store::SharedRun run = store::blocking::open_run(cache, paths);
    const double open_ms = bench::seconds_since(start) * 1e3;
    if (!run) return 1;
    start = std::chrono::steady_clock::now();
    std::size_t bytes = 0;
    {
        const api::Envelope answer = document->answer(*run, read_from);
        cache.count_indexes(paths, run);
        bytes = answer.size();
    }
    const double document_ms = bench::seconds_since(start) * 1e3;
    // Let go as the request that asked for it does: a view the cache did not keep holds its share
    // of the budget for opens until then.
    run.reset();
    start = std::chrono::steady_clock::now();
    {
        const store::SharedRun again = store::blocking::open_run(cache, paths);
        if (!again) return 1;
        const api::Envelope answer = document->answer(*again, cache.now());
        cache.count_indexes(paths, again);
        benchmark::DoNotOptimize(answer.head.data());
    }
    const double second_ms = bench::seconds_since(start) * 1e3;
    if (!parse_first) parse();
    std::printf("%.3f %.3f %.3f %.3f %zu %zu %llu\n", open_ms, document_ms, second_ms, parse_ms, bytes, lines,
                static_cast<unsigned long long>(cache.figures().replays));
    return 0;
}

void measure_times(const ledger::RunPaths& paths, int iterations) {
    const std::vector<Document> measured = documents();
    const std::size_t n = measured.size();
    std::vector<std::vector<double>> open(n), first(n), second(n), parse(n), first_over_parse(n), open_over_parse(n),
        second_over_parse(n);
    std::vector<std::size_t> bytes(n);
    std::vector<unsigned long long> most_opens(n);
    std::size_t lines = 0;
    // A fixed seed: runs draw the same orders, and the parse goes first in about half of the
    // processes, so that neither always meets the fresh process's first costs.
    std::mt19937 engine(20260301);
    std::vector<std::size_t> order(n);
    for (int i = 0; i < iterations; ++i) {
        std::iota(order.begin(), order.end(), 0);
        std::shuffle(order.begin(), order.end(), engine);
        for (std::size_t d : order) {
            const bool parse_first = std::bernoulli_distribution(0.5)(engine);
            double open_ms = 0, first_ms = 0, second_ms = 0, parse_ms = 0;
            unsigned long long opens = 0;
            if (std::sscanf(bench::child(fmt::format("--measure-first {} {} {} {}", paths.dir.string(), measured[d].name,
                                              parse_first ? "parse-first" : "parse-last", bound_mib))
                                .c_str(),
                            "%lf %lf %lf %lf %zu %zu %llu", &open_ms, &first_ms, &second_ms, &parse_ms, &bytes[d], &lines,
                            &opens) != 7) {
                std::fprintf(stderr, "the measuring process failed\n");
                std::exit(1);
            }
            open[d].push_back(open_ms);
            first[d].push_back(first_ms);
            second[d].push_back(second_ms);
            second_over_parse[d].push_back(second_ms / parse_ms);
            most_opens[d] = std::max(most_opens[d], opens);
            parse[d].push_back(parse_ms);
            first_over_parse[d].push_back(first_ms / parse_ms);
            open_over_parse[d].push_back(open_ms / parse_ms);
        }
    }
    std::printf("journal: %.1f MB, %zu lines; parse: boost::json::parse of every line\n",
                static_cast<double>(fs::file_size(paths.dir / "events.jsonl")) / 1e6, lines);
    std::printf("%-30s %6s %8s %8s %8s %8s %10s %10s %10s %10s %9s %6s\n", "first document", "MB", "open ms", "doc ms",
                "2nd ms", "parse ms", "open/parse", "doc/parse", "all/parse", "2nd/parse", "slow/fast", "opens");
    for (std::size_t d = 0; d < n; ++d) {
        std::vector<double> all_over_parse(first_over_parse[d].size());
        for (std::size_t i = 0; i < all_over_parse.size(); ++i)
            all_over_parse[i] = first_over_parse[d][i] + open_over_parse[d][i];
        const auto [fastest, slowest] = std::minmax_element(first[d].begin(), first[d].end());
        std::printf("%-30s %6.1f %8.1f %8.1f %8.1f %8.1f %10.2f %10.2f %10.2f %10.2f %9.2f %6llu\n", measured[d].name,
                    static_cast<double>(bytes[d]) / 1e6, median(open[d]), median(first[d]), median(second[d]),
                    median(parse[d]), median(open_over_parse[d]), median(first_over_parse[d]), median(all_over_parse),
                    median(second_over_parse[d]), *slowest / *fastest, most_opens[d]);
    }
    std::printf("medians over %d fresh processes each, views bound at %llu MiB; doc: the first answer beyond the\n"
                "open (target: doc/parse <= 0.3); all: open and answer; 2nd: the same answer again; slow/fast:\n"
                "the slowest first answer over the fastest; opens: the most opens in one process (1: every second\n"
                "answer came from the kept view)\n",
                iterations, static_cast<unsigned long long>(bound_mib));
}

// Child: what the cache counts for the run and what the process's resident memory grew by, MB,
// after the open and after each document: one line "<step> <counted> <real>" each.
int measure_memory(const ledger::RunPaths& paths) {
    ServerCache server;
    store::RunCache& cache = server.cache;
    const std::int64_t read_from = cache.now();
    const double start = trimmed_rss_mb();
    const store::SharedRun run = store::blocking::open_run(cache, paths);
    if (!run) return 1;
    const auto line = [&](const char* step) {
        const double real = trimmed_rss_mb() - start;
        std::printf("%s %.1f %.1f\n", step, static_cast<double>(cache.figures().bytes) / 1048576.0, real);
    };
    line("view");
    for (const Document& document : documents()) {
        {
            const api::Envelope answer = document.answer(*run, read_from);
            benchmark::DoNotOptimize(answer.head.data());
        }
        cache.count_indexes(paths, run);
        line(document.name);
    }
    return 0;
}


void report_memory(const ledger::RunPaths& paths) {
    const double journal = static_cast<double>(fs::file_size(paths.dir / "events.jsonl")) / 1048576.0;
    std::printf("%-30s %9s %9s %10s %10s %10s\n", "kept run (fresh process)", "counted", "real", "cnt/real",
                "cnt/jrnl", "real/jrnl");
    std::istringstream lines(bench::child(fmt::format("--measure-memory {} {}", paths.dir.string(), bound_mib)));
    std::string step;
    double counted = 0, real = 0;
    int rows = 0;
    while (lines >> step >> counted >> real) {
        std::printf("%-30s %9.1f %9.1f %10.2f %10.2f %10.2f\n", (rows++ ? "+ " + step : step).c_str(), counted, real,
                    counted / real, counted / journal, real / journal);
    }
    if (rows == 0) std::printf("memory: the measuring process failed\n");
    std::printf("MiB, the view alone, then with what each first document keeps beside it; real: growth of\n"
                "the process's own resident memory (RssAnon), glibc's free memory trimmed\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 6 && std::strcmp(argv[1], "--measure-first") == 0) {
        const fs::path dir = argv[2];
        bound_mib = std::strtoull(argv[5], nullptr, 10);
        return measure_first(ledger::RunPaths{dir.filename().string(), dir}, argv[3],
                             std::strcmp(argv[4], "parse-first") == 0);
    }
    if (argc == 4 && std::strcmp(argv[1], "--measure-memory") == 0) {
        const fs::path dir = argv[2];
        bound_mib = std::strtoull(argv[3], nullptr, 10);
        return measure_memory(ledger::RunPaths{dir.filename().string(), dir});
    }
    long envelopes = 100'000;
    int iterations = 5;
    std::string keep;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--envelopes") envelopes = std::strtol(argv[i + 1], nullptr, 10);
        else if (flag == "--iterations") iterations = std::max(0, std::atoi(argv[i + 1]));
        else if (flag == "--keep") keep = argv[i + 1];
        else if (flag == "--only") only = argv[i + 1];
        else if (flag == "--bound") bound_mib = std::strtoull(argv[i + 1], nullptr, 10);
        else {
            std::fprintf(stderr, "unknown flag %s\n", flag.c_str());
            return 2;
        }
    }
    std::optional<bench::ScratchDir> scratch;
    if (keep.empty()) scratch.emplace("first-document-bench");
    const fs::path root = keep.empty() ? scratch->path() : fs::path(keep);
    const ledger::RunPaths paths{"big", root / "big"};
    if (!fs::exists(paths.dir / "events.jsonl")) {
        const fs::path writer = fs::read_symlink("/proc/self/exe").parent_path() / "replay_bench";
        const std::string command = writer.string() + " --write-run " + paths.dir.string() + " " + std::to_string(envelopes);
        if (std::system(command.c_str()) != 0) {
            std::fprintf(stderr, "could not write the run with %s\n", writer.c_str());
            return 1;
        }
    }
    // Files changed within the cache's window of distrust make a view that is not trusted.
    std::this_thread::sleep_for(std::chrono::nanoseconds(store::RunCache::settle_ns) + std::chrono::milliseconds(100));
    if (iterations > 0) measure_times(paths, iterations);
    if (only.empty()) report_memory(paths);
    return 0;
}
