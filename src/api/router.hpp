// The route table: paths matched on the raw request target, GET routes that also answer HEAD,
// 405 for other methods on a known path, and the no_such_route fallback for every other path.
#pragma once

#include "src/http/message.hpp"
#include "src/api/query.hpp"

#include <boost/asio/awaitable.hpp>

#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace korvalle::server {

struct Serving;

// What a route handler receives: its path parameters percent-decoded (valid UTF-8, in path
// order), the decoded query and the request head.
struct RouteInput {
    std::vector<std::string> params;
    QueryMap query;
    RequestHead head;
};

using Handler = boost::asio::awaitable<Response> (*)(std::shared_ptr<const Serving> state, RouteInput input);

// A request the router has matched to a route, with the handler's input decoded.
struct Resolved {
    Handler handler;
    RouteInput input;
};

class Router : public Responder {
public:
    explicit Router(std::shared_ptr<const Serving> state) : state_(std::move(state)) {}

    // Adds a GET route. The pattern is matched segment by segment: "{name}" matches exactly one
    // non-empty segment, anything else matches literally (case and trailing slash included).
    Router& get(std::string_view pattern, Handler handler);

    boost::asio::awaitable<Response> respond(RequestHead head) const override;

    // Everything the router decides before a handler runs: its own answer (404 no_such_route,
    // 405, the plain-text 400 for a parameter that is not UTF-8), or the matched route.
    std::variant<Response, Resolved> resolve(RequestHead head) const;

private:
    struct Segment {
        std::string text;
        bool is_param;
    };
    struct Route {
        std::vector<Segment> segments;
        Handler handler;
    };

    // The route whose pattern matches the raw path, with the raw parameter texts.
    const Route* match(std::string_view path, std::vector<std::string_view>& raw_params) const;

    std::shared_ptr<const Serving> state_;
    std::vector<Route> routes_;
};

// Splits a request target into its path and query: the origin form "/p?q" and the absolute form
// "http://host/p?q" (scheme and authority dropped). The query is empty when there is no '?'.
void split_target(std::string_view target, std::string_view& path, std::string_view& query);

// Common answers.
Response json_response(unsigned status, std::string body);
Response error_response(const error::ApiError& error);
Response plain_text(unsigned status, std::string body);

}  // namespace korvalle::server
