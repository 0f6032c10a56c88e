// Reading an event stream of the real server as a client does: one request on its own
// connection, its body taken event by event (chunked or not), with bounded waits.
#pragma once

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

#include <poll.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace korvalle::testing {

// One event-stream request on its own connection, read event by event.
class EventReader {
public:
    EventReader(unsigned short port, const std::string& target, const std::vector<std::string>& headers = {},
                int receive_buffer = 0, const std::string& method = "GET", const std::string& version = "HTTP/1.1")
        : socket_(shared_context()) {
        socket_.open(boost::asio::ip::tcp::v4());
        if (receive_buffer > 0) socket_.set_option(boost::asio::socket_base::receive_buffer_size(receive_buffer));
        socket_.connect({boost::asio::ip::make_address("127.0.0.1"), port});
        std::string request = method + " " + target + " " + version + "\r\nhost: localhost\r\n";
        for (const auto& h : headers) request += h + "\r\n";
        boost::asio::write(socket_, boost::asio::buffer(request + "\r\n"));
    }

    // The status line and headers, as received.
    const std::string& head() {
        while (head_.empty()) {
            auto end = raw_.find("\r\n\r\n");
            if (end != std::string::npos) {
                head_ = raw_.substr(0, end + 2);
                raw_.erase(0, end + 4);
                chunked_ = head_.find("\r\ntransfer-encoding: chunked\r\n") != std::string::npos;
            } else if (!fill(std::chrono::seconds(20))) {
                ADD_FAILURE() << "no response head";
                head_ = "none";
            }
        }
        return head_;
    }

    // The next event or comment block, without its closing blank line; none once the body has
    // ended (ended_cleanly() tells whether by its last chunk).
    std::optional<std::string> next(std::chrono::milliseconds wait = std::chrono::seconds(20)) {
        head();
        while (true) {
            auto end = body_.find("\n\n");
            if (end != std::string::npos) {
                std::string block = body_.substr(0, end);
                body_.erase(0, end + 2);
                return block;
            }
            if (last_chunk_) return std::nullopt;
            if (!dechunk() && !fill(wait)) return std::nullopt;
        }
    }
    // The next block that is an event, keep-alive comments skipped.
    std::string next_event(std::chrono::milliseconds wait = std::chrono::seconds(20)) {
        while (auto block = next(wait)) {
            if (*block != ":") return *block;
        }
        ADD_FAILURE() << "the stream ended before the event came";
        return {};
    }

    bool ended_cleanly() const { return last_chunk_; }
    boost::asio::ip::tcp::socket& socket() { return socket_; }

private:
    // Reads what arrives within the wait; false on timeout or end of stream.
    bool fill(std::chrono::milliseconds wait) {
        pollfd p{socket_.native_handle(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0) return false;
        char buf[65536];
        boost::system::error_code ec;
        auto n = socket_.read_some(boost::asio::buffer(buf), ec);
        if (ec) return false;
        raw_.append(buf, n);
        return true;
    }
    // Moves complete chunks (or, unchunked, every byte) from raw_ to body_; true when it moved anything.
    bool dechunk() {
        const std::size_t before = body_.size();
        if (!chunked_) body_ += std::exchange(raw_, {});
        for (auto line = raw_.find("\r\n"); chunked_ && !last_chunk_ && line != std::string::npos;
             line = raw_.find("\r\n")) {
            const std::size_t size = std::stoul(raw_.substr(0, line), nullptr, 16);
            if (raw_.size() < line + 2 + size + 2) break;
            body_ += raw_.substr(line + 2, size);
            raw_.erase(0, line + 2 + size + 2);
            last_chunk_ = size == 0;
        }
        return body_.size() > before || last_chunk_;
    }

    // Readers only use blocking calls; one context serves them all.
    static boost::asio::io_context& shared_context() {
        static boost::asio::io_context ioc;
        return ioc;
    }

    boost::asio::ip::tcp::socket socket_;
    std::string raw_;
    std::string head_;
    std::string body_;
    bool chunked_ = true;
    bool last_chunk_ = false;
};

// "id: N\nevent: NAME\ndata: …" -> N.
inline std::string id_of(const std::string& event) { return event.substr(4, event.find('\n') - 4); }
inline std::string name_of(const std::string& event) {
    auto from = event.find("\nevent: ") + 8;
    return event.substr(from, event.find('\n', from) - from);
}
inline std::string data_of(const std::string& event) { return event.substr(event.find("\ndata: ") + 7); }

}  // namespace korvalle::testing
