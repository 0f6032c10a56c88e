// The HTTP/1.1 layer: accepting connections, reading request heads, answering them through the
// router, keep-alive, and the graceful drain at the stop.
//
// Every connection runs as one coroutine on its own strand. A connection is idle while it
// waits for a request head (and while it discards a request body) and busy while the router
// works on its request and the answer is written. At the stop, idle connections are closed at
// once and busy ones close after their answer.
//
// A connection ends at its first read or write error. A request head and its body must arrive
// together within head_timeout, and an answer the client takes nothing of for
// write_stall_timeout ends the connection, so no client can hold a descriptor, or the stop,
// for good. The reader of an answer of at least answer_pace_bytes must take that many bytes per
// write_stall_timeout on average, in bursts as it likes (pace.hpp), so a client that reads a
// large answer a little at a time cannot pin its memory either.
//
// A head that request_rules.hpp refuses (framing two readers could disagree on, a missing or
// doubtful Host, a foreign name on a loopback listener) is answered by the server itself, before
// any of its body is read, and the connection ends.
#pragma once

#include "sdk/base/thread_safety.hpp"
#include "src/http/message.hpp"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <condition_variable>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace korvalle::server {

struct HttpLimits {
    std::size_t header_limit = 64 * 1024;                  // bytes of a request head
    std::chrono::milliseconds head_timeout = std::chrono::seconds(30);  // for a complete head and body
    std::chrono::milliseconds write_stall_timeout = std::chrono::seconds(30);  // the longest an answer waits
    std::size_t answer_pace_bytes = 1024 * 1024;  // a large answer's least average progress per write_stall_timeout
    std::size_t framing_line_limit = 8 * 1024;  // bytes of a chunk-size line or of the trailers
};

class Session;

class HttpServer : public std::enable_shared_from_this<HttpServer> {
public:
    HttpServer(boost::asio::io_context& ioc, boost::asio::ip::tcp::acceptor acceptor,
               std::shared_ptr<const Responder> responder, HttpLimits limits = {});

    // Starts the accept loop on the runtime.
    void start();
    // Stops accepting and closes the listener, closes idle connections and lets busy ones
    // finish their answer. Idempotent.
    void begin_drain() EXCLUDES(mutex_);
    // Blocks the calling thread until the drain has begun and every connection has ended.
    void wait_drained() EXCLUDES(mutex_);

    bool draining() const { return draining_.load(std::memory_order_acquire); }
    const HttpLimits& limits() const { return limits_; }
    const Responder& responder() const { return *responder_; }

private:
    friend class Session;
    static boost::asio::awaitable<void> accept_loop(std::shared_ptr<HttpServer> self);
    void session_started(const std::shared_ptr<Session>& session) EXCLUDES(mutex_);
    void session_ended(Session* session) EXCLUDES(mutex_);
    void notify_if_drained_locked() REQUIRES(mutex_);

    boost::asio::io_context& ioc_;
    boost::asio::ip::tcp::acceptor acceptor_;  // used on its own strand once start() is called
    const std::shared_ptr<const Responder> responder_;
    const HttpLimits limits_;
    const bool loopback_;  // bound to a loopback address: only local Host names are answered
    std::atomic<bool> draining_{false};  // set once, by the first begin_drain

    sync::Mutex mutex_;
    std::unordered_map<Session*, std::weak_ptr<Session>> sessions_ GUARDED_BY(mutex_);
    std::condition_variable drained_;  // notified under mutex_ once drained_set_ is set
    bool drained_set_ GUARDED_BY(mutex_) = false;
};

}  // namespace korvalle::server
