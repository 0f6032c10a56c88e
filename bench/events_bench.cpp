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
//
// With --hold it is the clients of a measurement made elsewhere (bench/scale_bench.sh): it opens
// STREAMS streams on TARGET at once and reads them all for SECONDS (or until SIGTERM or SIGINT,
// so that the measurement can end them when it is done), then closes them.
//
//   events_bench --hold PORT STREAMS SECONDS [TARGET]     (default target: /api/v2/events)
//
// It prints a "first frames:" line as soon as every stream has its first whole frame (or at the
// end, if some never did): how many did, the milliseconds from each stream's connect to the end
// of its first frame (median and largest) and whether every first frame was a snapshot; then at
// the end the frames each stream got, by event name, and the bytes read.
//
// With --cpu it measures, over one window of SECONDS, the CPU time per second of each of the
// processes PID... at once, to the nanosecond (their CPU clocks), and prints the figures on one
// line: bench/events_bench.sh measures two servers side by side with it.
//
//   events_bench --cpu SECONDS PID...
//
// With --resident it measures what COUNT open event streams, or COUNT idle keep-alive
// connections (each has had one answer), hold in a fresh server: its resident memory (VmRSS)
// with them open (streams once the blocking pool's threads of the opening have left, connections
// at once: the server closes a connection idle for 30 s) less its resident memory before, per
// stream or connection (target: at most 16 KB each), and for streams the
// resident total against its target (under 400 MB for FOR streams, projected from the figure per
// stream when COUNT is smaller) and the run list's time with the streams open against its time
// with none, before they opened and after they closed (target ratio: at most 2.0).
//
//   events_bench --resident streams|connections PORT SERVER_PID COUNT [REQUESTS [FOR]]
//       (defaults: 2000 requests, for 20000 streams)
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <fmt/format.h>

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <map>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <sstream>
#include <stdexcept>
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
    double resident = 0;  // bytes (VmRSS)
};

Figures figures_of(int pid) {
    Figures out;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("Threads:", 0) == 0) out.threads = std::stoul(line.substr(8));
        if (line.rfind("VmRSS:", 0) == 0) out.resident = std::stod(line.substr(6)) * 1024;  // given in KiB
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

