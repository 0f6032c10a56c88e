// The HTTP face of the real server: routing on the raw path, 404/405/400 answers, HEAD, the
// request-head limit and timeout, request bodies, keep-alive and many clients at once.
#include "tests/support/server_fixture.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

#include <cstdlib>
#include <future>
#include <thread>

namespace korvalle::testing {
namespace {

class HttpTest : public ServedRoot<HttpTest> {
public:
    static void fill(RunsRoot& root) {
        add_run(root, "run-a", "2026-03-02T09:00:00.000Z");
    }
};

const char* const no_such_route = R"({"error":{"code":"no_such_route","message":"no such route"}})";

TEST_F(HttpTest, HealthzAnswersOkWithJsonDateAndLength) {
    auto res = http_get(port(), "/healthz");
    EXPECT_EQ(res.status, 200u);
    EXPECT_EQ(res.body, R"({"status":"ok"})");
    EXPECT_EQ(res.header("content-type"), "application/json");
    EXPECT_EQ(res.header("content-length"), "15");
    auto date = res.header("date");
    ASSERT_TRUE(date);
    // IMF-fixdate: "Sun, 06 Nov 1994 08:49:37 GMT".
    EXPECT_EQ(date->size(), 29u);
    EXPECT_EQ(date->substr(date->size() - 4), " GMT");
    for (const auto& [name, value] : res.headers) {
        for (char c : name) EXPECT_FALSE(c >= 'A' && c <= 'Z') << name;
    }
}

TEST_F(HttpTest, UnknownPathsAnswer404AndOtherMethodsOnKnownPaths405) {
    HttpClient client(port());
    const std::pair<const char*, const char*> unknown[] = {
        {"GET", "/nope"}, {"GET", "/healthz/"}, {"GET", "/api/v2/runs/"}, {"GET", "/api/v2/runs//timeline"},
        {"GET", "/API/v2/runs"}, {"GET", "/api/v2/%72uns"}, {"GET", "/api/v2/runs/x/nope"}, {"GET", "*"},
        {"DELETE", "/nope"}};
    for (const auto& [method, target] : unknown) {
        auto res = client.request(method, target);
        EXPECT_EQ(res.status, 404u) << method << " " << target;
        EXPECT_EQ(res.body, no_such_route) << target;
        EXPECT_EQ(res.header("content-type"), "application/json");
    }
    const std::pair<const char*, const char*> refused[] = {
        {"POST", "/api/v2/runs"}, {"PUT", "/api/v2/runs"}, {"DELETE", "/api/v2/runs"},
        {"OPTIONS", "/api/v2/runs"}, {"get", "/api/v2/runs"}, {"POST", "/healthz"}};
    for (const auto& [method, target] : refused) {
        auto res = client.request(method, target);
        EXPECT_EQ(res.status, 405u) << method << " " << target;
        EXPECT_EQ(res.header("allow"), "GET,HEAD");
        EXPECT_EQ(res.header("content-length"), "0");
        EXPECT_TRUE(res.body.empty());
    }
    // Absolute-form targets route on their path.
    EXPECT_EQ(client.get("http://127.0.0.1/healthz").status, 200u);
    EXPECT_EQ(client.get("http://127.0.0.1/api/v2/runs?limit=1").status, 200u);
}

TEST_F(HttpTest, HeadSendsTheGetHeadersWithoutABodyAndKeepsTheConnection) {
    HttpClient client(port());
    for (auto target : {"/healthz", "/api/v2/runs", "/nope", "/api/v2/runs?limit=x", "/api/v2/runs/run-a",
                        "/api/v2/runs/run-a/timeline?scope=run", "/api/v2/runs/run-a/timeline?scope=node",
                        "/api/v2/runs/run-a/conversations/nope", "/api/v2/runs/run-a/artifacts/nope"}) {
        auto get = client.get(target);
        auto head = client.request("HEAD", target);
        SCOPED_TRACE(target);
        expect_head_of(get, head);
    }
    // The connection still serves after the HEAD answers.
    EXPECT_EQ(client.get("/healthz").body, R"({"status":"ok"})");
}

TEST_F(HttpTest, MalformedAndOversizedHeadsAreRefusedAndServingGoesOn) {
    const std::pair<std::string, const char*> refused[] = {
        {"GARBAGE\r\n\r\n", "HTTP/1.1 400 "},
        {"GET /healthz HTTP/1.1\r\nbad header line\r\n\r\n", "HTTP/1.1 400 "},
        {"GET /healthz HTTP/1.1\r\ncontent-length: abc\r\n\r\n", "HTTP/1.1 400 "},
        {"GET /healthz HTTP/1.1\r\nx-big: " + std::string(70 * 1024, 'a') + "\r\n\r\n", "HTTP/1.1 431 "},
    };
    for (const auto& [request, answer] : refused) {
        auto reply = raw_exchange(port(), request);
        EXPECT_EQ(reply.rfind(answer, 0), 0u) << reply.substr(0, 100);
    }
    // Heads up to 64 KiB are read.
    HttpClient client(port());
    EXPECT_EQ(client.request("GET", "/healthz", {{"x-big", std::string(60 * 1024, 'a')}}).status, 200u);
}

TEST_F(HttpTest, BodiesOnGetAreDiscardedAndTheConnectionStaysUsable) {
    HttpClient client(port());
    auto res = client.request("GET", "/healthz", {}, std::string(200 * 1024, 'x'));
    EXPECT_EQ(res.status, 200u);
    EXPECT_EQ(res.body, R"({"status":"ok"})");
    // A chunked body too.
    client.send_raw("GET /healthz HTTP/1.1\r\nhost: localhost\r\ntransfer-encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n");
    EXPECT_EQ(client.read_response().status, 200u);
    EXPECT_EQ(client.get("/api/v2/runs?limit=1").status, 200u);
}

TEST_F(HttpTest, ConnectionRulesPipeliningHttp10AndClose) {
    HttpClient pipelined(port());
    pipelined.send_raw("GET /healthz HTTP/1.1\r\nhost: localhost\r\n\r\nGET /nope HTTP/1.1\r\nhost: localhost\r\n\r\n");
    EXPECT_EQ(pipelined.read_response().status, 200u);
    EXPECT_EQ(pipelined.read_response().status, 404u);

    // HTTP/1.0 closes unless keep-alive is asked.
    auto reply = raw_exchange(port(), "GET /healthz HTTP/1.0\r\n\r\n");
    EXPECT_EQ(reply.rfind("HTTP/1.0 200 ", 0), 0u) << reply;
    EXPECT_NE(reply.find(R"({"status":"ok"})"), std::string::npos);
    HttpClient old(port());
    old.send_raw("GET /healthz HTTP/1.0\r\nconnection: keep-alive\r\n\r\n");
    EXPECT_EQ(old.read_response().header("connection"), "keep-alive");
    EXPECT_EQ(old.get("/healthz").status, 200u);

    HttpClient closing(port());
    EXPECT_EQ(closing.request("GET", "/healthz", {{"connection", "close"}}).header("connection"), "close");
    EXPECT_TRUE(closing.closed_by_peer(std::chrono::seconds(5)));
}

TEST_F(HttpTest, SixtyFourConcurrentClientsAreAllAnswered) {
    std::vector<std::future<std::pair<unsigned, unsigned>>> clients;
    for (int i = 0; i < 64; ++i) {
        clients.push_back(std::async(std::launch::async, [p = port()] {
            HttpClient client(p);
            auto runs = client.get("/api/v2/runs");
            auto health = client.get("/healthz");
            return std::make_pair(runs.status, health.status);
        }));
    }
    for (auto& f : clients) {
        auto [runs, health] = f.get();
        EXPECT_EQ(runs, 200u);
        EXPECT_EQ(health, 200u);
    }
}

TEST_F(HttpTest, SilentAndDepartingClientsDoNotHoldUpOthers) {
    // Connections that send nothing, or half a request head, sit idle.
    boost::asio::io_context ioc;
    std::vector<boost::asio::ip::tcp::socket> idle;
    for (int i = 0; i < 20; ++i) {
        idle.emplace_back(ioc);
        idle.back().connect({boost::asio::ip::make_address("127.0.0.1"), port()});
        if (i % 2) boost::asio::write(idle.back(), boost::asio::buffer(std::string("GET /healthz HTTP/1.1\r\n")));
    }
    EXPECT_EQ(http_get(port(), "/healthz").status, 200u);
    // Clients that leave with half a head, without reading their answer, or with a body cut short.
    for (int i = 0; i < 9; ++i) {
        boost::asio::ip::tcp::socket socket(ioc);
        socket.connect({boost::asio::ip::make_address("127.0.0.1"), port()});
        std::string bytes = i % 3 == 0 ? "GET /api/v2/ru"
                            : i % 3 == 1 ? "GET /api/v2/runs HTTP/1.1\r\nhost: localhost\r\n\r\n"
                                         : "GET /healthz HTTP/1.1\r\ncontent-length: 100\r\n\r\nabc";
        boost::asio::write(socket, boost::asio::buffer(bytes));
        socket.close();
    }
    EXPECT_EQ(http_get(port(), "/api/v2/runs").status, 200u);
    EXPECT_TRUE(server_->running());
}

}  // namespace
}  // namespace korvalle::testing
