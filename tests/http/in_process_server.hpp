// The listener run in process on an ephemeral loopback port, with limits a test can shorten.
#pragma once

#include "src/http/server.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <memory>
#include <string>
#include <thread>

namespace korvalle::server {

// Answers every request with 200 and the given body.
class FixedAnswer : public Responder {
public:
    explicit FixedAnswer(std::string body) : body_(std::move(body)) {}
    boost::asio::awaitable<Response> respond(RequestHead) const override { co_return Response{200, {}, body_}; }

private:
    std::string body_;
};

// One listener served by one thread until the fixture ends (after a drain).
struct InProcessServer {
    explicit InProcessServer(HttpLimits limits, std::string body = "ok") {
        boost::asio::ip::tcp::acceptor acceptor(ioc, {boost::asio::ip::make_address("127.0.0.1"), 0});
        port = acceptor.local_endpoint().port();
        server = std::make_shared<HttpServer>(ioc, std::move(acceptor), std::make_shared<FixedAnswer>(std::move(body)),
                                              limits);
        server->start();
        thread = std::thread([this] { ioc.run(); });
    }
    ~InProcessServer() {
        server->begin_drain();
        server->wait_drained();
        ioc.stop();
        thread.join();
    }

    boost::asio::io_context ioc;
    std::shared_ptr<HttpServer> server;
    unsigned short port = 0;
    std::thread thread;
};

}  // namespace korvalle::server