// The CPU time per second of each of pids over one window of seconds, from their CPU clocks
// (threads that ended within the window included).
std::vector<double> cpu_ms_per_second_of(const std::vector<int>& pids, double seconds) {
    std::vector<clockid_t> clocks;
    for (int pid : pids) {
        clockid_t clock{};
        if (::clock_getcpuclockid(pid, &clock) != 0) throw std::runtime_error("no CPU clock for " + std::to_string(pid));
        clocks.push_back(clock);
    }
    const auto read = [&] {
        std::vector<double> ms;
        for (clockid_t clock : clocks) {
            timespec t{};
            ::clock_gettime(clock, &t);
            ms.push_back(static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6);
        }
        return ms;
    };
    const auto started_at = Clock::now();
    const auto start = read();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const auto end = read();
    const double elapsed = std::chrono::duration<double>(Clock::now() - started_at).count();
    std::vector<double> out;
    for (std::size_t i = 0; i < pids.size(); ++i) out.push_back((end[i] - start[i]) / elapsed);
    return out;
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

// Closing with a reset leaves no TIME_WAIT behind: tens of thousands of them would slow every
// later connect of this machine while its ephemeral ports are searched.
const asio::socket_base::linger close_at_once(true, 0);

// Opens count connections and sends the same request on each, all before any answer is read.
std::vector<std::unique_ptr<tcp::socket>> connect_and_ask(asio::io_context& ioc, unsigned short port, int count,
                                                          const std::string& request) {
    std::vector<std::unique_ptr<tcp::socket>> sockets;
    for (int i = 0; i < count; ++i) {
        sockets.push_back(std::make_unique<tcp::socket>(ioc));
        sockets.back()->connect({asio::ip::make_address("127.0.0.1"), port});
        sockets.back()->set_option(close_at_once);
        asio::write(*sockets.back(), asio::buffer(request));
    }
    return sockets;
}

// Opens the streams and waits until each has its snapshot.
std::vector<std::unique_ptr<tcp::socket>> open_streams(asio::io_context& ioc, unsigned short port, int count) {
    auto streams = connect_and_ask(ioc, port, count, "GET /api/v2/events HTTP/1.1\r\nhost: 127.0.0.1\r\n\r\n");
    for (auto& stream : streams) {
        asio::streambuf in;
        asio::read_until(*stream, in, "event: snapshot\n");
    }
    return streams;
}

// Opens keep-alive connections that each send one request for /healthz and read its answer,
// then send nothing more: what they hold in the server is what an idle connection costs.
std::vector<std::unique_ptr<tcp::socket>> open_idle_connections(asio::io_context& ioc, unsigned short port, int count) {
    auto connections = connect_and_ask(ioc, port, count, "GET /healthz HTTP/1.1\r\nhost: 127.0.0.1\r\n\r\n");
    for (auto& connection : connections) {
        boost::beast::flat_buffer buffer;
        http::response<http::string_body> res;
        http::read(*connection, buffer, res);
        if (res.result_int() != 200 || !res.keep_alive()) throw std::runtime_error("/healthz did not keep the connection");
    }
    return connections;
}

// The server's figures once the blocking pool's threads that the opening started have left
// (they leave after 10 s without work; those the polls keep busy stay).
Figures settled_figures(int pid) {
    std::this_thread::sleep_for(std::chrono::seconds(12));
    return figures_of(pid);
}

// One stream held open: its frames are counted from its lines as they arrive, keeping no more
// of a line than its start, so a snapshot of tens of megabytes costs the reader no memory.
struct HeldStream {
    explicit HeldStream(asio::io_context& ioc) : socket(ioc) {}

    tcp::socket socket;
    Clock::time_point started;
    std::array<char, 1 << 16> buffer{};
    std::string line;     // the first bytes of the line being read
    std::string status;   // the answer's status line
    std::string event;    // the name of the frame being read
    std::string first;    // the name of the first whole frame
    double first_ms = -1;  // from the connect to the end of the first frame
    std::size_t frames = 0;
    std::size_t bytes = 0;
    bool ended = false;  // the server closed the stream, or it failed, before the end

    // A frame is whole at its data line (one line of JSON); keep-alive comments are not frames.
    // Chunk-size lines of HTTP/1.1 are neither event nor data lines, and each event is one chunk.
    void end_line(std::map<std::string, std::size_t>& names) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (status.empty()) {
            status = line;
        } else if (line.rfind("event: ", 0) == 0) {
            event = line.substr(7);
        } else if (line.rfind("data: ", 0) == 0) {
            ++frames;
            ++names[event];
            if (first_ms < 0) {
                first_ms = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
                first = event;
            }
        }
        line.clear();
    }

    void take(const char* p, std::size_t n, std::map<std::string, std::size_t>& names) {
        bytes += n;
        while (n > 0) {
            const auto* nl = static_cast<const char*>(std::memchr(p, '\n', n));
            const std::size_t length = nl ? static_cast<std::size_t>(nl - p) : n;
            if (line.size() < 64) line.append(p, std::min(length, 64 - line.size()));
            if (nl == nullptr) return;
            end_line(names);
            n -= length + 1;
            p = nl + 1;
        }
    }
};

double percentile(std::vector<double> values, double at) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(at * static_cast<double>(values.size())))];
}

