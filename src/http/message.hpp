// What the HTTP layer hands to the application and takes back: the request head, the complete
// answer, and the one interface that turns the first into the second.
#pragma once

#include "sdk/base/fragments.hpp"

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

// A complete answer. Header names are lower case; content-length (of every fragment of the body)
// and date are added when the answer is written. An answer with events has no body of its own:
// the event stream is its body (event_stream.hpp).
//
// The body is `body` followed by each fragment of `more`, sent in one gathered write: a large text
// goes out from where it was made (or is kept, shared by several answers), never copied behind
// a small one that leads it; each fragment holds its bytes alive. `hold` is kept alive until the
// last byte of the answer is written or the connection ends (a share of a memory budget, say);
// the HTTP layer never looks inside it.
struct Response {
    unsigned status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    // "{}": an answer written {status, headers, body} may leave the members below out.
    std::shared_ptr<EventStream> events{};
    text::Fragments more{};
    std::shared_ptr<void> hold{};
    // The connection ends once this answer is written, whatever the request asked.
    bool close = false;

    // The bytes of the whole body.
    std::size_t body_size() const {
        std::size_t size = body.size();
        for (const auto& fragment : more) size += fragment.size();
        return size;
    }
};

// The server's answer to a request it cannot take on now (the room for large answers and the
// queue before it are full, or the server is stopping): 503 with a one-line text body, a hint to
// come back, and the connection closed after it. Not an API error: it comes from the server, as
// its refusals of malformed requests do.
inline Response busy_answer() {
    Response answer{503,
                    {{"content-type", "text/plain; charset=utf-8"}, {"retry-after", "5"}},
                    "korvalle-api is busy: try again in a few seconds\n"};
    answer.close = true;
    return answer;
}

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
