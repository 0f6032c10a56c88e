// The in-process side of the server benchmark, and the generator of its runs root.
//
//   server_bench --generate DIR [RUNS [JOURNAL_BYTES]]   writes a runs root (default 50 runs of
//                                                        about 2 MB of journal each)
//   KORVALLE_BENCH_ROOT=DIR [KORVALLE_BENCH_PORT=P] server_bench [benchmark flags]
//
// BM_ViewsAndSummaries is the work a run-list request cannot avoid: opening every run of the root
// with views::RunView::all and building the summaries of a page of 50. BM_RunListRequest is one
// GET /api/v2/runs on a keep-alive connection to a server on 127.0.0.1:P serving the same root.
// bench/server_bench.sh runs both with random interleaving and compares their medians.
#include "sdk/run/views.hpp"
#include "src/payload/payload.hpp"

#include <benchmark/benchmark.h>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <fmt/format.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

namespace {

namespace fs = std::filesystem;
using namespace korvalle;

std::string timestamp(std::uint64_t ms) {
    // Times from 2026-03-01T00:00:00.000Z onwards, within March.
    std::uint64_t s = ms / 1000;
    return fmt::format("2026-03-{:02}T{:02}:{:02}:{:02}.{:03}Z", 1 + s / 86400 % 28, s / 3600 % 24, s / 60 % 60,
                       s % 60, ms % 1000);
}

std::string envelope(const std::string& ts, const std::string& stream, std::uint64_t seq, const char* source,
                     const char* kind, const std::string& labels, const std::string& payload) {
    return fmt::format(R"({{"v":1,"ts":"{}","stream":"{}","seq":{},"source":"{}","kind":"{}","labels":{},"payload":{}}})",
                       ts, stream, seq, source, kind, labels, payload) +
           "\n";
}

const std::string bench_plan =
    R"({"schema_version":1,"goal":{"text":"benchmark"},"name":"bench","tasks":[)"
    R"({"id":"scan","task":"Scan the tree.","persona":"scout"},)"
    R"({"id":"build","task":"Build it.","persona":"worker","deps":["scan"]},)"
    R"({"id":"test","task":"Test it.","persona":"worker","deps":["build"]},)"
    R"({"id":"ship","task":"Ship it.","persona":"pr-author","deps":["test"]}]})";

void write_launch(const fs::path& dir, const std::string& id, int index) {
    std::ofstream(dir / "launch.json")
        << fmt::format(R"({{"run_id":"{}","plan":"plans/bench.yaml","graph":"default","launcher":"codex",)"
                       R"("session":"sess-{:04}","pid":0,"host":"bench-host","started_at":"{}",)"
                       R"("round_budget":8,"heartbeat_interval":30,"adoptions":0}})",
                       id, index, timestamp(static_cast<std::uint64_t>(index) * 3'600'000));
}

// A journal being written: its clock, the driver's sequence numbers and the bytes so far.
struct Journal {
    std::ofstream out;
    std::uint64_t ms;
    std::uint64_t seq = 1;
    std::size_t written = 0;

