#include "src/api/router.hpp"

#include "sdk/base/text.hpp"

namespace korvalle::server {

namespace {

std::vector<std::string_view> split_path(std::string_view path) {
    std::vector<std::string_view> out;
    // The path starts with '/': every segment follows one.
    path.remove_prefix(1);
    while (true) {
        auto slash = path.find('/');
        out.push_back(path.substr(0, slash));
        if (slash == std::string_view::npos) break;
        path.remove_prefix(slash + 1);
    }
    return out;
}

}  // namespace

namespace {

Response with_body(unsigned status, std::string_view content_type, std::string body) {
    Response r;
    r.status = status;
    r.headers.emplace_back("content-type", content_type);
    r.body = std::move(body);
    return r;
}

}  // namespace

Response json_response(unsigned status, std::string body) {
    return with_body(status, "application/json", std::move(body));
}

Response error_response(const error::ApiError& error) { return json_response(error.status(), error.body()); }

Response plain_text(unsigned status, std::string body) {
    return with_body(status, "text/plain; charset=utf-8", std::move(body));
}

void split_target(std::string_view target, std::string_view& path, std::string_view& query) {
    if (auto scheme = target.find("://"); scheme != std::string_view::npos && target.front() != '/') {
        auto rest = target.substr(scheme + 3);
        auto slash = rest.find_first_of("/?");
        target = slash == std::string_view::npos ? std::string_view("/") : rest.substr(slash);
        if (!target.empty() && target.front() == '?') {
            // "http://host?q": the path is "/".
            path = "/";
            query = target.substr(1);
            return;
        }
    }
    auto q = target.find('?');
    path = target.substr(0, q);
    query = q == std::string_view::npos ? std::string_view{} : target.substr(q + 1);
}

Router& Router::get(std::string_view pattern, Handler handler) {
    Route route{{}, handler};
    for (auto part : split_path(pattern)) {
        bool param = part.size() >= 2 && part.front() == '{' && part.back() == '}';
        route.segments.push_back(
            {std::string(param ? part.substr(1, part.size() - 2) : part), param});
    }
    routes_.push_back(std::move(route));
    return *this;
}

const Router::Route* Router::match(std::string_view path, std::vector<std::string_view>& raw_params) const {
    if (path.empty() || path.front() != '/') return nullptr;
    auto parts = split_path(path);
    for (const auto& route : routes_) {
        if (route.segments.size() != parts.size()) continue;
        raw_params.clear();
        bool ok = true;
        for (std::size_t i = 0; ok && i < parts.size(); ++i) {
            const auto& seg = route.segments[i];
            if (seg.is_param) {
                ok = !parts[i].empty();
                raw_params.push_back(parts[i]);
            } else {
                ok = parts[i] == seg.text;
            }
        }
        if (ok) return &route;
    }
    return nullptr;
}

std::variant<Response, Resolved> Router::resolve(RequestHead head) const {
    std::string_view path;
    std::string_view query;
    split_target(head.target, path, query);
    std::vector<std::string_view> raw;
    const Route* route = match(path, raw);
    if (route == nullptr) return error_response(error::ApiError::no_such_route());
    if (head.method != "GET" && head.method != "HEAD") {
        Response r;
        r.status = 405;
        r.headers.emplace_back("allow", "GET,HEAD");
        return r;
    }
    Resolved resolved{route->handler, {}};
    std::size_t param_index = 0;
    for (const auto& seg : route->segments) {
        if (!seg.is_param) continue;
        std::string decoded = percent_decode(raw[param_index++]);
        if (!text::is_utf8(decoded)) return plain_text(400, "Invalid URL: Invalid UTF-8 in `" + seg.text + "`");
        resolved.input.params.push_back(std::move(decoded));
    }
    resolved.input.query = decode_query(query);
    resolved.input.head = std::move(head);
    return resolved;
}

boost::asio::awaitable<Response> Router::respond(RequestHead head) const {
    auto resolved = resolve(std::move(head));
    if (auto* answer = std::get_if<Response>(&resolved)) co_return std::move(*answer);
    Resolved& matched = std::get<Resolved>(resolved);
    co_return co_await matched.handler(state_, std::move(matched.input));
}

}  // namespace korvalle::server
