#include "src/http/server.hpp"

#include "src/http/event_stream.hpp"
#include "src/http/pace.hpp"
#include "src/http/request_rules.hpp"

#include "sdk/base/clock.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/buffer_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/serializer.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/optional/optional.hpp>

#include <fcntl.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>
#include <tuple>

namespace korvalle::server {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using asio::ip::tcp;
using namespace asio::experimental::awaitable_operators;

namespace {

constexpr auto use_tuple = asio::as_tuple(asio::use_awaitable);

// Room for the bytes a connection reads only to drop them (a request body, the rest of a refused
// request). Taken while they come and given back after, so an idle connection holds none.
constexpr std::size_t scratch_size = 16 * 1024;

void set_cloexec(int fd) {
    int flags = ::fcntl(fd, F_GETFD);
    if (flags >= 0) ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

// Accept failures that concern one connection only: try again at once.
bool is_connection_error(const boost::system::error_code& ec) {
    return ec == asio::error::connection_aborted || ec == asio::error::connection_reset ||
           ec == asio::error::connection_refused || ec == asio::error::timed_out ||
           ec == asio::error::interrupted || ec == asio::error::try_again;
}

// An address that cannot be learnt is guarded as a loopback one: refusing foreign names is the
// safe side.
bool bound_to_loopback(const tcp::acceptor& acceptor) {
    boost::system::error_code ec;
    const auto local = acceptor.local_endpoint(ec);
    return ec || is_loopback(local.address());
}

Response status_only(unsigned status) {
    Response r;
    r.status = status;
    return r;
}

// A body of several texts, handed to the socket as one buffer sequence behind the head, so the
// head and every fragment leave in one gathered write and no fragment is copied to join another.
struct FragmentsBody {
    struct value_type {
        std::string first;
        text::Fragments more;
    };

    static std::uint64_t size(const value_type& body) {
        std::uint64_t size = body.first.size();
        for (const auto& fragment : body.more) size += fragment.size();
        return size;
    }

    class writer {
    public:
        using const_buffers_type = std::vector<asio::const_buffer>;

        template <bool isRequest, class Fields>
        writer(const http::header<isRequest, Fields>&, const value_type& body) : body_(body) {}

        void init(boost::system::error_code& ec) { ec = {}; }

        boost::optional<std::pair<const_buffers_type, bool>> get(boost::system::error_code& ec) {
            ec = {};
            if (done_ || size(body_) == 0) return boost::none;
            done_ = true;
            const_buffers_type buffers;
            buffers.reserve(1 + body_.more.size());
            auto add = [&](std::string_view fragment) {
                if (!fragment.empty()) buffers.emplace_back(fragment.data(), fragment.size());
            };
            add(body_.first);
            for (const auto& fragment : body_.more) add(fragment.bytes);
            return std::make_pair(std::move(buffers), false);
        }

    private:
        const value_type& body_;
        bool done_ = false;
    };
};

// The answer as it goes on the wire: content-length and date added, and for HEAD the
// content-length of the body that is not sent. The body's texts are moved, never copied.
http::response<FragmentsBody> wire_response(Response& response, bool head_request, unsigned version,
                                             bool keep_alive) {
    http::response<FragmentsBody> out;
    out.version(version);
    out.result(response.status);
    for (auto& [name, value] : response.headers) out.set(name, value);
    out.set("content-length", std::to_string(response.body_size()));
    if (!keep_alive && version >= 11) out.set("connection", "close");
    if (keep_alive && version < 11) out.set("connection", "keep-alive");
    out.set("date", clock::http_date());
    if (!head_request) out.body() = {std::move(response.body), std::move(response.more)};
    return out;
}

}  // namespace

// One accepted connection.
class Session : public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket socket, std::shared_ptr<HttpServer> server)
        : stream_(std::move(socket)), server_(std::move(server)) {}
    ~Session() { server_->session_ended(this); }

