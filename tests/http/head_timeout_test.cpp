// The request-head time limit, on the listener run in process with a short limit.
#include "src/http/server.hpp"
#include "tests/support/http_client.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <gtest/gtest.h>

#include <thread>

namespace korvalle::server {
namespace {

using namespace std::chrono_literals;
namespace asio = boost::asio;

class Ok : public Responder {
public:
    asio::awaitable<Response> respond(RequestHead) const override { co_return Response{200, {}, "ok"}; }
};

// One listener on an ephemeral loopback port, served by one thread until the fixture ends.
struct InProcessServer {
    explicit InProcessServer(HttpLimits limits) {
        asio::ip::tcp::acceptor acceptor(ioc, {asio::ip::make_address("127.0.0.1"), 0});
        port = acceptor.local_endpoint().port();
        server = std::make_shared<HttpServer>(ioc, std::move(acceptor), std::make_shared<Ok>(), limits);
        server->start();
        thread = std::thread([this] { ioc.run(); });
    }
    ~InProcessServer() {
        server->begin_drain();
        server->wait_drained();
        ioc.stop();
        thread.join();
    }

    asio::io_context ioc;
    std::shared_ptr<HttpServer> server;
    unsigned short port = 0;
    std::thread thread;
};

TEST(HeadTimeout, AClientThatSendsNoCompleteHeadIsClosedAtTheLimit) {
    InProcessServer serving(HttpLimits{.head_timeout = 1s});
    testing::HttpClient silent(serving.port, 10s);
    testing::HttpClient slow(serving.port, 10s);
    slow.send_raw("GET /healthz HTTP/1.1\r\nhost: x\r\n");
    auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(silent.closed_by_peer(8s));
    EXPECT_TRUE(slow.closed_by_peer(8s));
    EXPECT_GE(std::chrono::steady_clock::now() - started, 900ms);
    EXPECT_EQ(testing::http_get(serving.port, "/healthz").status, 200u);
}

}  // namespace
}  // namespace korvalle::server
