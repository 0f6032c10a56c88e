// The run detail document of a large run beside the time to open that run: 2 000 nodes, 20
// rounds with their plan and result files, 200 000 journal envelopes in the replay benchmark's
// mix, a fifth of them in agent sessions. Reports, in one run, the time of a warm request's
// answer (conversations included), the time to open the run and the time to parse every line
// of its journal with boost::json::parse, and the answer's time over each of the other two. A
// warm request finds the run kept in the run cache with what an earlier request kept beside
// its view (indexes, texts, round objects); its time is the cache's look at the run's files,
// the document and its envelope as the route sends them. The first request on a freshly
// opened view, which makes everything that is then kept, is reported beside the parse too.
#include "bench/journal_parse.hpp"
#include "bench/plan_text.hpp"
#include "bench/scratch.hpp"
#include "bench/warm_run.hpp"
#include "sdk/base/json_read.hpp"
#include "sdk/run/liveness.hpp"
#include "sdk/run/views.hpp"
#include "src/api/envelope.hpp"
#include "src/payload/run_detail/run_detail.hpp"

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;
using namespace korvalle;

constexpr int nodes = 2'000;
constexpr int rounds = 20;
constexpr int envelopes = 200'000;

std::string result_text(int round) {
    std::string entries;
    for (int i = 0; i < nodes; ++i) {
        entries += fmt::format(R"({}{{"id":"node-{}","status":"done","outcome":"merged","branch":"feature/node-{}",)"
                               R"("change_url":"https://git.example.com/korvalle/shop/pull/{}","ok":true}})",
                               i ? "," : "", i, i, 1000 + i);
    }
    return fmt::format(R"({{"ok":true,"state":"complete","round":{},"nodes":[{}]}})", round, entries);
}

// The replay benchmark's mix over 20 rounds: pipeline dispatches and settles, version-control
// checks with artifacts, agent turns and tool activity. Lines 1 and 8 of every ten belong to an
// agent session (a fifth of the journal); the other agent activity carries no session.
std::string journal_line(int i) {
    const std::string ts = bench::timestamp(1'000'000 + static_cast<std::uint64_t>(i) * 37);
    const int node = (i / 50) % nodes;
    const int round = 1 + i / (envelopes / rounds);
    switch (i % 10) {
    case 0:
        return fmt::format(R"({{"v":1,"ts":"{}","stream":"driver","seq":{},"source":"pipeline","kind":"node-dispatched",)"
                           R"("labels":{{"run_id":"big","node":"node-{}","round":{}}},"payload":{{"attempt":1}}}})",
                           ts, i, node, round);
    case 9:
        return fmt::format(R"({{"v":1,"ts":"{}","stream":"driver","seq":{},"source":"pipeline","kind":"node-settled",)"
                           R"("labels":{{"run_id":"big","node":"node-{}","round":{}}},"payload":{{"status":"done",)"
                           R"("outcome":"merged","branch":"feature/node-{}","completed_steps":["plan","edit","test"],)"
                           R"("change_url":"https://git.example.com/korvalle/shop/pull/{}"}}}})",
                           ts, i, node, round, node, 1000 + node);
    case 5:
        return fmt::format(R"({{"v":1,"ts":"{}","stream":"vcs","seq":{},"source":"vcs","kind":"change-check",)"
                           R"("labels":{{"run_id":"big","node":"node-{}","round":{}}},"payload":{{"name":"unit-tests",)"
                           R"("status":"completed","conclusion":"success","required":true,"summary":"412 passed, 3 skipped )"
                           R"(in 48.20s; coverage 81.4% (+0.3); slowest: test_backfill_batches 6.1s, test_refund_rounding 2.4s"}},)"
                           R"("artifacts":[{{"id":"check-{}","kind":"gate_log","bytes":20480}}]}})",
                           ts, i, node, round, i);
    case 8:
        return fmt::format(R"({{"v":1,"ts":"{}","stream":"morvane/ses-{}","seq":{},"source":"morvane","kind":"turn-completed",)"
                           R"("labels":{{"run_id":"big","node":"node-{}","round":{},"persona":"worker","session":"ses-{}-{}","member":"m1","role":"agent"}},)"
                           R"("payload":{{"message":"I updated the totals module to use integer cents throughout, adjusted the )"
                           R"(serializer and reran the unit tests; two fixtures needed new expected values, which I regenerated )"
                           R"(from the migration script. Next I will check the refund path for rounding, then the store-credit )"
                           R"(ledger, which still divides before it multiplies and so loses a cent on odd totals.","model":"claude-sonnet-4",)"
                           R"("usage":{{"duration":41.25,"tokens_in":18342,"tokens_out":2210,"cache_read":12000,"cache_write":1400,"cost":0.1187}}}}}})",
                           ts, node, i, node, round, node, round);
    default:
        return fmt::format(R"({{"v":1,"ts":"{}","stream":"morvane/ses-{}","seq":{},"source":"morvane","kind":"turn-activity",)"
                           R"("labels":{{"run_id":"big","node":"node-{}","round":{},"persona":"worker"{},"member":"m1","role":"agent"}},)"
                           R"("payload":{{"kind":"tool","name":"Bash","detail":"cd services/orders && go test ./... -run )"
                           R"('TestTotals|TestRefund|TestBackfill' -count=1 -v 2>&1 | tail -n 80 # iteration {} after editing )"
                           R"(totals.go, refund.go and backfill.go; expecting the cents rounding fixes to hold for partial refunds, )"
                           R"(store credit, multi-currency orders and the historical rows that the backfill has already rewritten )"
                           R"(in batches of ten thousand since the migration started"}}}})",
                           ts, node, i, node, round,
                           i % 10 == 1 ? fmt::format(R"(,"session":"ses-{}-{}")", node, round) : "", i);
    }
}

