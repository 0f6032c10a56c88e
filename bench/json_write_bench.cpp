// The streaming JSON writer beside the cheapest possible writer of the same bytes. A deterministic
// document shaped like a timeline (30 000 spans of short keys and values, timestamps, numbers,
// nested event lists, and on a quarter of them a text of 200 to 500 bytes, a third of those with
// quotes, line breaks or control bytes to escape, some non-ASCII) is written through json::Writer;
// the same output is then appended to a string with one append per writer call, which
// is what a writer that spent nothing on escaping and punctuation would cost. Both passes run
// alternately in every iteration into a reused string; "writer_over_append" is their ratio.
#include "bench/scratch.hpp"
#include "sdk/base/json_write.hpp"

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace korvalle;

struct Event {
    std::string kind;
    std::string at;
};

struct Span {
    std::string id;
    const char* kind;
    std::string label;
    std::string started_at;
    std::optional<std::string> ended_at;
    std::string parent_id;
    std::string node_id;
    std::int64_t round;
    const char* status;
    std::uint64_t duration_ms;
    double cost_usd;
    bool required;
    std::optional<std::string> detail;
    std::vector<Event> events;
};

// A text of 200 to 500 bytes; when escaped, it carries quotes, line breaks, a tab and a control
// byte, as tool output and agent messages do.
std::string text(std::mt19937_64& rng, bool escaped) {
    static const char* plain[] = {"the", "totals", "module", "keeps", "integer", "cents", "tests", "passed", "résumé",
                                  "merge", "branch", "€uro", "coverage", "rounding", "refund", "batch"};
    static const char* special[] = {"\"quoted\"", "line\n", "tab\t", "back\\slash", "bell\x07", "crlf\r\n"};
    const std::size_t target = 200 + rng() % 301;
    std::string s;
    while (s.size() < target) {
        if (!s.empty()) s += ' ';
        s += escaped && rng() % 6 == 0 ? special[rng() % 6] : plain[rng() % 16];
    }
    return s;
}

