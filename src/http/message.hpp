// What the HTTP layer hands to the application and takes back: the request head, the complete
// answer, and the one interface that turns the first into the second.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/beast/http/fields.hpp>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvalle::server {

class EventStream;

// One text of a body after the first: the answer's own, or the tail of a text that other
// answers send too (a run-list page made once for every request of its walk), from `from` on,
// which the piece keeps alive. Either way it is sent from where it lies.
class BodyPiece {
public:
    BodyPiece(std::string own) : own_(std::move(own)) {}
    BodyPiece(std::shared_ptr<const std::string> shared, std::size_t from)
        : shared_(std::move(shared)), from_(from) {}

    std::string_view text() const {
        return shared_ ? std::string_view(*shared_).substr(from_) : std::string_view(own_);
    }
    std::size_t size() const { return text().size(); }

private:
    std::string own_;
    std::shared_ptr<const std::string> shared_;
    std::size_t from_ = 0;
};

// A complete answer. Header names are lower case; content-length (of every piece of the body)
// and date are added when the answer is written. An answer with events has no body of its own:
// the event stream is its body (event_stream.hpp).
//
// The body is `body` followed by each text of `more`, sent in one gathered write: a large text
// goes out from where it was made, never copied behind a small one that leads it, and a text
// shared by many answers is never copied into each. `hold` is kept
// alive until the last byte of the answer is written or the connection ends (a share of a
// memory budget, say); the HTTP layer never looks inside it.
struct Response {
    unsigned status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    // "{}": an answer written {status, headers, body} may leave the members below out.
    std::shared_ptr<EventStream> events{};
    std::vector<BodyPiece> more{};
    std::shared_ptr<void> hold{};

    // The bytes of the whole body.
    std::size_t body_size() const {
        std::size_t size = body.size();
        for (const auto& piece : more) size += piece.size();
        return size;
    }
};

// A request as the router sees it: the method as sent, the raw target and the header fields.
// Bodies never reach the router: they are read and discarded.
struct RequestHead {
    std::string method;
    std::string target;
    boost::beast::http::fields fields;
};

// Answers one request. Implemented by the router.
class Responder {
public:
    virtual ~Responder() = default;
    virtual boost::asio::awaitable<Response> respond(RequestHead head) const = 0;
};

}  // namespace korvalle::server
