// Fuzzes a request's way through the router, in process: any method byte and target give one
// of the router's answers (404, 405, the plain-text 400) or a matched route, never a crash.
// Path parameters reach the route percent-decoded and valid UTF-8, query texts are valid UTF-8,
// and the identifier rule and the run list's query rule keep their promises on whatever comes.
#include "sdk/base/json_read.hpp"
#include "sdk/base/text.hpp"
#include "src/contract/contract.hpp"
#include "src/api/query.hpp"
#include "src/api/router.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using namespace korvalle;

void check(bool holds) {
    if (!holds) std::abort();
}

bool id_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
           c == '.';
}

// A text the rule passes is 1 to 128 id characters, not starting with '.'; a refusal is a
// phrase beginning "must".
void check_identifier(std::string_view text) {
    const korvalle::Result<void> valid = contract::validate_run_id(text);
    if (!valid) {
        check(korvalle::message(valid.error()).rfind("must ", 0) == 0);
        check(!contract::RunId::make(text));
        return;
    }
    check(!text.empty() && text.size() <= contract::max_id_bytes && text.front() != '.');
    for (char c : text) check(id_char(c));
    check(contract::RunId::make(text)->str() == text);
}

void check_error_body(const error::ApiError& error) {
    check(error.status() == 422);
    check(json::parse(error.body()).ok());
}

// What every document handler checks first: the path ids by the identifier rule, then the
// query rules over the decoded map.
void check_route_input(const server::RouteInput& input) {
    for (const auto& param : input.params) {
        check(!param.empty() && text::is_utf8(param));
        check_identifier(param);
    }
    for (const auto& [key, value] : input.query) check(text::is_utf8(key) && text::is_utf8(value));
    auto runs = server::runs_query(input.query);
    if (runs) {
        check(runs->limit >= 1 && runs->limit <= store::max_page);
        if (runs->cursor) check_identifier(*runs->cursor);
    } else {
        check_error_body(runs.error());
    }
    auto flag = server::flag(input.query, "include_conversations", true);
    if (!flag) check_error_body(flag.error());
}

// The route table's paths; the handlers are never run here.
const server::Router& router() {
    static const server::Router* table = [] {
        auto* r = new server::Router(nullptr);
        for (auto path : {"/healthz", "/api/v2/runs", "/api/v2/runs/{run}", "/api/v2/runs/{run}/timeline",
                          "/api/v2/runs/{run}/conversations/{id}", "/api/v2/runs/{run}/artifacts/{id}",
                          "/api/v2/events"}) {
            r->get(path, nullptr);
        }
        return r;
    }();
    return *table;
}

}  // namespace

// The first byte picks the method, the rest is the request target as sent.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    static const char* const methods[] = {"GET", "HEAD", "POST", "get"};
    std::string method = methods[data[0] % 4];
    std::string target(reinterpret_cast<const char*>(data + 1), size - 1);

    auto resolved = router().resolve(server::RequestHead{method, target, {}});
    if (auto* matched = std::get_if<server::Resolved>(&resolved)) {
        check(method == "GET" || method == "HEAD");
        check_route_input(matched->input);
    } else {
        const auto& answer = std::get<server::Response>(resolved);
        switch (answer.status) {
        case 404: check(answer.body == error::ApiError::no_such_route().body()); break;
        case 405: check(method != "GET" && method != "HEAD" && answer.body.empty()); break;
        case 400: check(answer.body.rfind("Invalid URL: Invalid UTF-8 in `", 0) == 0); break;
        default: check(false);
        }
    }

    // Query decoding on its own never fails and always gives UTF-8.
    for (const auto& [key, value] : server::decode_query(target)) check(text::is_utf8(key) && text::is_utf8(value));
    return 0;
}
