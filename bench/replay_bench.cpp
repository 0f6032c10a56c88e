// Opening runs: one run with a large journal beside boost::json::parse over the same lines
// (each alone, and both side by side as a ratio, the run opened in fresh memory and in the blocks
// that earlier views left, as the store opens it), and side by side with simdjson reading the
// envelopes' fields from those lines (On-Demand) and parsing them (DOM), the same open with the
// journal parsed in shards on every core beside the open on one thread and the parse,
// the same journal written out of merge order, the peak memory of these opens, on one thread and
// in shards (measured in a fresh process), and listing a root of many small runs. Deriving the statuses of a chain of
// 1 000 and of 8 000 nodes listed against its order and blocked at its tail, side by side: the
// time grows with the size of the graph, not with its square.
//
//   replay_bench [benchmark flags]
//   replay_bench --write-run DIR [ENVELOPES]
//                                    writes the large run alone into DIR (the directory of one run,
//                                    named by its id), for the server's benchmarks; ENVELOPES
//                                    (default 100 000) sets the length of its journal
#include "bench/scratch.hpp"
#include "sdk/base/files.hpp"
#include "sdk/run/statuses.hpp"
#include "sdk/run/views.hpp"
#include "src/store/block_reserve.hpp"
#include "src/store/open_pool.hpp"

#include <benchmark/benchmark.h>
#include <boost/json/parse.hpp>
#include <fmt/format.h>
#include <simdjson.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace korvalle;

constexpr int big_journal_envelopes = 100'000;
constexpr int small_runs = 200;

std::string plan_payload(int nodes) {
    std::string tasks;
    for (int i = 0; i < nodes; ++i) {
        tasks += fmt::format(R"({}{{"id":"node-{}","task":"Implement part {} of the change and keep the tests green.",)"
                             R"("persona":"worker"{}}})",
                             i ? "," : "", i, i, i ? fmt::format(R"(,"deps":["node-{}"])", i - 1) : "");
    }
    return fmt::format(R"({{"plan":{{"schema_version":1,"name":"bench","concurrency":4,"tasks":[{}]}}}})", tasks);
}

// One journal line of a realistic mix: agent activity and turns, version control, pipeline.
// With skew, every fourth line comes from a writer whose clock runs 60 ms ahead, so the file is
// not in merge order (as when several streams append to one journal).
std::string journal_line(int i, int nodes, bool skewed) {
    const std::uint64_t ahead = skewed && i % 4 == 1 ? 60 : 0;
    const std::string ts = bench::timestamp(1'000'000 + static_cast<std::uint64_t>(i) * 37 + ahead);
    const int node = (i / 50) % nodes;
    switch (i % 10) {
    case 0:
        return fmt::format(R"({{"v":1,"ts":"{}","stream":"driver","seq":{},"source":"pipeline","kind":"node-dispatched",)"
                           R"("labels":{{"run_id":"big","node":"node-{}","round":1}},"payload":{{"attempt":1}}}})",
                           ts, i, node);
    case 9:
        return fmt::format(R"({{"v":1,"ts":"{}","stream":"driver","seq":{},"source":"pipeline","kind":"node-settled",)"
                           R"("labels":{{"run_id":"big","node":"node-{}","round":1}},"payload":{{"status":"done",)"
                           R"("outcome":"merged","branch":"feature/node-{}","completed_steps":["plan","edit","test"],)"
                           R"("change_url":"https://git.example.com/korvalle/shop/pull/{}"}}}})",
                           ts, i, node, node, 1000 + node);
    case 5:
        return fmt::format(R"({{"v":1,"ts":"{}","stream":"vcs","seq":{},"source":"vcs","kind":"change-check",)"
                           R"("labels":{{"run_id":"big","node":"node-{}","round":1}},"payload":{{"name":"unit-tests",)"
                           R"("status":"completed","conclusion":"success","required":true,"summary":"412 passed, 3 skipped )"
                           R"(in 48.20s; coverage 81.4% (+0.3); slowest: test_backfill_batches 6.1s, test_refund_rounding 2.4s"}},)"
                           R"("artifacts":[{{"id":"check-{}","kind":"gate_log","bytes":20480}}]}})",
                           ts, i, node, i);
    case 8:
        return fmt::format(R"({{"v":1,"ts":"{}","stream":"morvane/ses-{}","seq":{},"source":"morvane","kind":"turn-completed",)"
                           R"("labels":{{"run_id":"big","node":"node-{}","round":1,"persona":"worker","session":"ses-{}","role":"agent"}},)"
                           R"("payload":{{"message":"I updated the totals module to use integer cents throughout, adjusted the )"
                           R"(serializer and reran the unit tests; two fixtures needed new expected values, which I regenerated )"
                           R"(from the migration script. Next I will check the refund path for rounding, then the store-credit )"
                           R"(ledger, which still divides before it multiplies and so loses a cent on odd totals.","model":"claude-sonnet-4",)"
                           R"("usage":{{"duration":41.25,"tokens_in":18342,"tokens_out":2210,"cache_read":12000,"cache_write":1400,"cost":0.1187}}}}}})",
                           ts, node, i, node, node);
    default:
        return fmt::format(R"({{"v":1,"ts":"{}","stream":"morvane/ses-{}","seq":{},"source":"morvane","kind":"turn-activity",)"
                           R"("labels":{{"run_id":"big","node":"node-{}","round":1,"persona":"worker","session":"ses-{}","role":"agent"}},)"
                           R"("payload":{{"kind":"tool","name":"Bash","detail":"cd services/orders && go test ./... -run )"
                           R"('TestTotals|TestRefund|TestBackfill' -count=1 -v 2>&1 | tail -n 80 # iteration {} after editing )"
                           R"(totals.go, refund.go and backfill.go; expecting the cents rounding fixes to hold for partial refunds, )"
                           R"(store credit, multi-currency orders and the historical rows that the backfill has already rewritten )"
                           R"(in batches of ten thousand since the migration started"}}}})",
                           ts, node, i, node, node, i);
    }
}