    static asio::awaitable<void> run(std::shared_ptr<Session> self);
    auto get_executor() { return stream_.get_executor(); }

    // At the stop: an idle connection closes now; a busy one closes after its answer.
    void graceful() {
        asio::post(stream_.get_executor(), [self = shared_from_this()] {
            if (self->idle_) self->stream_.socket().close();
            else if (self->events_) self->events_->drain();
        });
    }

private:
    asio::awaitable<bool> read_request(RequestHead& head, bool& keep_alive, unsigned& version);
    asio::awaitable<boost::system::error_code> discard_body(http::request_parser<http::buffer_body>& parser);
    asio::awaitable<boost::system::error_code> continue_if_expected(const http::request_parser<http::buffer_body>& parser);
    asio::awaitable<boost::system::error_code> send(Response response, bool head_request, unsigned version,
                                                    bool keep_alive);
    asio::awaitable<void> drain_refused_input();

    beast::tcp_stream stream_;
    std::shared_ptr<HttpServer> server_;
    beast::flat_buffer buffer_;  // grows while a head is read, then shrinks to what came after it
    std::shared_ptr<EventStream> events_;  // the answer being streamed, if any
    bool idle_ = true;
    bool refused_ = false;  // a malformed request was refused and the refusal was written
};

// Writes the answer as far as the socket takes it and, while the socket is full, waits for room
// but looks at the reader's credit (pace.hpp) at short intervals: a peer that reads a little frees
// room in the kernel without the socket counting as writable again. A slow reader is served,
// while a client that stopped reading, or takes too little of a large answer, cannot hold the
// connection (and the stop, and the answer's memory) for long.
asio::awaitable<boost::system::error_code> Session::send(Response response, bool head_request, unsigned version,
                                                         bool keep_alive) {
    // Released only once the answer is written or the write has failed.
    const std::shared_ptr<void> hold = std::move(response.hold);
    auto wire = wire_response(response, head_request, version, keep_alive);
    http::response_serializer<FragmentsBody> serializer(wire);
    auto& socket = stream_.socket();
    std::uint64_t written = 0;
    std::optional<Pace> pace;  // from the moment the socket first fills
    std::optional<asio::steady_timer> look_again;
    boost::system::error_code ec;
    while (!serializer.is_done()) {
        // The socket does not block (see accept_loop): this writes what fits now.
        written += http::write_some(socket, serializer, ec);
        if (ec != asio::error::would_block) {
            if (ec) break;
            continue;
        }
        ec = {};
        const auto now = std::chrono::steady_clock::now();
        if (!pace) {
            const auto& limits = server_->limits();
            pace.emplace(socket.native_handle(), FragmentsBody::size(wire.body()), limits.answer_pace_bytes,
                         limits.write_stall_timeout, written, now);
            look_again.emplace(socket.get_executor());
        } else if (pace->spent(written, now)) {
            ec = asio::error::timed_out;
            break;
        }
        look_again->expires_after(pace->between_looks());
        // A failed socket shows as writable; the next write then says why.
        co_await (socket.async_wait(tcp::socket::wait_write, use_tuple) || look_again->async_wait(use_tuple));
    }
    co_return ec;
}

// A client that sent "Expect: 100-continue" waits for leave to send its body: give it at once,
// since the body is read (and dropped) whatever the request is.
asio::awaitable<boost::system::error_code> Session::continue_if_expected(
    const http::request_parser<http::buffer_body>& parser) {
    const auto& req = parser.get();
    if (parser.is_done() || req.version() < 11 || !beast::iequals(req[http::field::expect], "100-continue")) {
        co_return boost::system::error_code{};
    }
    static constexpr std::string_view interim = "HTTP/1.1 100 Continue\r\n\r\n";
    auto [ec, n] = co_await asio::async_write(stream_, asio::buffer(interim), use_tuple);
    co_return ec;
}

