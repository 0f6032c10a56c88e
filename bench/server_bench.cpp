// The in-process side of the server benchmark, and the generator of its runs root.
//
//   server_bench --generate DIR [RUNS [JOURNAL_BYTES [round-done]]]   writes a runs root (default
//                                 50 runs of about 2 MB of journal each; round-done: each run's
//                                 round finished and its result file written)
//   KORVALLE_BENCH_ROOT=DIR [KORVALLE_BENCH_PORT=P] server_bench [benchmark flags]
//
// BM_ViewsAndSummaries is the work a run-list request cannot avoid: opening every run of the root
// with views::RunView::all and building the summaries of a page of 50. BM_RunListRequest is one
// GET /api/v2/runs on a keep-alive connection to a server on 127.0.0.1:P serving the same root.
// bench/server_bench.sh runs both with random interleaving and compares their medians.
#include "sdk/run/liveness.hpp"
#include "sdk/run/views.hpp"
#include "src/payload/summary.hpp"
#include "bench/run_generator.hpp"

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
        const views::LivenessInputs liveness{.this_host = "localhost", .now_ms = views::now_ms()};
        for (std::size_t i = 0; i < views.size() && i < 50; ++i) {
            summaries.push_back(payload::run_summary(views[i], nullptr, liveness));
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
        const bool round_done = argc >= 6 && std::string(argv[5]) == "round-done";
        for (int i = 0; i < runs; ++i) bench::generate_run(argv[2], i, bytes, round_done);
        std::cout << "wrote " << runs << " runs to " << argv[2] << "\n";
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