void write_run(const fs::path& dir, int envelopes, int nodes, bool skewed = false) {
    std::ofstream journal = bench::start_run(dir, "r", 4, plan_payload(nodes));
    journal << R"({"v":1,"ts":"2026-03-01T00:00:00.001Z","stream":"driver","seq":0,"source":"pipeline","kind":"round-started","labels":{"round":1},"payload":{}})"
            << "\n";
    for (int i = 2; i < envelopes; ++i) journal << journal_line(i, nodes, skewed) << '\n';
}

struct Data {
    bench::ScratchDir scratch{"bench"};
    fs::path root = scratch.path();
    fs::path big_root;
    fs::path skewed_root;
    fs::path small_root;
    std::uint64_t big_bytes = 0;

    Data() {
        big_root = root / "big";
        skewed_root = root / "skewed";
        small_root = root / "small";
        write_run(big_root / "big", big_journal_envelopes, 40);
        write_run(skewed_root / "big", big_journal_envelopes, 40, true);
        big_bytes = fs::file_size(big_root / "big" / "events.jsonl");
        for (int i = 0; i < small_runs; ++i) {
            write_run(small_root / fmt::format("run-{:03}", i), 60, 6);
        }
    }
};

Data& data() {
    static Data d;
    return d;
}

void open_large_run(benchmark::State& state, const fs::path& root) {
    const ledger::RunPaths paths{"big", root / "big"};
    std::size_t envelopes = 0;
    for (auto _ : state) {
        auto opened = views::RunView::open(paths);
        envelopes = opened.ok() ? opened.value().envelopes.size() : 0;
        benchmark::DoNotOptimize(envelopes);
    }
    state.counters["envelopes"] = static_cast<double>(envelopes);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data().big_bytes));
}
void BM_OpenLargeRun(benchmark::State& state) { open_large_run(state, data().big_root); }
BENCHMARK(BM_OpenLargeRun)->Unit(benchmark::kMillisecond)->MinTime(3);

// The same run with a journal out of merge order: read, sorted, then replayed.
void BM_OpenLargeRunOutOfOrder(benchmark::State& state) { open_large_run(state, data().skewed_root); }
BENCHMARK(BM_OpenLargeRunOutOfOrder)->Unit(benchmark::kMillisecond)->MinTime(3);