// Rounds 1 to 19 finished with their plan and result files; round 20 is being driven.
void write_run(const fs::path& dir) {
    const std::string plan = bench::large_plan_text(nodes);
    std::ofstream journal = bench::start_run(dir, "big", 40, R"({"plan":)" + plan + "}");
    for (int i = 0; i < envelopes; ++i) {
        const int round = 1 + i / (envelopes / rounds);
        if (i % (envelopes / rounds) == 0) {
            journal << fmt::format(R"({{"v":1,"ts":"{}","stream":"driver","seq":0,"source":"pipeline","kind":"round-started","labels":{{"round":{}}},"payload":{{}}}})",
                                   bench::timestamp(1'000'000 + static_cast<std::uint64_t>(i) * 37), round)
                    << '\n';
            const fs::path round_dir = dir / fmt::format("round-{:02}", round);
            fs::create_directories(round_dir);
            std::ofstream(round_dir / "plan.json") << plan;
            if (round < rounds) std::ofstream(round_dir / "result.json") << result_text(round);
        }
        journal << journal_line(i) << '\n';
        if ((i + 1) % (envelopes / rounds) == 0 && round < rounds) {
            journal << fmt::format(R"({{"v":1,"ts":"{}","stream":"driver","seq":0,"source":"pipeline","kind":"round-finished","labels":{{"round":{}}},"payload":{{"ok":true}}}})",
                                   bench::timestamp(1'000'000 + static_cast<std::uint64_t>(i) * 37 + 1), round)
                    << '\n';
        }
    }
}

// What the run's state is judged by: a machine that launched none of the runs, now.
views::LivenessInputs liveness() { return {.this_host = "localhost", .now_ms = views::now_ms()}; }

// The answer to a request for the run detail, as the route makes it: the document in fragments,
// stamped, behind the envelope's head.
api::Envelope answer(const views::RunView& view, const payload::ViewIndexes& indexes) {
    api::Stamped stamped = api::stamp_written(payload::run_detail_fragments(view, true, nullptr, indexes, liveness()));
    return *api::envelope_body(stamped);
}

