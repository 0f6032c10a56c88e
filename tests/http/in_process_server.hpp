// The listener run in process on an ephemeral loopback port, with limits a test can shorten and
// the answers a test chooses.
#pragma once

#include "src/http/server.hpp"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <memory>
#include <string>
#include <thread>

namespace korvalle::server {

// Answers every request with the given answer (200 and the body when only a body is given).
class FixedAnswer : public Responder {
public:
    explicit FixedAnswer(Response answer) : answer_(std::move(answer)) {}
    boost::asio::awaitable<Response> respond(RequestHead) const override { co_return answer_; }

private:
    Response answer_;
};

// One listener (on 127.0.0.1 unless another address is given) served by one thread until the
// fixture ends (after a drain).
struct InProcessServer {
    explicit InProcessServer(HttpLimits limits, std::string body = "ok")
        : InProcessServer(limits, std::make_shared<FixedAnswer>(Response{200, {}, std::move(body)})) {}

    InProcessServer(HttpLimits limits, std::shared_ptr<const Responder> responder, const char* address = "127.0.0.1") {
        boost::asio::ip::tcp::acceptor acceptor(ioc, {boost::asio::ip::make_address(address), 0});
        port = acceptor.local_endpoint().port();
        server = std::make_shared<HttpServer>(ioc, std::move(acceptor), std::move(responder), limits);
        server->start();
        thread = std::thread([this] { ioc.run(); });
    }
    ~InProcessServer() {
        server->begin_drain();
        server->wait_drained();
        work.reset();
        ioc.stop();
        thread.join();
    }

    boost::asio::io_context ioc;
    // Keeps the thread running while no connection is open, so that the drain's steps posted
    // after the last connection ended still run (the server's runtime holds one the same way).
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{ioc.get_executor()};
    std::shared_ptr<HttpServer> server;
    unsigned short port = 0;
    std::thread thread;
};

}  // namespace korvalle::server