// Hands visit the offset and length of each line of text.
template <class Visit>
void for_each_line(std::string_view text, Visit visit) {
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        visit(start, end - start);
        start = end + 1;
    }
}

// The reference: read the same file, split it into lines and parse each with Boost.JSON.
std::size_t parse_lines(const fs::path& journal) {
    const files::ReadResult read = files::read_regular(journal);
    const std::string_view text = *read.bytes;
    std::size_t values = 0;
    for_each_line(text, [&](std::size_t start, std::size_t length) {
        boost::json::error_code ec;
        boost::json::value value = boost::json::parse(text.substr(start, length), ec);
        values += ec ? 0 : 1;
        benchmark::DoNotOptimize(value);
    });
    return values;
}

void BM_BoostParseLargeJournal(benchmark::State& state) {
    const fs::path journal = data().big_root / "big" / "events.jsonl";
    std::size_t values = 0;
    for (auto _ : state) values = parse_lines(journal);
    state.counters["values"] = static_cast<double>(values);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data().big_bytes));
}
BENCHMARK(BM_BoostParseLargeJournal)->Unit(benchmark::kMillisecond)->MinTime(3);

// ---- Steps measured side by side: each iteration runs one step five times, then the next, so
// that each runs against the allocator state its own loop leaves. Ratios are of the medians. ----

// The times of the calls of one step, in ms: elapsed, and the CPU time in the process's own code
// (user) and in the kernel on its behalf (sys: above all, the fresh memory a view is made in).
struct StepTimes {
    std::vector<double> ms, user_ms, sys_ms;
};

double cpu_ms(const timeval& t) { return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3; }

// Times five calls of step. What a step makes is let go once its time is taken: a view is opened
// to be read, and when it goes is no part of opening it.
template <class Step>
void time_five(StepTimes& times, Step step) {
    for (int i = 0; i < 5; ++i) {
        rusage before{}, after{};
        ::getrusage(RUSAGE_SELF, &before);
        const auto start = std::chrono::steady_clock::now();
        auto made = step();
        benchmark::DoNotOptimize(made);
        times.ms.push_back(bench::seconds_since(start) * 1e3);
        ::getrusage(RUSAGE_SELF, &after);
        times.user_ms.push_back(cpu_ms(after.ru_utime) - cpu_ms(before.ru_utime));
        times.sys_ms.push_back(cpu_ms(after.ru_stime) - cpu_ms(before.ru_stime));
    }
}

