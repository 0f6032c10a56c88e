#include "src/http/event_stream.hpp"

#include "sdk/base/clock.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/serializer.hpp>
#include <boost/beast/http/write.hpp>

#include <array>
#include <cstdio>
#include <utility>

namespace korvalle::server {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;

namespace {

constexpr auto use_tuple = asio::as_tuple(asio::use_awaitable);

// Arms a timer that only a cancel() ends: the wake-up of a waiter on the same strand.
void wait_forever(asio::steady_timer& timer) { timer.expires_at(asio::steady_timer::time_point::max()); }

}  // namespace

EventStream::EventStream(asio::any_io_executor executor, std::chrono::milliseconds close_after_stop)
    : ready_(executor),
      room_(executor),
      cutoff_(executor),
      joined_(executor),
      keep_alive_at_(std::chrono::steady_clock::now() + keep_alive_after),
      close_after_stop_(close_after_stop) {}

asio::awaitable<bool> EventStream::send(std::string_view id, std::string_view name, std::string_view data) {
    std::string event;
    event.reserve(id.size() + name.size() + data.size() + 24);
    event.append("id: ").append(id).append("\nevent: ").append(name).append("\ndata: ").append(data).append("\n\n");
    while (!gone_ && queued_ >= capacity) {
        wait_forever(room_);
        co_await room_.async_wait(use_tuple);
    }
    if (gone_) co_return false;
    queue_[(queue_head_ + queued_++) % capacity] = std::move(event);
    ready_.cancel();
    co_return true;
}

void EventStream::end() {
    ended_ = true;
    ready_.cancel();
}

void EventStream::on_gone(std::function<void()> tell) {
    on_gone_ = std::move(tell);
    if (gone_ && on_gone_) std::exchange(on_gone_, nullptr)();
}

void EventStream::release() {
    if (gone_) return;
    gone_ = true;
    queue_ = {};
    queued_ = 0;
    ready_.cancel();
    room_.cancel();
    boost::system::error_code ignored;
    if (writing_to_ != nullptr) writing_to_->socket().cancel(ignored);
    if (on_gone_) std::exchange(on_gone_, nullptr)();
}

void EventStream::drain() {
    cutoff_.expires_after(close_after_stop_);
    cutoff_.async_wait([self = shared_from_this()](const boost::system::error_code& ec) {
        if (!ec && !self->finished_) self->release();
    });
}

asio::awaitable<bool> EventStream::write(beast::tcp_stream& stream, std::string_view bytes, bool chunked) {
    // A chunk goes out as its size line, the bytes and its end, gathered: the event is not copied.
    std::array<char, 24> size_line{};
    int size_length = 0;
    if (chunked) size_length = std::snprintf(size_line.data(), size_line.size(), "%zx\r\n", bytes.size());
    const std::array<asio::const_buffer, 3> wire{asio::buffer(size_line.data(), static_cast<std::size_t>(size_length)),
                                                  asio::buffer(bytes), asio::buffer("\r\n", chunked ? 2 : 0)};
    auto [ec, n] = co_await asio::async_write(stream, wire, use_tuple);
    keep_alive_at_ = std::chrono::steady_clock::now() + keep_alive_after;
    co_return !ec;
}

// Reads from the socket itself: the watcher needs no deadline, so it need not carry the
// connection's timed read. What it reads is dropped; a client sends nothing on a stream as a
// rule, so a few bytes of room are enough to see it leave.
asio::awaitable<void> EventStream::watch_peer(std::shared_ptr<EventStream> self, beast::tcp_stream& stream) {
    std::array<char, 64> ignored{};
    while (true) {
        auto [ec, n] = co_await stream.socket().async_read_some(asio::buffer(ignored), use_tuple);
        if (ec) break;
    }
    self->release();
    self->watching_ = false;
    self->joined_.cancel();
}

asio::awaitable<void> EventStream::write_body(beast::tcp_stream& stream, bool chunked) {
    writing_to_ = &stream;
    watching_ = true;
    asio::co_spawn(co_await asio::this_coro::executor, watch_peer(shared_from_this(), stream), asio::detached);
    while (!gone_) {
        if (queued_ > 0) {
            std::string event = std::move(queue_[queue_head_]);
            queue_head_ = (queue_head_ + 1) % capacity;
            --queued_;
            room_.cancel();
            if (!co_await write(stream, event, chunked)) release();
            continue;
        }
        if (ended_) {
            if (chunked && !co_await write(stream, "", true)) release();  // the empty last chunk
            break;
        }
        ready_.expires_at(keep_alive_at_);
        auto [ec] = co_await ready_.async_wait(use_tuple);
        // A cancelled wait means an event, the end or the client's departure: look again.
        if (!ec && !gone_ && queued_ == 0 && !ended_ && !co_await write(stream, ":\n\n", chunked)) release();
    }
    finished_ = true;
    cutoff_.cancel();
    // The watcher reads from the connection: it must be done before the connection goes on.
    boost::system::error_code ignored;
    stream.socket().cancel(ignored);
    while (watching_) {
        wait_forever(joined_);
        co_await joined_.async_wait(use_tuple);
    }
    writing_to_ = nullptr;
}

namespace {

// The answer's head, written by a coroutine of its own so that the head and its serializer are
// gone before the body, which lasts as long as the client stays, begins. The head may find the
// socket full of earlier answers a client never read; the stop cannot reach a stream before its
// body, so the head has a deadline of its own.
asio::awaitable<boost::system::error_code> write_head(beast::tcp_stream& stream, Response response, unsigned version,
                                                      std::chrono::milliseconds deadline) {
    http::response<http::empty_body> head;
    head.version(version);
    head.result(response.status);
    for (auto& [name, value] : response.headers) head.set(name, value);
    if (version >= 11) head.set("transfer-encoding", "chunked");
    head.set("date", clock::http_date());
    stream.expires_after(deadline);
    http::response_serializer<http::empty_body> serializer(head);
    auto [ec, n] = co_await http::async_write_header(stream, serializer, use_tuple);
    stream.expires_never();
    co_return ec;
}

}  // namespace

asio::awaitable<bool> write_event_stream(beast::tcp_stream& stream, Response response, bool head_request,
                                         unsigned version, std::chrono::milliseconds head_deadline) {
    auto events = std::move(response.events);
    const boost::system::error_code ec = co_await write_head(stream, std::move(response), version, head_deadline);
    if (ec || head_request) {
        events->release();
        co_return !ec;
    }
    co_await events->write_body(stream, version >= 11);
    co_return false;
}

}  // namespace korvalle::server
