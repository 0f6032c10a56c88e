// The timeline of a large run beside the open of that run: a generated run of 500 nodes over 20
// rounds with 200 000 envelopes in the replay benchmark's mix (pipeline dispatches and settles,
// version-control checks, agent activity and turns), a fifth of them in agent sessions. Each
// iteration opens the run afresh and answers the first request for the timeline on that view
// (which makes what is then kept with it), then answers a warm request for it (the run kept in
// the run cache with what an earlier request kept beside its view) and parses every line of the
// journal with boost::json::parse, those two in an order drawn per iteration. Answers are made
// as the route makes them: the document in fragments, stamped, behind the envelope's head. The
// counters give the times and the warm and first answers' over the open and over the parse,
// measured side by side. The node timeline of one node is measured the same way.
#include "bench/journal_parse.hpp"
#include "bench/scratch.hpp"
#include "bench/warm_run.hpp"
#include "sdk/base/json_read.hpp"
#include "sdk/run/views.hpp"
#include "src/api/envelope.hpp"
#include "src/payload/timeline/timeline.hpp"

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace korvalle;

constexpr int envelopes = 200'000;
constexpr int nodes = 500;
constexpr int rounds = 20;
constexpr int per_round = envelopes / rounds;
constexpr int per_node = per_round / nodes;  // consecutive lines of one node in a round

// One line of the mix for line i: its round and node follow from i. Two lines in ten carry an
// agent session (a turn and one of the activities); the other activities carry none.
std::string journal_line(int i) {
    const std::string ts = bench::timestamp(1'000'000 + static_cast<std::uint64_t>(i) * 37);
    const int round = i / per_round + 1;
    const int node = i % per_round / per_node;
    const std::string labels = fmt::format(R"("run_id":"big","node":"node-{}","round":{})", node, round);
    const std::string session = fmt::format(R"(,"persona":"worker","session":"ses-{}-{}","role":"agent")", node, round);
    switch (i % 10) {
    case 0:
        return fmt::format(R"({{"v":1,"ts":"{}","stream":"driver","seq":{},"source":"pipeline","kind":"node-dispatched",)"
                           R"("labels":{{{},"persona":"worker"}},"payload":{{"attempt":1}}}})",
                           ts, i, labels);
    case 9:
        return fmt::format(R"({{"v":1,"ts":"{}","stream":"driver","seq":{},"source":"pipeline","kind":"node-settled",)"
                           R"("labels":{{{}}},"payload":{{"status":"done","outcome":"merged","branch":"feature/node-{}",)"
                           R"("completed_steps":["plan","edit","test"],"change_url":"https://git.example.com/korvalle/shop/pull/{}"}}}})",
                           ts, i, labels, node, 1000 + node);
    case 5:
        return fmt::format(R"({{"v":1,"ts":"{}","stream":"vcs","seq":{},"source":"vcs","kind":"change-check",)"
                           R"("labels":{{{}}},"payload":{{"name":"unit-tests","status":"completed","conclusion":"success",)"
                           R"("required":true,"summary":"412 passed, 3 skipped in 48.20s; coverage 81.4% (+0.3); slowest: )"
                           R"(test_backfill_batches 6.1s, test_refund_rounding 2.4s"}},)"
                           R"("artifacts":[{{"id":"check-{}","kind":"gate_log","bytes":20480}}]}})",
                           ts, i, labels, i);
    case 8:
        return fmt::format(R"({{"v":1,"ts":"{}","stream":"morvane/ses","seq":{},"source":"morvane","kind":"turn-completed",)"
                           R"("labels":{{{}{}}},)"
                           R"("payload":{{"message":"I updated the totals module to use integer cents throughout, adjusted the )"
                           R"(serializer and reran the unit tests; two fixtures needed new expected values, which I regenerated )"
                           R"(from the migration script. Next I will check the refund path for rounding, then the store-credit )"
                           R"(ledger, which still divides before it multiplies and so loses a cent on odd totals.","model":"claude-sonnet-4",)"
                           R"("usage":{{"duration":41.25,"tokens_in":18342,"tokens_out":2210,"cache_read":12000,"cache_write":1400,"cost":0.1187}}}}}})",
                           ts, i, labels, session);
    default:
        return fmt::format(R"({{"v":1,"ts":"{}","stream":"morvane/ses","seq":{},"source":"morvane","kind":"turn-activity",)"
                           R"("labels":{{{}{}}},)"
                           R"("payload":{{"kind":"tool","name":"Bash","detail":"cd services/orders && go test ./... -run )"
                           R"('TestTotals|TestRefund|TestBackfill' -count=1 -v 2>&1 | tail -n 80 # iteration {} after editing )"
                           R"(totals.go, refund.go and backfill.go; expecting the cents rounding fixes to hold for partial refunds, )"
                           R"(store credit, multi-currency orders and the historical rows that the backfill has already rewritten )"
                           R"(in batches of ten thousand since the migration started"}}}})",
                           ts, i, labels, i % 10 == 7 ? session : "", i);
    }
}

std::string plan_payload() {
    std::string tasks;
    for (int i = 0; i < nodes; ++i) {
        tasks += fmt::format(R"({}{{"id":"node-{}","task":"Implement part {} of the change.","persona":"worker"}})",
                             i ? "," : "", i, i);
    }
    return fmt::format(R"({{"plan":{{"schema_version":1,"name":"bench","concurrency":8,"tasks":[{}]}}}})", tasks);
}