int hold(unsigned short port, int count, double seconds, const std::string& target) {
    asio::io_context ioc;
    std::map<std::string, std::size_t> names;
    std::vector<std::unique_ptr<HeldStream>> streams;
    const std::string request = "GET " + target + " HTTP/1.1\r\nhost: 127.0.0.1\r\n\r\n";
    const tcp::endpoint endpoint{asio::ip::make_address("127.0.0.1"), port};
    bool reported = false;
    bool closing = false;

    auto report_first_frames = [&] {
        reported = true;
        std::vector<double> times;
        bool snapshots = true;
        for (const auto& s : streams) {
            if (s->first_ms >= 0) times.push_back(s->first_ms);
            snapshots = snapshots && s->first == "snapshot";
        }
        fmt::print("first frames: {} of {} streams, ms from connect: median {:.1f}, max {:.1f}; all snapshots: {}\n",
                   times.size(), streams.size(), percentile(times, 0.5), percentile(times, 1.0),
                   snapshots ? "yes" : "no");
        std::fflush(stdout);
    };
    auto all_have_first = [&] {
        return std::all_of(streams.begin(), streams.end(), [](const auto& s) { return s->first_ms >= 0; });
    };

    std::function<void(HeldStream&)> read = [&](HeldStream& s) {
        s.socket.async_read_some(asio::buffer(s.buffer), [&](boost::system::error_code ec, std::size_t n) {
            if (ec) {
                s.ended = !closing;
                return;
            }
            const bool had_first = s.first_ms >= 0;
            s.take(s.buffer.data(), n, names);
            if (!had_first && s.first_ms >= 0 && !reported && all_have_first()) report_first_frames();
            read(s);
        });
    };
    for (int i = 0; i < count; ++i) {
        streams.push_back(std::make_unique<HeldStream>(ioc));
        auto& s = *streams.back();
        s.started = Clock::now();
        s.socket.async_connect(endpoint, [&](boost::system::error_code ec) {
            if (ec) {
                s.ended = true;
                return;
            }
            boost::system::error_code ignored;
            s.socket.set_option(close_at_once, ignored);
            asio::async_write(s.socket, asio::buffer(request), [&](boost::system::error_code wec, std::size_t) {
                if (wec) {
                    s.ended = true;
                    return;
                }
                read(s);
            });
        });
    }
    asio::steady_timer end(ioc, std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)));
    asio::signal_set signals(ioc, SIGTERM, SIGINT);
    auto close_all = [&] {
        if (closing) return;
        closing = true;
        end.cancel();
        signals.cancel();
        for (auto& s : streams) {
            boost::system::error_code ignored;
            s->socket.close(ignored);
        }
    };
    end.async_wait([&](boost::system::error_code) { close_all(); });
    signals.async_wait([&](boost::system::error_code ec, int) {
        if (!ec) close_all();
    });
    ioc.run();
    if (!reported) report_first_frames();

    std::vector<double> frames;
    std::size_t bytes = 0, failed = 0, early = 0;
    for (const auto& s : streams) {
        frames.push_back(static_cast<double>(s->frames));
        bytes += s->bytes;
        if (s->status.rfind("HTTP/1.1 200", 0) != 0) ++failed;
        if (s->ended) ++early;
    }
    std::string by_name;
    for (const auto& [name, n] : names) by_name += fmt::format("{}{} {}", by_name.empty() ? "" : ", ", n, name);
    fmt::print("frames per stream: min {:.0f}, median {:.0f}, max {:.0f} ({})\n", percentile(frames, 0),
               percentile(frames, 0.5), percentile(frames, 1.0), by_name);
    fmt::print("read {:.1f} MB; {} streams not answered 200, {} ended before the end\n",
               static_cast<double>(bytes) / 1e6, failed, early);
    return failed == 0 && early == 0 ? 0 : 1;
}