// Reads the request's body, if any, into scratch space and drops it. Body bytes leave the
// read buffer as they are parsed; what stays is at most one chunk-size line or the trailers, so
// capping the buffer bounds those framing lines (an overflow is refused with 400).
asio::awaitable<boost::system::error_code> Session::discard_body(http::request_parser<http::buffer_body>& parser) {
    if (parser.is_done()) co_return boost::system::error_code{};
    const std::size_t framing_limit = server_->limits().framing_line_limit;
    const auto scratch = std::make_unique_for_overwrite<char[]>(scratch_size);
    boost::system::error_code ec;
    while (!ec && !parser.is_done()) {
        // The cap never goes below what the buffer already holds (bytes read with the head).
        buffer_.max_size(std::max(buffer_.size(), framing_limit));
        parser.get().body().data = scratch.get();
        parser.get().body().size = scratch_size;
        std::tie(ec, std::ignore) = co_await http::async_read(stream_, buffer_, parser, use_tuple);
        if (ec == http::error::need_buffer) ec = {};
    }
    buffer_.max_size(std::numeric_limits<std::size_t>::max());
    co_return ec;
}

// Reads one request head and discards its body. Returns false when the connection must end
// (after answering 400 or 431 where the request was malformed or its head too large, or the
// refusal of request_rules.hpp, which comes before any of the body is read). The head and the
// body share one deadline, so a body that never comes cannot hold the connection.
asio::awaitable<bool> Session::read_request(RequestHead& head, bool& keep_alive, unsigned& version) {
    http::request_parser<http::buffer_body> parser;
    parser.header_limit(static_cast<std::uint32_t>(server_->limits().header_limit));
    parser.body_limit(boost::none);

    stream_.expires_after(server_->limits().head_timeout);
    auto [ec, n] = co_await http::async_read_header(stream_, buffer_, parser, use_tuple);
    std::optional<Response> refused;
    if (!ec) refused = refusal(parser.get(), server_->loopback_);
    if (!ec && !refused) ec = co_await continue_if_expected(parser);
    if (!ec && !refused) ec = co_await discard_body(parser);
    stream_.expires_never();
    if (refused) {
        const bool head_request = parser.get().method() == http::verb::head;
        refused_ = !co_await send(std::move(*refused), head_request, 11, false);
        co_return false;
    }
    if (ec) {
        if (ec == http::error::header_limit) {
            refused_ = !co_await send(status_only(431), false, 11, false);
        } else if (ec.category() == http::make_error_code(http::error::bad_method).category() &&
                   ec != http::error::end_of_stream && ec != http::error::partial_message) {
            refused_ = !co_await send(status_only(400), false, 11, false);
        }
        co_return false;
    }
    auto& req = parser.get();
    head.method = std::string(req.method_string());
    head.target = std::string(req.target());
    head.fields = static_cast<const http::fields&>(req);
    keep_alive = req.keep_alive();
    version = req.version();
    co_return true;
}

// The client may still be sending the rest of what was refused. Closing with unread input
// would reset the connection and could destroy the answer before the client reads it, so stop
// sending and drain the input for a moment first.
asio::awaitable<void> Session::drain_refused_input() {
    boost::system::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream_.expires_after(std::chrono::seconds(2));
    const auto scratch = std::make_unique_for_overwrite<char[]>(scratch_size);
    while (true) {
        auto [ec, n] = co_await stream_.async_read_some(asio::buffer(scratch.get(), scratch_size), use_tuple);
        if (ec) break;
    }
}