// The directory of the generated run.
fs::path write_run(const fs::path& root) {
    const fs::path dir = root / "big";
    std::ofstream journal = bench::start_run(dir, "big", 40, plan_payload());
    for (int i = 0; i < envelopes; ++i) {
        if (i % per_round == 0) {
            journal << fmt::format(R"({{"v":1,"ts":"{}","stream":"driver","seq":0,"source":"pipeline","kind":"round-started","labels":{{"round":{}}},"payload":{{}}}})",
                                   bench::timestamp(1'000'000 + static_cast<std::uint64_t>(i) * 37), i / per_round + 1)
                    << '\n';
        }
        journal << journal_line(i) << '\n';
        if (i % per_round == per_round - 1) {
            journal << fmt::format(R"({{"v":1,"ts":"{}","stream":"driver","seq":1,"source":"pipeline","kind":"round-finished","labels":{{"round":{}}},"payload":{{"ok":true}}}})",
                                   bench::timestamp(1'000'000 + static_cast<std::uint64_t>(i) * 37 + 1), i / per_round + 1)
                    << '\n';
        }
    }
    return dir;
}

// The answer to a request for the timeline, as the route makes it.
api::Envelope answer(const views::RunView& view, std::optional<std::string_view> node,
                     const payload::ViewIndexes& indexes) {
    api::Stamped stamped = api::stamp_written(payload::timeline_fragments(view, node, indexes));
    return *api::envelope_body(stamped);
}

struct Data {
    bench::ScratchDir scratch{"timeline-bench"};
    fs::path root = scratch.path();
    ledger::RunPaths paths{"big", write_run(root)};
    bench::WarmRun warm{paths, [](const bench::WarmRun::Request& first) {
                            benchmark::DoNotOptimize(answer(first.run->view, std::nullopt, first.indexes()));
                        }};
};

Data& data() {
    static Data d;
    return d;
}

// The number of spans of the timeline, read back once from its text, outside the measured loop.
std::size_t span_count(std::optional<std::string_view> node) {
    const bench::WarmRun::Request request = data().warm.request();
    const auto document = json::parse(payload::timeline(request.run->view, node, request.indexes()));
    return document.ok() ? document->at("spans").as_array().size() : 0;
}

// Per iteration: open the run afresh and answer the first request for the timeline (whole run
// or one node) on that view, then answer a warm request for it and parse the journal's lines,
// in an order drawn per iteration. Each answer's time runs until it is released again.
void timeline_beside_open(benchmark::State& state, std::optional<std::string_view> node) {
    const ledger::RunPaths& paths = data().paths;
    const fs::path journal_file = paths.dir / "events.jsonl";
    const std::size_t spans = span_count(node);
    bench::CoinFlips order;
    double open_s = 0;
    double first_s = 0;
    double timeline_s = 0;
    double parse_s = 0;
    std::size_t bytes = 0;
    std::size_t journal = 0;
    std::size_t lines_parsed = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        auto opened = views::RunView::open(paths);
        open_s += bench::seconds_since(start);
        if (!opened.ok()) {
            state.SkipWithError("the generated run does not open");
            return;
        }
        const views::RunView& view = opened.value();
        journal = view.envelopes.size();
        start = std::chrono::steady_clock::now();
        {
            const store::KeptIndexes kept;
            const api::Envelope first = answer(view, node, store::KeptIndexes::Of(kept, view));
            benchmark::DoNotOptimize(first.head.data());
        }
        first_s += bench::seconds_since(start);
        const auto parse = [&] {
            const auto parse_start = std::chrono::steady_clock::now();
            lines_parsed = bench::parse_journal_lines(journal_file);
            parse_s += bench::seconds_since(parse_start);
        };
        const bool parse_first = order.next();
        if (parse_first) parse();
        start = std::chrono::steady_clock::now();
        {
            const bench::WarmRun::Request request = data().warm.request();
            const api::Envelope warm = answer(request.run->view, node, request.indexes());
            bytes = warm.size();
            benchmark::DoNotOptimize(warm.head.data());
        }
        timeline_s += bench::seconds_since(start);
        if (!parse_first) parse();
    }
    bench::report_beside_open(state, "timeline", open_s, timeline_s, bytes);
    bench::report_beside_parse(state, "timeline", parse_s, timeline_s);
    bench::report_beside_parse(state, "first_timeline", parse_s, first_s);
    state.counters["first_timeline_ms"] = first_s / static_cast<double>(state.iterations()) * 1e3;
    state.counters["spans"] = static_cast<double>(spans);
    state.counters["envelopes"] = static_cast<double>(journal);
    state.counters["lines_parsed"] = static_cast<double>(lines_parsed);
    state.counters["replays"] = static_cast<double>(data().warm.figures().replays);  // 1: the warm-up's
    state.counters["kept_MB"] = static_cast<double>(data().warm.figures().bytes) / 1e6;
}

void BM_WholeRunTimelineBesideOpen(benchmark::State& state) { timeline_beside_open(state, std::nullopt); }
BENCHMARK(BM_WholeRunTimelineBesideOpen)->Unit(benchmark::kMillisecond)->MinTime(5);

void BM_NodeTimelineBesideOpen(benchmark::State& state) { timeline_beside_open(state, "node-250"); }
BENCHMARK(BM_NodeTimelineBesideOpen)->Unit(benchmark::kMillisecond)->MinTime(5);

}  // namespace

BENCHMARK_MAIN();
