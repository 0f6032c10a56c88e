// The body of a text/event-stream answer (Server-Sent Events): a queue of at most eight
// finished events between the application's producer and the connection that writes them,
// keep-alive comments while nothing is sent, and the end of the body.
//
// A stream lives on one strand: the connection's, which is also the executor its request
// handler runs on. The producer is a coroutine on that executor; nothing here takes a lock or
// blocks a thread. While the client stays, no event is dropped and a full queue makes the
// producer wait, without a time limit until the server begins to stop.
#pragma once

#include "src/http/message.hpp"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/tcp_stream.hpp>

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace korvalle::server {

class EventStream : public std::enable_shared_from_this<EventStream> {
public:
    static constexpr std::size_t capacity = 8;
    static constexpr std::chrono::seconds keep_alive_after{15};

    // The keep-alive clock starts now. close_after_stop is how long the stream may go on once
    // the server has begun to stop; then a client that has stopped reading is cut off.
    EventStream(boost::asio::any_io_executor executor, std::chrono::milliseconds close_after_stop);

    // ---- The producer's side (a coroutine on the stream's executor). ----

    // Queues the event "id: {id}\nevent: {name}\ndata: {data}\n\n" (data is one line), waiting
    // while eight events are queued. Returns false, and queues nothing, once the client has gone.
    boost::asio::awaitable<bool> send(std::string_view id, std::string_view name, std::string_view data);
    // No more events: the body ends once the queued ones are written.
    void end();
    // True once the client has gone, or the answer went out without its body (HEAD).
    bool closed() const { return gone_.load(std::memory_order_relaxed); }
    // Calls tell once when the stream closes, or now if it has: so the change feed's poller
    // learns of a client gone from its stream, without asking every stream at each poll. One
    // callback at a time; nullptr takes it back. tell runs on the stream's executor and must not
    // throw.
    void on_gone(std::function<void()> tell);

    // ---- The connection's side. ----

    // The answer is released: sends fail from now on and a write under way is given up.
    void release();
    // The server has begun to stop: release the stream after close_after_stop unless it has
    // ended by then.
    void drain();

    // Writes the body: each queued event, and ":\n\n" when keep_alive_after passes without one,
    // until the producer ends the stream (then the last chunk) or the client goes. A client
    // that closes its side or fails a read or write has gone; bytes it sends are ignored.
    boost::asio::awaitable<void> write_body(boost::beast::tcp_stream& stream, bool chunked);

private:
    static boost::asio::awaitable<void> watch_peer(std::shared_ptr<EventStream> self,
                                                   boost::beast::tcp_stream& stream);
    boost::asio::awaitable<bool> write(boost::beast::tcp_stream& stream, std::string_view bytes, bool chunked);

    // The queued events, oldest at queue_head_: a ring of its own, so that a stream with nothing
    // queued holds no memory for its queue (an event's text goes once it is written).
    std::array<std::string, capacity> queue_;
    std::size_t queue_head_ = 0;
    std::size_t queued_ = 0;
    boost::asio::steady_timer ready_;   // the writer waits here for an event or the keep-alive
    boost::asio::steady_timer room_;    // the producer waits here while the queue is full
    boost::asio::steady_timer cutoff_;  // set at the stop
    boost::asio::steady_timer joined_;  // the writer waits here for the peer watcher to finish
    std::chrono::steady_clock::time_point keep_alive_at_;
    std::chrono::milliseconds close_after_stop_;
    boost::beast::tcp_stream* writing_to_ = nullptr;  // set while write_body runs
    std::atomic<bool> gone_{false};  // written on the stream's executor only
    std::function<void()> on_gone_;
    bool ended_ = false;
    bool finished_ = false;
    bool watching_ = false;
};

// Writes an answer whose body is an event stream: the head (chunked on HTTP/1.1, with a date),
// within head_deadline or the connection fails, then the body. Returns true when the connection
// can serve another request, which is only after a HEAD request: the body of a stream is the
// last thing sent on its connection.
boost::asio::awaitable<bool> write_event_stream(boost::beast::tcp_stream& stream, Response response,
                                                bool head_request, unsigned version,
                                                std::chrono::milliseconds head_deadline);

}  // namespace korvalle::server