struct Data {
    bench::ScratchDir scratch{"detail-bench"};
    fs::path root = scratch.path();
    ledger::RunPaths paths = make_run(root);
    bench::WarmRun warm{paths, [](const bench::WarmRun::Request& first) {
                            benchmark::DoNotOptimize(answer(first.run->view, first.indexes()));
                        }};

    static ledger::RunPaths make_run(const fs::path& root) {
        ledger::RunPaths paths{"big", root / "big"};
        write_run(paths.dir);
        return paths;
    }
};

Data& data() {
    static Data d;
    return d;
}

// Each iteration opens the run afresh and answers the first request on that view (everything
// kept with it made), then answers a warm request and parses the journal's lines, those two
// in an order drawn per iteration. The warm answer's time runs until it is released again; the
// counters set it beside the open and beside the parse.
void BM_RunDetailBesideOpen(benchmark::State& state) {
    const fs::path journal = data().paths.dir / "events.jsonl";
    bench::CoinFlips order;
    double open_seconds = 0;
    double first_seconds = 0;
    double detail_seconds = 0;
    double parse_seconds = 0;
    std::size_t bytes = 0;
    std::size_t lines_parsed = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        auto opened = views::RunView::open(data().paths);
        open_seconds += bench::seconds_since(start);
        if (!opened.ok()) {
            state.SkipWithError("the generated run does not open");
            return;
        }
        start = std::chrono::steady_clock::now();
        {
            const store::KeptIndexes kept;
            const api::Envelope first =
                answer(opened.value(), store::KeptIndexes::Of(kept, opened.value(), store::RunCache::realtime_ns()));
            benchmark::DoNotOptimize(first.head.data());
        }
        first_seconds += bench::seconds_since(start);
        const auto parse = [&] {
            const auto parse_start = std::chrono::steady_clock::now();
            lines_parsed = bench::parse_journal_lines(journal);
            parse_seconds += bench::seconds_since(parse_start);
        };
        const bool parse_first = order.next();
        if (parse_first) parse();
        start = std::chrono::steady_clock::now();
        {
            const bench::WarmRun::Request request = data().warm.request();
            const api::Envelope warm = answer(request.run->view, request.indexes());
            bytes = warm.size();
            benchmark::DoNotOptimize(warm.head.data());
        }
        detail_seconds += bench::seconds_since(start);
        if (!parse_first) parse();
    }
    std::size_t rounds_shown = 0;
    const bench::WarmRun::Request request = data().warm.request();
    const std::string text = text::joined(payload::run_detail_fragments(request.run->view, true, nullptr, request.indexes(), liveness()));
    if (auto document = json::parse(text); document.ok()) rounds_shown = document->at("rounds").as_array().size();
    bench::report_beside_open(state, "detail", open_seconds, detail_seconds, bytes);
    bench::report_beside_parse(state, "detail", parse_seconds, detail_seconds);
    bench::report_beside_parse(state, "first_detail", parse_seconds, first_seconds);
    state.counters["first_detail_ms"] = first_seconds / static_cast<double>(state.iterations()) * 1e3;
    state.counters["rounds"] = static_cast<double>(rounds_shown);
    state.counters["lines_parsed"] = static_cast<double>(lines_parsed);
    state.counters["replays"] = static_cast<double>(data().warm.figures().replays);  // 1: the warm-up's
    state.counters["kept_MB"] = static_cast<double>(data().warm.figures().bytes) / 1e6;
    // What the cache counts for the view and all that is kept beside it, per journal byte.
    state.counters["kept_over_journal"] =
        static_cast<double>(data().warm.figures().bytes) / static_cast<double>(fs::file_size(journal));
}
BENCHMARK(BM_RunDetailBesideOpen)->Unit(benchmark::kMillisecond)->MinTime(5);

}  // namespace

BENCHMARK_MAIN();
