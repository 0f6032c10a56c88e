// The process around the server: the serving line, bind failures, the graceful stop on SIGTERM
// and SIGINT with requests in flight and idle connections.
#include "tests/support/server_fixture.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

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

// A root whose run list takes a while: the stand-in tool sleeps before answering.
struct SlowRoot {
    SlowRoot() { add_run(root, "slow", "2026-03-05T09:00:00.000Z"); }
    ServerProcess serve() {
        return ServerProcess::serve(root.path(), with_fake_tool(root.path() / "calls", {{"FAKE_KORVALLE_DELAY_MS", "1500"}}));
    }
    // Waits until the telemetry child has started, so the request is being worked on.
    void wait_in_flight() {
        for (int i = 0; i < 1000; ++i) {
            if (read_text(root.path() / "calls").find("start slow") != std::string::npos) return;
            std::this_thread::sleep_for(10ms);
        }
        ADD_FAILURE() << "the request never reached the telemetry child";
    }
    RunsRoot root;
};

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

// The stop waits for no telemetry child: the running one is killed with its group, and the
// request whose lookup it was is answered busy.
TEST(Lifecycle, SigtermRefusesNewConnectionsEndsTheTelemetryChildAnswersItsRequestBusyAndExits0) {
    SlowRoot slow;
    auto server = slow.serve();
    auto port = server.port();
    auto answer = std::async(std::launch::async, [port] {
        HttpClient client(port);
        return client.get("/api/v2/runs");
    });
    slow.wait_in_flight();
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
    EXPECT_EQ(res.status, 503u);
    EXPECT_EQ(res.header("connection"), "close");
    EXPECT_EQ(server.wait(), 0);
    EXPECT_FALSE(can_connect(port));
    EXPECT_EQ(read_text(slow.root.path() / "calls").find("end slow"), std::string::npos) << "the child was killed";
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