    void put(const std::string& line) {
        out << line;
        written += line.size();
    }
    void driver(std::uint64_t step_ms, const char* kind, const std::string& labels, const std::string& payload) {
        put(envelope(timestamp(ms += step_ms), "driver", seq++, "pipeline", kind, labels, payload));
    }
};

// One node's agent session: tool activity, with a completed turn every fifty, until the journal
// holds up_to bytes.
void write_session(Journal& journal, const std::string& id, int index, const char* node, std::size_t up_to) {
    std::string session = fmt::format("ses-{}-{}", index, node);
    std::string labels = fmt::format(
        R"({{"run_id":"{}","node":"{}","round":1,"persona":"worker","session":"{}","role":"agent"}})", id, node,
        session);
    const std::string detail(300, 'x');
    std::uint64_t turn_seq = 1;
    while (journal.written < up_to) {
        journal.put(envelope(timestamp(journal.ms += 250), "morvane/" + session, turn_seq++, "morvane",
                             "turn-activity", labels,
                             fmt::format(R"({{"kind":"tool","name":"Read","detail":"src/file-{}.cpp {}"}})", turn_seq,
                                         detail)));
        if (turn_seq % 50 == 0) {
            journal.put(envelope(timestamp(journal.ms += 250), "morvane/" + session, turn_seq++, "morvane",
                                 "turn-completed", labels,
                                 R"({"message":"step done","model":"bench-model","usage":{"duration":4.5,)"
                                 R"("tokens_in":1800,"tokens_out":220,"cache_read":1200,"cache_write":140,)"
                                 R"("cost":0.0118}})"));
        }
    }
}

void generate_run(const fs::path& root, int index, std::size_t journal_bytes) {
    std::string id = fmt::format("bench-run-{:03}", index);
    fs::path dir = root / id;
    fs::create_directories(dir);
    write_launch(dir, id, index);
    Journal journal{std::ofstream(dir / "events.jsonl", std::ios::binary), static_cast<std::uint64_t>(index) * 3'600'000};
    std::string run_labels = fmt::format(R"({{"run_id":"{}"}})", id);
    std::string round_labels = fmt::format(R"({{"run_id":"{}","round":1}})", id);
    journal.driver(0, "run-started", run_labels, R"({"plan":)" + bench_plan + "}");
    journal.driver(1000, "round-started", round_labels, R"({"plan":)" + bench_plan + "}");
    const char* nodes[] = {"scan", "build", "test", "ship"};
    for (int n = 0; n < 4; ++n) {
        std::string node_labels = fmt::format(R"({{"run_id":"{}","node":"{}","round":1}})", id, nodes[n]);
        journal.driver(1000, "node-dispatched", node_labels, "{}");
        write_session(journal, id, index, nodes[n], journal_bytes * static_cast<std::size_t>(n + 1) / 4);
        // The last node stays running, so the run is in its round and always listed.
        if (n < 3) journal.driver(1000, "node-settled", node_labels, R"({"status":"done","outcome":"completed"})");
    }
}

void BM_ViewsAndSummaries(benchmark::State& state) {
    const char* root = std::getenv("KORVALLE_BENCH_ROOT");
    if (root == nullptr) {
        state.SkipWithError("set KORVALLE_BENCH_ROOT to a runs root (server_bench --generate DIR)");
        return;
    }
    std::size_t runs = 0;
    for (auto _ : state) {
        auto views = views::RunView::all(root);
        boost::json::array summaries;
        for (std::size_t i = 0; i < views.size() && i < 50; ++i) {
            summaries.push_back(payload::run_summary(views[i], nullptr));
        }
        runs = views.size();
        benchmark::DoNotOptimize(summaries);
    }
    state.counters["runs"] = static_cast<double>(runs);
}
BENCHMARK(BM_ViewsAndSummaries)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_RunListRequest(benchmark::State& state) {
    namespace asio = boost::asio;
    namespace http = boost::beast::http;
    const char* port = std::getenv("KORVALLE_BENCH_PORT");
    if (port == nullptr) {
        state.SkipWithError("set KORVALLE_BENCH_PORT to the port of a server on the same root");
        return;
    }
    asio::io_context ioc;
    asio::ip::tcp::socket socket(ioc);
    socket.connect({asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(std::atoi(port))});
    http::request<http::empty_body> req(http::verb::get, "/api/v2/runs", 11);
    req.set(http::field::host, "127.0.0.1");
    boost::beast::flat_buffer buffer;
    for (auto _ : state) {
        http::write(socket, req);
        http::response<http::string_body> res;
        http::read(socket, buffer, res);
        if (res.result_int() != 200) state.SkipWithError("the run list did not answer 200");
        benchmark::DoNotOptimize(res);
    }
}
BENCHMARK(BM_RunListRequest)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::string(argv[1]) == "--generate") {
        int runs = argc >= 4 ? std::atoi(argv[3]) : 50;
        std::size_t bytes = argc >= 5 ? std::strtoull(argv[4], nullptr, 10) : 2 * 1024 * 1024;
        for (int i = 0; i < runs; ++i) generate_run(argv[2], i, bytes);
        std::cout << "wrote " << runs << " runs to " << argv[2] << "\n";
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
