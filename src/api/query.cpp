#include "src/api/query.hpp"

#include "sdk/base/text.hpp"
#include "src/contract/contract.hpp"

#include <algorithm>

namespace korvalle::server {

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string decode_component(std::string_view text, bool plus_is_blank) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '+' && plus_is_blank) {
            out += ' ';
        } else if (c == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 && hex_value(text[i + 2]) >= 0) {
            out += static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

std::string percent_decode(std::string_view segment) { return decode_component(segment, false); }

QueryMap decode_query(std::string_view query) {
    QueryMap map;
    while (!query.empty()) {
        auto amp = query.find('&');
        std::string_view item = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view{} : query.substr(amp + 1);
        if (item.empty()) continue;
        auto eq = item.find('=');
        std::string_view key = item.substr(0, eq);
        std::string_view value = eq == std::string_view::npos ? std::string_view{} : item.substr(eq + 1);
        map.insert_or_assign(text::lossy_utf8(decode_component(key, true)),
                             text::lossy_utf8(decode_component(value, true)));
    }
    return map;
}

Result<bool, error::ApiError> flag(const QueryMap& query, std::string_view key, bool default_value) {
    auto it = query.find(std::string(key));
    if (it == query.end()) return default_value;
    if (it->second == "true") return true;
    if (it->second == "false") return false;
    return error::ApiError::invalid_request(std::string(key) + " must be true or false, got " +
                                            text::debug_quote(it->second));
}

Result<store::RunsQuery, error::ApiError> runs_query(const QueryMap& query) {
    store::RunsQuery out;
    if (auto it = query.find("limit"); it != query.end()) {
        const Result<std::uint64_t> parsed = text::parse_u64(it->second);
        if (parsed) {
            out.limit = std::clamp<std::uint64_t>(*parsed, 1, store::max_page);
        } else {
            return error::ApiError::invalid_request("limit must be a whole number, got " +
                                                    text::debug_quote(it->second));
        }
    }
    if (auto it = query.find("cursor"); it != query.end()) {
        const Result<void> valid = contract::validate_run_id(it->second);
        if (!valid) return error::ApiError::invalid_run_id(message(valid.error()));
        out.cursor = it->second;
    }
    auto settled = flag(query, "include_settled", false);
    if (!settled) return std::move(settled).error();
    out.include_settled = *settled;
    return out;
}

Result<contract::RunId, error::ApiError> path_id(std::string_view text,
                                                 error::ApiError (*refuse)(std::string phrase)) {
    const Result<void> valid = contract::validate_run_id(text);
    if (!valid) return refuse(message(valid.error()));
    return *contract::RunId::make(text);
}

namespace {

std::optional<std::uint64_t> number_or_absent(std::string_view text) {
    const Result<std::uint64_t> parsed = text::parse_u64(text);
    if (!parsed) return std::nullopt;
    return *parsed;
}

bool is_header_text(std::string_view value) {
    return std::all_of(value.begin(), value.end(), [](char c) {
        auto b = static_cast<unsigned char>(c);
        return b == '\t' || (b >= 32 && b <= 126);
    });
}

}  // namespace

Result<store::EventsQuery, error::ApiError> events_query(const QueryMap& query,
                                                         const boost::beast::http::fields& headers) {
    store::EventsQuery out;
    if (auto it = query.find("run_id"); it != query.end()) {
        const Result<void> valid = contract::validate_run_id(it->second);
        if (!valid) return error::ApiError::invalid_run_id(message(valid.error()));
        out.run_id = it->second;
    }
    // The query's "after" alone decides when it is there, even when it is not a number.
    if (auto it = query.find("after"); it != query.end()) {
        out.after = number_or_absent(it->second);
    } else if (auto header = headers.find("last-event-id"); header != headers.end()) {
        if (is_header_text(header->value())) out.after = number_or_absent(header->value());
    }
    return out;
}

Result<store::TimelineScope, error::ApiError> timeline_query(const QueryMap& query) {
    auto scope = query.find("scope");
    const std::string_view word = scope == query.end() ? std::string_view{} : std::string_view(scope->second);
    auto node = query.find("node");
    if (word == "run") {
        // Even an empty node value is a node given.
        if (node != query.end()) {
            return error::ApiError::invalid_node_id("scope=run covers the whole run and takes no node");
        }
        return store::TimelineScope{};
    }
    if (word == "node") {
        if (node == query.end()) return error::ApiError::invalid_node_id("scope=node needs the node it scopes to");
        const Result<void> valid = contract::validate_run_id(node->second);
        if (!valid) return error::ApiError::invalid_node_id(message(valid.error()));
        return store::TimelineScope{node->second};
    }
    return error::ApiError::invalid_request("scope must be run or node, got " + text::debug_quote(word));
}

}  // namespace korvalle::server
