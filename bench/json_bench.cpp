// Journal reading throughput: boost::json::parse, our JSON reader and the envelope reader over
// the same generated journal, side by side in one run. At the end the two ratios against
// boost::json::parse are printed (targets: reader >= 0.8, envelope reader >= 0.7).
#include "sdk/journal/event.hpp"
#include "sdk/base/json_read.hpp"

#include <benchmark/benchmark.h>
#include <boost/json.hpp>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

// A deterministic journal of 100 000 envelopes shaped like a pipeline's: labels with run id,
// node, persona and round, payloads of several kinds with nested objects, texts with escapes
// and non-ASCII, numbers of every kind, and artifact references on some lines.
class Journal {
public:
    Journal() {
        std::mt19937_64 rng(42);
        auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
        static const char* personas[] = {"planner", "coder", "reviewer", "tester", "integrator"};
        static const char* words[] = {"the", "journal", "replays", "node", "merge", "résumé", "tests", "passed",
                                      "diff", "branch", "\\\"quoted\\\"", "line\\n", "tab\\t", "€uro", "build",
                                      "fixture", "context", "planner", "value", "assert"};
        auto sentence = [&](std::size_t n) {
            std::string s;
            for (std::size_t i = 0; i < n; ++i) {
                if (i) s += ' ';
                s += words[pick(20)];
            }
            return s;
        };
        lines.reserve(100000);
        for (std::size_t i = 0; i < 100000; ++i) {
            std::string node = "node-" + std::to_string(pick(40));
            std::string line = R"({"v":1,"ts":"2026-12-07T08:)" + two(i / 60000 % 60) + ":" + two(i / 1000 % 60) +
                               "." + three(i % 1000) + R"(Z","stream":"run/)" + node + R"(","seq":)" +
                               std::to_string(i) + R"(,"source":")" + (i % 7 == 0 ? "pipeline" : i % 5 == 0 ? "vcs" : "morvane") +
                               R"(","kind":")";
            std::size_t shape = pick(4);
            static const char* kinds[] = {"turn-finished", "message", "node-settled", "tool-called"};
            line += kinds[shape];
            line += R"(","labels":{"run_id":"run-20261207-)" + std::to_string(i / 20000) + R"(","node":")" + node +
                    R"(","persona":")" + personas[pick(5)] + R"(","round":)" + std::to_string(i / 10000) +
                    R"(,"session":"s-)" + std::to_string(pick(1000)) + R"("},"payload":)";
            switch (shape) {
                case 0:
                    line += R"({"usage":{"input_tokens":)" + std::to_string(pick(200000)) + R"(,"output_tokens":)" +
                            std::to_string(pick(8000)) + R"(,"cache_read_tokens":)" + std::to_string(pick(90000)) +
                            R"(,"cost_usd":0.)" + std::to_string(1000 + pick(90000)) + R"(},"duration_ms":)" +
                            std::to_string(pick(120000)) + R"(,"model":"model-large-2026","stop_reason":"end_turn",)"
                            R"("summary":")" + sentence(20) + R"("})";
                    break;
                case 1:
                    line += R"({"role":"assistant","content":[{"type":"text","text":")" + sentence(34) +
                            R"("},{"type":"tool_use","name":"edit_file","input":{"path":"src/)" + node +
                            R"(.cpp","old":")" + sentence(8) + R"(","new":")" + sentence(10) +
                            R"("}}],"inputTokens":)" + std::to_string(pick(100000)) + R"(,"temperature":0.7})";
                    break;
                case 2:
                    line += R"({"status":"done","attempts":)" + std::to_string(1 + pick(3)) +
                            R"(,"checks":[{"name":"unit","ok":true,"ms":)" + std::to_string(pick(9000)) +
                            R"(},{"name":"lint","ok":false,"ms":)" + std::to_string(pick(900)) +
                            R"(,"notes":null}],"ratio":-)" + std::to_string(pick(100)) + R"(.25e-3,"note":")" +
                            sentence(20) + R"("})";
                    break;
                default:
                    line += R"({"tool":"bash","argv":["ninja","-C","build",")" + node + R"("],"exit":0,"stdout":")" +
                            sentence(30) + R"(","env":{"CI":"1","JOBS":8}})";
                    break;
            }
            if (i % 3 == 0) {
                line += R"(,"artifacts":[{"id":"art-)" + std::to_string(i) + R"(","kind":"log","bytes":)" +
                        std::to_string(pick(1 << 20)) + R"(},{"id":"diff-)" + std::to_string(i) +
                        R"(","kind":"diff","bytes":)" + std::to_string(pick(1 << 16)) + "}]";
            }
            line += "}";
            bytes += line.size();
            lines.push_back(std::move(line));
        }
    }

    std::vector<std::string> lines;
    std::size_t bytes = 0;

private:
    static std::string two(std::size_t v) { return (v < 10 ? "0" : "") + std::to_string(v); }
    static std::string three(std::size_t v) { return std::string(v < 10 ? "00" : v < 100 ? "0" : "") + std::to_string(v); }
};

const Journal& journal() {
    static const Journal j;
    return j;
}

void BM_BoostParse(benchmark::State& state) {
    const Journal& j = journal();
    for (auto _ : state) {
        for (const std::string& line : j.lines) {
            boost::json::value v = boost::json::parse(line);
            benchmark::DoNotOptimize(v);
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * j.bytes));
}

void BM_OurParse(benchmark::State& state) {
    const Journal& j = journal();
    for (auto _ : state) {
        for (const std::string& line : j.lines) {
            auto r = korvalle::json::parse(line);
            if (!r.ok()) state.SkipWithError(korvalle::message(r.error()).c_str());
            benchmark::DoNotOptimize(r);
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * j.bytes));
}

void BM_ReadEnvelope(benchmark::State& state) {
    const Journal& j = journal();
    for (auto _ : state) {
        for (const std::string& line : j.lines) {
            auto r = korvalle::event::read_envelope(line);
            if (!r.ok()) state.SkipWithError(korvalle::message(r.error()).c_str());
            benchmark::DoNotOptimize(r);
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * j.bytes));
}

BENCHMARK(BM_BoostParse)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_OurParse)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_ReadEnvelope)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// Prints the usual table, then each reader's throughput as a ratio of Boost's.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred) times_[run.benchmark_name()] = run.GetAdjustedRealTime();
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        auto boost = times_.find("BM_BoostParse/min_time:2.000");
        if (boost == times_.end()) return;
        std::printf("journal: %zu lines, %.1f MB\n", journal().lines.size(), static_cast<double>(journal().bytes) / 1e6);
        for (const auto& [name, time] : times_) {
            std::printf("throughput ratio %s / BM_BoostParse = %.2f\n", name.c_str(), boost->second / time);
        }
    }

private:
    std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