int resident(const std::string& kind, unsigned short port, int pid, int count, int requests, int target_count) {
    const bool streams = kind == "streams";
    const char* const item = streams ? "stream" : "connection";
    asio::io_context ioc;
    // Warm: the telemetry cache is filled and a stream has been served, so that the figure before
    // holds what the first request of each kind leaves behind; then the pool's threads leave.
    run_list_times(ioc, port, 20);
    if (streams) open_streams(ioc, port, 1);
    std::this_thread::sleep_for(std::chrono::seconds(11));
    const Figures idle = figures_of(pid);

    std::pair<double, double> before{};
    if (streams) before = run_list_times(ioc, port, requests);
    const auto opened_at = Clock::now();
    auto open = streams ? open_streams(ioc, port, count) : open_idle_connections(ioc, port, count);
    const double open_s = std::chrono::duration<double>(Clock::now() - opened_at).count();
    // Idle connections are closed by the server after 30 s without a request: read them at once.
    const Figures with = streams ? settled_figures(pid) : figures_of(pid);
    const double per_item = (with.resident - idle.resident) / count;
    fmt::print("{} {}s opened{} in {:.2f} s; server threads: {} idle, {} when measured\n", count, item,
               streams ? " and past their snapshot" : ", each answered once,", open_s, idle.threads, with.threads);
    fmt::print("server resident memory: {:.1f} MB before, {:.1f} MB with {} {}s open\n", idle.resident / 1e6,
               with.resident / 1e6, count, item);
    fmt::print("resident memory per {}: {:.2f} KB (target: at most 16 KB)\n", item, per_item / 1e3);
    bool ok = per_item <= 16e3;
    if (with.descriptors < idle.descriptors + static_cast<std::size_t>(count)) {
        fmt::print("only {} of the {}s were open in the server when measured: the figure is not theirs\n",
                   with.descriptors - std::min(with.descriptors, idle.descriptors), item);
        ok = false;
    }
    if (streams) {
        const auto during = run_list_times(ioc, port, requests);
        open.clear();
        const auto after = run_list_times(ioc, port, requests);
        const double projected = idle.resident + per_item * target_count;
        const double total = count >= target_count ? with.resident : projected;
        if (count < target_count) {
            fmt::print("resident memory projected to {} streams: {:.1f} MB (the descriptor limit allowed {})\n",
                       target_count, projected / 1e6, count);
        }
        fmt::print("resident memory with {} streams: {:.1f} MB (target: under 400 MB)\n", target_count, total / 1e6);
        const double baseline = (before.first + after.first) / 2;
        fmt::print("run list, median (p90) us: {:.0f} ({:.0f}) with no stream, {:.0f} ({:.0f}) with {} streams, "
                   "{:.0f} ({:.0f}) after they closed\n",
                   before.first, before.second, during.first, during.second, count, after.first, after.second);
        fmt::print("run-list ratio with {} streams open / without: {:.2f} (target: at most 2.0)\n", count,
                   during.first / baseline);
        ok = ok && total < 400e6 && during.first / baseline <= 2.0;
    }
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    // Every mode but --cpu holds a descriptor per stream or connection.
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    if (argc >= 5 && std::string(argv[1]) == "--hold") {
        return hold(static_cast<unsigned short>(std::stoi(argv[2])), std::stoi(argv[3]), std::stod(argv[4]),
                    argc > 5 ? argv[5] : "/api/v2/events");
    }
    if (argc >= 6 && std::string(argv[1]) == "--resident") {
        return resident(argv[2], static_cast<unsigned short>(std::stoi(argv[3])), std::stoi(argv[4]), std::stoi(argv[5]),
                        argc > 6 ? std::stoi(argv[6]) : 2000, argc > 7 ? std::stoi(argv[7]) : 20000);
    }
    if (argc >= 4 && std::string(argv[1]) == "--cpu") {
        std::vector<int> pids;
        for (int i = 3; i < argc; ++i) pids.push_back(std::stoi(argv[i]));
        std::string line;
        for (double ms : cpu_ms_per_second_of(pids, std::stod(argv[2]))) line += fmt::format("{}{:.3f}", line.empty() ? "" : " ", ms);
        fmt::print("{}\n", line);
        return 0;
    }
    if (argc < 3) {
        std::cerr << "usage: events_bench PORT SERVER_PID [STREAMS [REQUESTS [CPU_SECONDS]]]\n";
        return 2;
    }
    auto port = static_cast<unsigned short>(std::stoi(argv[1]));
    int pid = std::stoi(argv[2]);
    int stream_count = argc > 3 ? std::stoi(argv[3]) : 1000;
    int requests = argc > 4 ? std::stoi(argv[4]) : 2000;
    int cpu_seconds = argc > 5 ? std::stoi(argv[5]) : 10;

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
