// The process around the server: the serving line, bind failures, the graceful stop on SIGTERM
// and SIGINT with requests in flight and idle connections.
#include "tests/support/event_reader.hpp"
#include "tests/support/process_watch.hpp"
#include "tests/support/server_fixture.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <csignal>
#include <future>
#include <regex>
#include <thread>

namespace korvalle::testing {
namespace {

using namespace std::chrono_literals;
namespace asio = boost::asio;

bool can_connect(unsigned short port) {
    asio::io_context ioc;
    asio::ip::tcp::socket socket(ioc);
    boost::system::error_code ec;
    socket.connect({asio::ip::make_address("127.0.0.1"), port}, ec);
    return !ec;
}

// A root whose run list takes a while: the stand-in tool answers each run's telemetry after a
// delay, or steered otherwise (more).
struct SlowRoot {
    explicit SlowRoot(std::vector<std::string> runs = {"slow"}) {
        for (const std::string& run : runs) add_run(root, run, "2026-03-05T09:00:00.000Z");
    }
    ServerProcess serve(std::vector<std::pair<std::string, std::string>> more = {{"FAKE_KORVALLE_DELAY_MS", "1500"}}) {
        return ServerProcess::serve(root.path(), with_fake_tool(calls(), std::move(more)));
    }
    std::filesystem::path calls() const { return root.path() / "calls"; }
    // Waits until the first telemetry child has started, so the request is being worked on.
    void wait_in_flight() {
        if (!eventually([&] { return read_text(calls()).find("start ") != std::string::npos; })) {
            ADD_FAILURE() << "the request never reached the telemetry child";
        }
    }
    RunsRoot root;
};

// A run list asked on a thread of its own.
std::future<HttpResponse> list_runs(unsigned short port) {
    return std::async(std::launch::async, [port] {
        HttpClient client(port);
        return client.get("/api/v2/runs");
    });
}

TEST(Lifecycle, ServingLineNamesTheRootAsTypedAndTheBoundPort) {
    RunsRoot root;
    auto relative = std::filesystem::relative(root.path());
    auto server = ServerProcess::serve(relative, with_fake_tool(root.path() / "calls"));
    EXPECT_NE(server.port(), 0);
    EXPECT_EQ(server.serving_line(),
              "korvalle-api: serving " + relative.string() + " on http://127.0.0.1:" + std::to_string(server.port()));
    EXPECT_EQ(server.stop(), 0);
    EXPECT_EQ(server.stdout_text(), server.serving_line() + "\n") << "the serving line is the only line on stdout";
    EXPECT_EQ(server.stderr_text(), "") << "a clean stop adds no message";
}

// Opens and binds the acceptor on [::1] with a port the system chooses; false where this host
// has no IPv6 loopback.
bool bind_ipv6_loopback(asio::ip::tcp::acceptor& acceptor) {
    boost::system::error_code ec;
    acceptor.open(asio::ip::tcp::v6(), ec);
    if (!ec) acceptor.bind({asio::ip::make_address("::1"), 0}, ec);
    return !ec;
}

ServerProcess serve_on(const RunsRoot& root, const std::string& address) {
    return ServerProcess::spawn({.args = {"serve", "--runs-root", root.path().string(), "--bind", address}});
}

// Serves on an address that cannot be bound; the exit status must be 2 and stdout empty.
std::string bind_refusal(const RunsRoot& root, const std::string& address) {
    auto process = serve_on(root, address);
    EXPECT_EQ(process.wait(), 2) << address;
    EXPECT_EQ(process.stdout_text(), "") << address;
    return process.stderr_text();
}

TEST(Lifecycle, BindFailuresExitWith2AndNameTheAddress) {
    asio::io_context ioc;
    asio::ip::tcp::acceptor holder(ioc, {asio::ip::make_address("127.0.0.1"), 0});
    auto port = std::to_string(holder.local_endpoint().port());
    RunsRoot root;
    EXPECT_EQ(bind_refusal(root, "127.0.0.1:" + port),
              "korvalle-api: cannot bind 127.0.0.1:" + port + ": Address already in use (os error 98)\n"
              "ACTION: choose a free address with --bind HOST:PORT, or stop whatever is holding this one.\n");
    auto other_host = bind_refusal(root, "192.0.2.1:80");
    EXPECT_TRUE(other_host.starts_with("korvalle-api: cannot bind 192.0.2.1:80: ")) << other_host;
}

TEST(Lifecycle, Ipv6AddressesStandInBrackets) {
    asio::io_context ioc;
    asio::ip::tcp::acceptor holder(ioc);
    boost::system::error_code ec;
    if (!bind_ipv6_loopback(holder) || holder.listen(16, ec)) GTEST_SKIP() << "no IPv6 loopback here";
    RunsRoot root;
    auto process = serve_on(root, "[::1]:0");
    process.wait_for_stdout_line(20s);
    auto out = process.stdout_text();
    EXPECT_TRUE(std::regex_search(out, std::regex(R"(on http://\[::1\]:[1-9][0-9]*\n)"))) << out;
    EXPECT_EQ(process.stop(), 0);

    auto port = std::to_string(holder.local_endpoint().port());
    auto in_use = bind_refusal(root, "[::1]:" + port);
    EXPECT_TRUE(in_use.starts_with("korvalle-api: cannot bind [::1]:" + port + ": Address already in use (os error 98)\n"))
        << in_use;
}

// The stop lets the running telemetry child finish: the request whose lookup it is, in flight at
// the signal, is answered in full, with the child's telemetry; an event stream whose snapshot
// waited for the same child ends without a frame all the same.
TEST(Lifecycle, SigtermRefusesNewConnectionsAnswersTheRequestWhoseChildRunsAndExits0) {
    SlowRoot slow;
    auto server = slow.serve();
    auto port = server.port();
    auto answer = list_runs(port);
    slow.wait_in_flight();
    EventReader stream(port, "/api/v2/events");
    EXPECT_NE(stream.head().find(" 200 "), std::string::npos);
    std::this_thread::sleep_for(300ms);  // its snapshot waits for the child's run
    server.signal(SIGTERM);
    bool refused = false;
    for (int i = 0; i < 100 && !refused; ++i) {
        refused = !can_connect(port);
        if (!refused) std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(refused) << "new connections are refused while draining";
    // More signals during the drain change nothing.
    server.signal(SIGINT);
    server.signal(SIGTERM);
    auto res = answer.get();
    ASSERT_EQ(res.status, 200u) << res.body;
    EXPECT_EQ(parse_json(res.body).at("runs").at(0).at("timing").at("wall_ms"), 1000);
    while (auto block = stream.next()) EXPECT_EQ(block->find("event: snapshot"), std::string::npos) << *block;
    EXPECT_EQ(server.wait(), 0);
    EXPECT_FALSE(can_connect(port));
    EXPECT_EQ(read_text(slow.calls()), "start slow\nend slow\n");
}

// What a telemetry program leaves running in its group ends with it, lookup after lookup, even in
// a server started with SIGCHLD ignored (which would have the system reap its children).
TEST(Lifecycle, NothingATelemetryChildLeavesInItsGroupOutlivesIt) {
    SlowRoot slow({"r1", "r2", "r3"});
    struct sigaction ignore {}, old {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGCHLD, &ignore, &old);
    auto server = slow.serve({{"FAKE_KORVALLE_MODE", "linger"}});
    ::sigaction(SIGCHLD, &old, nullptr);
    const HttpResponse list = http_get(server.port(), "/api/v2/runs");
    ASSERT_EQ(list.status, 200u);
    EXPECT_EQ(parse_json(list.body).at("runs").at(2).at("timing").at("wall_ms"), 1000);
    const std::vector<pid_t> left = grandchildren_in(slow.calls());
    EXPECT_EQ(left.size(), 3u);
    EXPECT_TRUE(eventually([&] {
        return std::all_of(left.begin(), left.end(), has_ended);
    }, 5s));
    for (pid_t pid : left) ::kill(pid, SIGKILL);  // nothing left behind on failure
    EXPECT_EQ(server.stop(), 0);
    EXPECT_EQ(server.stderr_text(), "");
}

TEST(Lifecycle, SigintStopsAtOnceDespiteIdleAndSilentConnections) {
    RunsRoot root;
    add_run(root, "r1", "2026-03-05T09:00:00.000Z");
    auto server = ServerProcess::serve(root.path(), with_fake_tool(root.path() / "calls"));
    HttpClient kept(server.port());
    EXPECT_EQ(kept.get("/api/v2/runs").status, 200u);
    asio::io_context ioc;
    asio::ip::tcp::socket silent(ioc), partial(ioc);
    silent.connect({asio::ip::make_address("127.0.0.1"), server.port()});
    partial.connect({asio::ip::make_address("127.0.0.1"), server.port()});
    asio::write(partial, asio::buffer(std::string("GET /healthz HTTP/1.1\r\nhost")));
    std::this_thread::sleep_for(100ms);
    auto started = std::chrono::steady_clock::now();
    server.signal(SIGINT);
    EXPECT_EQ(server.wait(5s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
    EXPECT_TRUE(kept.closed_by_peer(2s));
}

TEST(Lifecycle, ClosedStandardOutputIsReopenedAndServingGoesOn) {
    unsigned short port = 0;
    {
        asio::io_context ioc;
        asio::ip::tcp::acceptor probe(ioc, {asio::ip::make_address("127.0.0.1"), 0});
        port = probe.local_endpoint().port();
    }
    RunsRoot root;
    auto process = ServerProcess::spawn({.args = {"serve", "--runs-root", root.path().string(), "--bind",
                                                  "127.0.0.1:" + std::to_string(port)},
                                         .close_stdout = true});
    HttpResponse res;
    for (int attempt = 0; attempt < 100 && res.status == 0; ++attempt) {
        std::this_thread::sleep_for(50ms);
        try {
            res = http_get(port, "/healthz");
        } catch (const std::exception&) {
        }
    }
    EXPECT_EQ(res.status, 200u);
    EXPECT_EQ(process.stop(), 0);
    EXPECT_EQ(process.stderr_text(), "");
}

}  // namespace
}  // namespace korvalle::testing
