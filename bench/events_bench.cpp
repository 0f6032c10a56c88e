// The cost of open event streams, measured side by side in one run against a running server on
// an unchanged root: the server's CPU time per second with one stream open and with STREAMS
// streams open (one poll per interval serves them all: target ratio at most 2.0); the time of
// one run-list request with no stream open, with the streams open (each past its snapshot) and
// with none again (target ratio at most 2.0); then the server's thread count and open
// descriptors, which must come back to their idle figures once the streams have closed (idle
// blocking-pool threads leave after 10 s).
//
//   events_bench PORT SERVER_PID [STREAMS [REQUESTS [CPU_SECONDS]]]
//       (defaults: 1000 streams, 2000 requests: several poll intervals, 10 s of CPU time)
//
// bench/events_bench.sh starts the server on the demo runs root and runs this.
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <fmt/format.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

struct Figures {
    std::size_t threads = 0;
    std::size_t descriptors = 0;
};

Figures figures_of(int pid) {
    Figures out;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("Threads:", 0) == 0) out.threads = std::stoul(line.substr(8));
    }
    for ([[maybe_unused]] const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        ++out.descriptors;
    }
    return out;
}

// The process's user and system CPU time so far, in milliseconds.
double cpu_ms(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Fields after the command (which may hold blanks): state is the 3rd, utime the 14th, stime the 15th.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) * 1000.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// The server's CPU milliseconds per second over a window in which the client sends nothing.
double cpu_ms_per_second(int pid, int seconds) {
    const double start = cpu_ms(pid);
    const auto started_at = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    return (cpu_ms(pid) - start) / std::chrono::duration<double>(Clock::now() - started_at).count();
}

// Median and 90th percentile, in microseconds, of run-list requests on one keep-alive connection.
std::pair<double, double> run_list_times(asio::io_context& ioc, unsigned short port, int requests) {
    tcp::socket socket(ioc);
    socket.connect({asio::ip::make_address("127.0.0.1"), port});
    boost::beast::flat_buffer buffer;
    std::vector<double> times;
    for (int i = 0; i < requests; ++i) {
        http::request<http::empty_body> req{http::verb::get, "/api/v2/runs", 11};
        req.set(http::field::host, "127.0.0.1");
        auto start = Clock::now();
        http::write(socket, req);
        http::response<http::string_body> res;
        http::read(socket, buffer, res);
        times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        if (res.result_int() != 200) throw std::runtime_error("run list answered " + std::to_string(res.result_int()));
    }
    std::sort(times.begin(), times.end());
    return {times[times.size() / 2], times[times.size() * 9 / 10]};
}

// Opens the streams and waits until each has its snapshot.
std::vector<std::unique_ptr<tcp::socket>> open_streams(asio::io_context& ioc, unsigned short port, int count) {
    std::vector<std::unique_ptr<tcp::socket>> streams;
    const std::string request = "GET /api/v2/events HTTP/1.1\r\nhost: 127.0.0.1\r\n\r\n";
    for (int i = 0; i < count; ++i) {
        streams.push_back(std::make_unique<tcp::socket>(ioc));
        streams.back()->connect({asio::ip::make_address("127.0.0.1"), port});
        asio::write(*streams.back(), asio::buffer(request));
    }
    for (auto& stream : streams) {
        asio::streambuf in;
        asio::read_until(*stream, in, "event: snapshot\n");
    }
    return streams;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: events_bench PORT SERVER_PID [STREAMS [REQUESTS [CPU_SECONDS]]]\n";
        return 2;
    }
    auto port = static_cast<unsigned short>(std::stoi(argv[1]));
    int pid = std::stoi(argv[2]);
    int stream_count = argc > 3 ? std::stoi(argv[3]) : 1000;
    int requests = argc > 4 ? std::stoi(argv[4]) : 2000;
    int cpu_seconds = argc > 5 ? std::stoi(argv[5]) : 10;
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }

    asio::io_context ioc;
    run_list_times(ioc, port, 20);  // warm: the telemetry cache is filled
    std::this_thread::sleep_for(std::chrono::seconds(11));  // the pool's threads of the warm-up leave
    Figures idle = figures_of(pid);

    auto before = run_list_times(ioc, port, requests);
    auto one = open_streams(ioc, port, 1);
    double cpu_one = cpu_ms_per_second(pid, cpu_seconds);
    one.clear();
    auto opened_at = Clock::now();
    auto streams = open_streams(ioc, port, stream_count);
    double open_s = std::chrono::duration<double>(Clock::now() - opened_at).count();
    Figures busy = figures_of(pid);
    double cpu_many = cpu_ms_per_second(pid, cpu_seconds);
    auto during = run_list_times(ioc, port, requests);
    streams.clear();
    auto after = run_list_times(ioc, port, requests);

    // Wait for the server to let go of everything the streams took.
    Figures settled;
    auto deadline = Clock::now() + std::chrono::seconds(40);
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        settled = figures_of(pid);
    } while ((settled.threads > idle.threads || settled.descriptors > idle.descriptors) && Clock::now() < deadline);

    double baseline = (before.first + after.first) / 2;
    // A server that used no measurable time with one stream counts as one clock tick's worth.
    double cpu_ratio = cpu_many / std::max(cpu_one, 1000.0 / static_cast<double>(::sysconf(_SC_CLK_TCK)) / cpu_seconds);
    fmt::print("server CPU, ms per second over {} s: {:.1f} with 1 stream, {:.1f} with {} streams\n", cpu_seconds,
               cpu_one, cpu_many, stream_count);
    fmt::print("CPU ratio with {} streams / with 1: {:.2f} (target: at most 2.0)\n", stream_count, cpu_ratio);
    fmt::print("run list, median (p90) us: {:.0f} ({:.0f}) with no stream, {:.0f} ({:.0f}) with {} streams, "
               "{:.0f} ({:.0f}) after they closed\n",
               before.first, before.second, during.first, during.second, stream_count, after.first, after.second);
    fmt::print("run-list ratio with {} streams open / without: {:.2f} (target: at most 2.0)\n", stream_count,
               during.first / baseline);
    fmt::print("{} streams opened and past their snapshot in {:.2f} s\n", stream_count, open_s);
    fmt::print("server threads: {} idle, {} with the streams open, {} after they closed\n", idle.threads, busy.threads,
               settled.threads);
    fmt::print("server descriptors: {} idle, {} with the streams open, {} after they closed\n", idle.descriptors,
               busy.descriptors, settled.descriptors);
    bool back = settled.threads <= idle.threads && settled.descriptors <= idle.descriptors;
    fmt::print("back to idle: {}\n", back ? "yes" : "no");
    return back && during.first / baseline <= 2.0 && cpu_ratio <= 2.0 ? 0 : 1;
}