double median(std::vector<double> values) {
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

// Prints the medians as "{name}_ms", "{name}_user_ms" and "{name}_sys_ms", and the journal's
// bytes over the elapsed one as "{name}_MBps"; returns the elapsed median.
double report_step(benchmark::State& state, const std::string& name, const StepTimes& times) {
    const double elapsed = median(times.ms);
    state.counters[name + "_ms"] = elapsed;
    state.counters[name + "_user_ms"] = median(times.user_ms);
    state.counters[name + "_sys_ms"] = median(times.sys_ms);
    state.counters[name + "_MBps"] = static_cast<double>(data().big_bytes) / 1e3 / elapsed;
    return elapsed;
}

// Opening the run beside parsing its lines: parse time over open time (above 1 when opening is
// the faster), elapsed and in user CPU time (the parse keeps nothing, so the kernel's share of an
// open, making the view's fresh memory, is its alone). The run is opened in fresh memory, and as
// the store opens it, in the blocks that the views freed before it left (open_kept).
void BM_OpenBesideParse(benchmark::State& state) {
    const ledger::RunPaths paths{"big", data().big_root / "big"};
    const fs::path journal = paths.dir / "events.jsonl";
    // The bounds of the run cache's reserve under its default budget for opens.
    constexpr std::uint64_t budget = std::uint64_t{1} << 30;
    const auto kept = std::make_shared<store::BlockReserve>(budget / 8, std::chrono::seconds(10), store::MemoryBudget::make(budget));
    StepTimes open_times, kept_times, parse_times;
    for (auto _ : state) {
        time_five(open_times, [&] { return views::RunView::open(paths); });
        time_five(kept_times, [&] { return views::RunView::open(paths, std::nullopt, {}, kept); });
        time_five(parse_times, [&] { return parse_lines(journal); });
    }
    const double open = report_step(state, "open", open_times);
    const double open_kept = report_step(state, "open_kept", kept_times);
    const double parse = report_step(state, "parse", parse_times);
    state.counters["parse_over_open"] = parse / open;
    state.counters["parse_over_open_kept"] = parse / open_kept;
    state.counters["parse_over_open_user"] = median(parse_times.user_ms) / median(open_times.user_ms);
}
BENCHMARK(BM_OpenBesideParse)->Unit(benchmark::kMillisecond)->Iterations(4);

// The same open with the journal parsed in shards on a pool of every core (the store's openers),
// beside the open on one thread and beside parsing the lines: one thread's time over the shards'
// (what the fan-out itself gains) and the parse's time over the shards'. The argument is the
// shards' size in KiB.
void open_in_shards_beside_parse(benchmark::State& state, const fs::path& root) {
    const ledger::RunPaths paths{"big", root / "big"};
    const fs::path journal = paths.dir / "events.jsonl";
    store::OpenPool pool(store::OpenPool::core_count());
    const views::JournalFanout fanout{&pool, static_cast<std::uint64_t>(state.range(0)) << 10};
    StepTimes shards_times, one_times, parse_times;
    for (auto _ : state) {
        time_five(shards_times, [&] { return views::RunView::open(paths, std::nullopt, fanout); });
        time_five(one_times, [&] { return views::RunView::open(paths); });
        time_five(parse_times, [&] { return parse_lines(journal); });
    }
    const double shards = report_step(state, "shards", shards_times);
    state.counters["one_over_shards"] = report_step(state, "one", one_times) / shards;
    state.counters["parse_over_shards"] = report_step(state, "parse", parse_times) / shards;
    state.counters["cores"] = static_cast<double>(store::OpenPool::core_count());
}
void BM_OpenInShardsBesideParse(benchmark::State& state) { open_in_shards_beside_parse(state, data().big_root); }
BENCHMARK(BM_OpenInShardsBesideParse)
    ->Arg(static_cast<std::int64_t>(views::JournalFanout::default_shard_bytes >> 10))
    ->Unit(benchmark::kMillisecond)
    ->Iterations(4);

// The same with the journal out of merge order: the shards' orders merged, then the whole replayed.
void BM_OpenOutOfOrderInShardsBesideParse(benchmark::State& state) {
    open_in_shards_beside_parse(state, data().skewed_root);
}
BENCHMARK(BM_OpenOutOfOrderInShardsBesideParse)
    ->Arg(static_cast<std::int64_t>(views::JournalFanout::default_shard_bytes >> 10))
    ->Unit(benchmark::kMillisecond)
    ->Iterations(4);

// ---- simdjson over the same lines: the file read into a buffer with simdjson's padding after
// it, each line read in place (the rest of the file is its padding). ----

namespace od = simdjson::ondemand;

// The envelope's fields as simdjson On-Demand gives them, kept as the open keeps them: texts
// copied, the payload and unknown labels as their JSON text.
struct FlatEnvelope {
    struct Artifact {
        std::string id, kind;
        std::uint64_t bytes = 0;
    };
    std::uint64_t v = 0, seq = 0;
    std::string ts, stream, source, kind;
    std::string run_id, node, persona, step;
    std::optional<std::uint64_t> round;
    std::vector<std::pair<std::string, std::string>> extra_labels;  // key, JSON text
    std::vector<Artifact> artifacts;
    std::string payload;  // JSON text
};

std::string_view string_of(od::value value) { return value.get_string(); }

// The JSON text of a value, as written (trailing whitespace dropped).
std::string_view json_text(od::value value) {
    std::string_view text;
    const od::json_type type = value.type();
    if (type == od::json_type::object) {
        od::object object = value.get_object();
        text = object.raw_json();
    } else if (type == od::json_type::array) {
        od::array array = value.get_array();
        text = array.raw_json();
    } else {
        text = value.raw_json_token();
    }
    return text.substr(0, text.find_last_not_of(" \t\r\n") + 1);
}

void read_flat_labels(od::object labels, FlatEnvelope& out) {
    for (auto field : labels) {
        const std::string_view key = field.unescaped_key();
        od::value value = field.value();
        if (key == "run_id") out.run_id = string_of(value);
        else if (key == "node") out.node = string_of(value);
        else if (key == "round") out.round = value.get_uint64();
        else if (key == "persona") out.persona = string_of(value);
        else if (key == "step") out.step = string_of(value);
        else out.extra_labels.emplace_back(key, json_text(value));
    }
}

// Reads one line of the envelope's object form; throws simdjson_error when it is not JSON.
bool read_flat(od::parser& parser, const char* line, std::size_t length, std::size_t capacity, FlatEnvelope& out) {
    od::document doc = parser.iterate(line, length, capacity);
    for (auto field : doc.get_object()) {
        const std::string_view key = field.unescaped_key();
        od::value value = field.value();
        if (key == "v") out.v = value.get_uint64();
        else if (key == "ts") out.ts = string_of(value);
        else if (key == "stream") out.stream = string_of(value);
        else if (key == "seq") out.seq = value.get_uint64();
        else if (key == "source") out.source = string_of(value);
        else if (key == "kind") out.kind = string_of(value);
        else if (key == "labels") read_flat_labels(value.get_object(), out);
        else if (key == "payload") out.payload = json_text(value);
        else if (key == "artifacts") {
            for (od::object artifact : value.get_array()) {
                auto& kept = out.artifacts.emplace_back();
                kept.id = string_of(artifact["id"]);
                kept.kind = string_of(artifact["kind"]);
                kept.bytes = artifact["bytes"].get_uint64();
            }
        }
    }
    return doc.current_location().error() == simdjson::OUT_OF_BOUNDS;  // nothing after the object
}

// Every line of the journal read by On-Demand into kept envelopes.
std::vector<FlatEnvelope> ondemand_lines(const fs::path& journal) {
    const simdjson::padded_string text = simdjson::padded_string::load(journal.string());
    od::parser parser;
    std::vector<FlatEnvelope> envelopes;
    for_each_line(text, [&](std::size_t start, std::size_t length) {
        FlatEnvelope& envelope = envelopes.emplace_back();
        try {
            if (read_flat(parser, text.data() + start, length, text.size() - start + simdjson::SIMDJSON_PADDING, envelope))
                return;
        } catch (const simdjson::simdjson_error&) {
        }
        envelopes.pop_back();
    });
    return envelopes;
}

// The reference for simdjson: each line parsed whole into its DOM, dropped before the next.
std::size_t dom_parse_lines(const fs::path& journal) {
    const simdjson::padded_string text = simdjson::padded_string::load(journal.string());
    simdjson::dom::parser parser;
    std::size_t values = 0;
    for_each_line(text, [&](std::size_t start, std::size_t length) {
        simdjson::dom::element root;
        values += parser.parse(text.data() + start, length, false).get(root) ? 0 : 1;
        benchmark::DoNotOptimize(root);
    });
    return values;
}

// Opening the run beside simdjson On-Demand reading the same fields of each line, and beside
// simdjson's DOM parse: each one's time over the open's (above 1 when opening is the faster).
void BM_OpenBesideSimdjson(benchmark::State& state) {
    const ledger::RunPaths paths{"big", data().big_root / "big"};
    const fs::path journal = paths.dir / "events.jsonl";
    StepTimes open_ms, ondemand_ms, dom_ms;
    std::size_t opened = 0, read = 0, parsed = 0;
    for (auto _ : state) {
        time_five(open_ms, [&] {
            auto view = views::RunView::open(paths);
            opened = view.ok() ? view.value().envelopes.size() : 0;
            return view;
        });
        time_five(ondemand_ms, [&] {
            auto envelopes = ondemand_lines(journal);
            read = envelopes.size();
            return envelopes;
        });
        time_five(dom_ms, [&] { return parsed = dom_parse_lines(journal); });
    }
    if (read != opened || parsed != opened) state.SkipWithError("simdjson did not read every envelope");
    state.counters["envelopes"] = static_cast<double>(read);
    const double open = report_step(state, "open", open_ms);
    state.counters["ondemand_over_open"] = report_step(state, "ondemand", ondemand_ms) / open;
    state.counters["dom_over_open"] = report_step(state, "dom", dom_ms) / open;
}
BENCHMARK(BM_OpenBesideSimdjson)->Unit(benchmark::kMillisecond)->Iterations(4);

void BM_AllSmallRuns(benchmark::State& state) {
    std::size_t runs = 0;
    for (auto _ : state) {
        runs = views::RunView::all(data().small_root).size();
        benchmark::DoNotOptimize(runs);
    }
    state.counters["runs"] = static_cast<double>(runs);
    state.counters["runs_per_second"] =
        benchmark::Counter(static_cast<double>(state.iterations() * runs), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_AllSmallRuns)->Unit(benchmark::kMillisecond)->MinTime(3);

// ---- Status derivation over long chains. ----

// A chain n0 <- n1 <- ... listed from its end, whose first node waits on a run that does not
// exist: every node ends blocked, one link after the other.
views::RunView reverse_chain(int length) {
    views::RunView view;
    for (int i = length - 1; i >= 0; --i) {
        plan::Node node;
        node.id = fmt::format("node-{}", i);
        node.deps.push_back(i == 0 ? std::string("run:elsewhere#gone") : fmt::format("node-{}", i - 1));
        view.graph.insert(std::move(node));
    }
    return view;
}

void BM_ReverseChainStatuses(benchmark::State& state) {
    const views::RunView view = reverse_chain(static_cast<int>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(views::derived_statuses(view));
}
BENCHMARK(BM_ReverseChainStatuses)->Arg(1000)->Arg(8000)->Unit(benchmark::kMicrosecond);

// Both chains in each iteration, so that the ratio is measured side by side.
void BM_ReverseChainStatusScaling(benchmark::State& state) {
    const views::RunView small = reverse_chain(1000);
    const views::RunView large = reverse_chain(8000);
    using Clock = std::chrono::steady_clock;
    Clock::duration small_time{}, large_time{};
    for (auto _ : state) {
        const auto start = Clock::now();
        benchmark::DoNotOptimize(views::derived_statuses(small));
        const auto middle = Clock::now();
        benchmark::DoNotOptimize(views::derived_statuses(large));
        small_time += middle - start;
        large_time += Clock::now() - middle;
    }
    const auto ms = [&](Clock::duration d) {
        return std::chrono::duration<double, std::milli>(d).count() / static_cast<double>(state.iterations());
    };
    state.counters["ms_1000"] = ms(small_time);
    state.counters["ms_8000"] = ms(large_time);
    state.counters["ratio_8000_over_1000"] = ms(large_time) / ms(small_time);
}
BENCHMARK(BM_ReverseChainStatusScaling)->Unit(benchmark::kMillisecond)->MinTime(2);

// ---- Peak memory of one open, measured in a fresh process. ----

std::uint64_t status_kib(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::size_t length = std::strlen(field);
    while (std::getline(in, line)) {
        if (line.compare(0, length, field) == 0) return std::strtoull(line.c_str() + length + 1, nullptr, 10);
    }
    return 0;
}

// Child: open the run (its journal parsed in shards on a pool of every core, when shards), report
// the high-water mark over the resident size before the open, the resident size the open view
// keeps and the bytes the view counts itself as holding.
int measure_open(const char* dir, bool shards) {
    store::OpenPool pool(store::OpenPool::core_count());
    // The pool's threads are started, and their stacks resident, before the open is measured.
    pool.run_each(store::OpenPool::core_count(), [](std::size_t) {});
    const std::uint64_t before = status_kib("VmRSS");
    auto opened = views::RunView::open(ledger::RunPaths{"big", dir}, std::nullopt,
                                       shards ? views::JournalFanout{&pool} : views::JournalFanout{});
    const std::uint64_t peak = status_kib("VmHWM");
    const std::uint64_t held = status_kib("VmRSS");
    std::printf("%llu %llu %zu %llu\n", static_cast<unsigned long long>(peak - before),
                static_cast<unsigned long long>(held - before), opened.ok() ? opened.value().envelopes.size() : 0,
                static_cast<unsigned long long>(opened.ok() ? opened.value().held_bytes() : 0));
    return 0;
}

void open_peak_memory(benchmark::State& state, const fs::path& root, bool shards = false) {
    const std::string dir = (root / "big").string();
    for (auto _ : state) {
        int pipe_fds[2];
        if (::pipe(pipe_fds) != 0) state.SkipWithError("pipe");
        posix_spawn_file_actions_t actions;
        ::posix_spawn_file_actions_init(&actions);
        ::posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
        ::posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
        const std::string flag = (shards ? "--measure-open-in-shards=" : "--measure-open=") + dir;
        char self[] = "/proc/self/exe";
        char* argv[] = {self, const_cast<char*>(flag.c_str()), nullptr};
        pid_t child = 0;
        const int spawned = ::posix_spawn(&child, self, &actions, nullptr, argv, environ);
        ::posix_spawn_file_actions_destroy(&actions);
        ::close(pipe_fds[1]);
        char buffer[128] = {};
        const ssize_t got = spawned == 0 ? ::read(pipe_fds[0], buffer, sizeof buffer - 1) : -1;
        ::close(pipe_fds[0]);
        if (spawned == 0) ::waitpid(child, nullptr, 0);
        unsigned long long peak_kib = 0, held_kib = 0, envelopes = 0, counted = 0;
        if (got <= 0 || std::sscanf(buffer, "%llu %llu %llu %llu", &peak_kib, &held_kib, &envelopes, &counted) != 4) {
            state.SkipWithError("measuring child failed");
            return;
        }
        const double journal = static_cast<double>(data().big_bytes);
        state.counters["journal_MB"] = journal / 1e6;
        state.counters["peak_MB"] = static_cast<double>(peak_kib) * 1024 / 1e6;
        state.counters["held_MB"] = static_cast<double>(held_kib) * 1024 / 1e6;
        state.counters["peak_over_journal"] = static_cast<double>(peak_kib) * 1024 / journal;
        state.counters["held_over_journal"] = static_cast<double>(held_kib) * 1024 / journal;
        // The view's own count of what it holds, beside the resident size it keeps.
        state.counters["counted_over_journal"] = static_cast<double>(counted) / journal;
        state.counters["envelopes"] = static_cast<double>(envelopes);
    }
}
void BM_OpenLargeRunPeakMemory(benchmark::State& state) { open_peak_memory(state, data().big_root); }
BENCHMARK(BM_OpenLargeRunPeakMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_OpenLargeRunOutOfOrderPeakMemory(benchmark::State& state) { open_peak_memory(state, data().skewed_root); }
BENCHMARK(BM_OpenLargeRunOutOfOrderPeakMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_OpenLargeRunInShardsPeakMemory(benchmark::State& state) { open_peak_memory(state, data().big_root, true); }
BENCHMARK(BM_OpenLargeRunInShardsPeakMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_OpenLargeRunOutOfOrderInShardsPeakMemory(benchmark::State& state) {
    open_peak_memory(state, data().skewed_root, true);
}
BENCHMARK(BM_OpenLargeRunOutOfOrderInShardsPeakMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strncmp(argv[1], "--measure-open=", 15) == 0) return measure_open(argv[1] + 15, false);
    if (argc == 2 && std::strncmp(argv[1], "--measure-open-in-shards=", 25) == 0) return measure_open(argv[1] + 25, true);
    if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "--write-run") == 0) {
        const long envelopes = argc == 4 ? std::strtol(argv[3], nullptr, 10) : big_journal_envelopes;
        if (envelopes < 2 || envelopes > 100'000'000) {
            std::fprintf(stderr, "replay_bench: ENVELOPES must be a count from 2 to 100000000\n");
            return 2;
        }
        write_run(argv[2], static_cast<int>(envelopes), 40);
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