// Serves requests until the client leaves, a request is refused, an answer asks to close, the
// stop begins, or any read or write fails: the connection then closes at once.
asio::awaitable<void> Session::run(std::shared_ptr<Session> self) {
    while (!self->server_->draining()) {
        self->idle_ = true;
        RequestHead head;
        bool keep_alive = false;
        unsigned version = 11;
        if (!co_await self->read_request(head, keep_alive, version)) break;
        self->idle_ = false;
        // The read buffer grew to the head's size; keep only what the client sent ahead (the next
        // request), so that a connection that waits, or holds a stream, keeps no room it does not use.
        self->buffer_.shrink_to_fit();
        bool head_request = head.method == "HEAD";
        Response response = co_await self->server_->responder().respond(std::move(head));
        if (response.events) {
            self->events_ = response.events;
            if (self->server_->draining()) self->events_->drain();
            bool go_on = co_await write_event_stream(self->stream_, std::move(response), head_request, version,
                                                     self->server_->limits().write_stall_timeout);
            self->events_.reset();
            if (!go_on || !keep_alive || self->server_->draining()) break;
            continue;
        }
        keep_alive = keep_alive && !response.close && !self->server_->draining();
        if (co_await self->send(std::move(response), head_request, version, keep_alive)) break;
        if (!keep_alive) break;
    }
    if (self->refused_) co_await self->drain_refused_input();
    boost::system::error_code ignored;
    self->stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    self->stream_.socket().close(ignored);
}

HttpServer::HttpServer(asio::io_context& ioc, tcp::acceptor acceptor, std::shared_ptr<const Responder> responder,
                       HttpLimits limits)
    : ioc_(ioc),
      acceptor_(std::move(acceptor)),
      responder_(std::move(responder)),
      limits_(limits),
      loopback_(bound_to_loopback(acceptor_)) {}

void HttpServer::start() {
    asio::co_spawn(acceptor_.get_executor(), accept_loop(shared_from_this()), asio::detached);
}

asio::awaitable<void> HttpServer::accept_loop(std::shared_ptr<HttpServer> self) {
    while (true) {
        tcp::socket socket(asio::make_strand(self->ioc_));
        auto [ec] = co_await self->acceptor_.async_accept(socket, use_tuple);
        if (self->draining() || !self->acceptor_.is_open()) break;
        if (ec) {
            if (is_connection_error(ec)) continue;
            // Out of descriptors or memory: wait a moment rather than spin.
            asio::steady_timer pause(self->acceptor_.get_executor(), std::chrono::seconds(1));
            co_await pause.async_wait(use_tuple);
            continue;
        }
        set_cloexec(socket.native_handle());
        boost::system::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        // Answers are written by hand, as far as the socket takes them (Session::send);
        // asynchronous operations are not affected.
        socket.non_blocking(true, ignored);
        auto session = std::make_shared<Session>(std::move(socket), self);
        self->session_started(session);
        asio::co_spawn(session->get_executor(), Session::run(session), asio::detached);
    }
}

void HttpServer::session_started(const std::shared_ptr<Session>& session) {
    sync::Lock lock(mutex_);
    sessions_.emplace(session.get(), session);
}

void HttpServer::session_ended(Session* session) {
    sync::Lock lock(mutex_);
    sessions_.erase(session);
    notify_if_drained_locked();
}

void HttpServer::notify_if_drained_locked() {
    if (draining() && sessions_.empty() && !drained_set_) {
        drained_set_ = true;
        drained_.notify_all();
    }
}

void HttpServer::begin_drain() {
    if (draining_.exchange(true, std::memory_order_acq_rel)) return;
    asio::post(acceptor_.get_executor(), [self = shared_from_this()] {
        boost::system::error_code ignored;
        self->acceptor_.close(ignored);
    });
    std::vector<std::shared_ptr<Session>> open;
    {
        sync::Lock lock(mutex_);
        for (auto& [ptr, weak] : sessions_) {
            if (auto session = weak.lock()) open.push_back(std::move(session));
        }
    }
    for (auto& session : open) session->graceful();
    open.clear();
    sync::Lock lock(mutex_);
    notify_if_drained_locked();
}

// On a condition variable rather than a future: a future waits in a bare futex call, and a stop
// signal that reaches this thread while it waits there is never handled under a runtime (such as
// ThreadSanitizer's) that defers signals until the thread's next library call.
void HttpServer::wait_drained() {
    sync::Lock lock(mutex_);
    while (!drained_set_) lock.wait(drained_);
}

}  // namespace korvalle::server