std::vector<Span> spans() {
    static const char* kinds[] = {"node", "round", "turn", "tool", "verification"};
    static const char* statuses[] = {"done", "ok", "failed", "merged", "running"};
    static const char* event_kinds[] = {"node-dispatched", "tool-called", "message", "node-settled"};
    std::mt19937_64 rng(7);
    std::vector<Span> out;
    for (int i = 0; i < 30'000; ++i) {
        const int node = i / 15 % 2'000;
        const int round = 1 + i / 1'500;
        const std::uint64_t start = 1'000'000 + static_cast<std::uint64_t>(i) * 37;
        Span s{
            .id = fmt::format("span-node-{}-r{}-{}", node, round, i % 15),
            .kind = kinds[rng() % 5],
            .label = fmt::format("node-{}", node),
            .started_at = bench::timestamp(start),
            .ended_at = i % 10 == 0 ? std::nullopt : std::optional(bench::timestamp(start + rng() % 90'000)),
            .parent_id = fmt::format("round-{}", round),
            .node_id = fmt::format("node-{}", node),
            .round = round,
            .status = statuses[rng() % 5],
            .duration_ms = rng() % 120'000,
            .cost_usd = static_cast<double>(rng() % 100'000) / 1e5,
            .required = rng() % 2 == 0,
            .detail = i % 4 == 0 ? std::optional(text(rng, i % 12 == 0)) : std::nullopt,
            .events = {},
        };
        for (std::uint64_t e = rng() % 4; e > 0; --e)
            s.events.push_back({event_kinds[rng() % 4], bench::timestamp(start + e * 1'000)});
        out.push_back(std::move(s));
    }
    return out;
}

// The document through any sink with the writer's calls, as the payload writers make them.
template <class Sink>
void write_spans(Sink& out, const std::vector<Span>& spans) {
    out.begin_array();
    for (const Span& s : spans) {
        out.begin_object();
        out.member("id", s.id);
        out.member("kind", s.kind);
        out.member("label", s.label);
        out.member("started_at", s.started_at);
        out.key("ended_at");
        if (s.ended_at) out.value(*s.ended_at);
        else out.value(nullptr);
        out.member("parent_id", s.parent_id);
        out.member("node_id", s.node_id);
        out.member("round", s.round);
        out.member("status", s.status);
        out.member("duration_ms", s.duration_ms);
        out.member("cost_usd", s.cost_usd);
        out.member("required", s.required);
        if (s.detail) out.member("detail", *s.detail);
        out.key("events");
        out.begin_array();
        for (const Event& e : s.events) {
            out.begin_object();
            out.member("kind", e.kind);
            out.member("at", e.at);
            out.end_object();
        }
        out.end_array();
        out.end_object();
    }
    out.end_array();
}

// A writer that notes how many bytes each call wrote: the fragments the plain pass appends.
class Recorder {
public:
    explicit Recorder(std::string& text) : text_(text), writer_(text) {}

    void begin_object() { note([&] { writer_.begin_object(); }); }
    void end_object() { note([&] { writer_.end_object(); }); }
    void begin_array() { note([&] { writer_.begin_array(); }); }
    void end_array() { note([&] { writer_.end_array(); }); }
    void key(std::string_view k) { note([&] { writer_.key(k); }); }
    template <class T>
    void value(const T& v) { note([&] { writer_.value(v); }); }
    template <class T>
    void member(std::string_view k, const T& v) {
        key(k);
        value(v);
    }

    std::vector<std::uint32_t> fragments;

private:
    template <class Call>
    void note(Call call) {
        const std::size_t before = text_.size();
        call();
        fragments.push_back(static_cast<std::uint32_t>(text_.size() - before));
    }

    std::string& text_;
    json::Writer writer_;
};

struct Data {
    std::vector<Span> spans = ::spans();
    std::string text;  // the whole output, as the writer writes it
    std::vector<std::uint32_t> fragments;

    Data() {
        Recorder recorder(text);
        write_spans(recorder, spans);
        fragments = std::move(recorder.fragments);
    }
};

const Data& data() {
    static const Data d;
    return d;
}

// Kept apart and aligned so that the loop sits at the same place in every build: its time moves
// by several percent with its alignment, and it is the measure the writer is set against.
[[gnu::noinline, gnu::aligned(64)]] void append_fragments(std::string& out, const Data& d) {
    const char* at = d.text.data();
    for (std::uint32_t length : d.fragments) {
        out.append(at, length);
        at += length;
    }
}

void BM_WriterBesideAppend(benchmark::State& state) {
    const Data& d = data();
    std::string out;
    out.reserve(d.text.size() * 2);  // both passes write into room they already have
    double writer_seconds = 0;
    double append_seconds = 0;
    for (auto _ : state) {
        out.clear();
        auto start = std::chrono::steady_clock::now();
        json::Writer writer(out);
        write_spans(writer, d.spans);
        const double written = bench::seconds_since(start);
        writer_seconds += written;
        state.SetIterationTime(written);
        if (out != d.text) {
            state.SkipWithError("the writer's output changed between passes");
            return;
        }
        out.clear();
        start = std::chrono::steady_clock::now();
        append_fragments(out, d);
        append_seconds += bench::seconds_since(start);
        benchmark::DoNotOptimize(out.data());
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["writer_ms"] = writer_seconds / n * 1e3;
    state.counters["append_ms"] = append_seconds / n * 1e3;
    state.counters["writer_over_append"] = writer_seconds / append_seconds;
    state.counters["document_MB"] = static_cast<double>(d.text.size()) / 1e6;
    state.counters["calls"] = static_cast<double>(d.fragments.size());
}
BENCHMARK(BM_WriterBesideAppend)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(3);

}  // namespace

BENCHMARK_MAIN();
