#include "src/contract/error.hpp"

#include "sdk/base/json_write.hpp"

#include <array>

namespace korvalle::error {

namespace {

struct KindInfo {
    std::string_view code;
    unsigned status;
    std::string_view prefix;  // the message up to its placeholder, which always ends it
};

constexpr std::array<KindInfo, 12> kinds{{
    {"no_such_route", 404, "no such route"},
    {"invalid_request", 422, "invalid request: "},
    {"invalid_run_id", 422, "invalid run id: "},
    {"invalid_node_id", 422, "invalid node id: "},
    {"invalid_conversation_id", 422, "invalid conversation id: "},
    {"invalid_artifact_id", 422, "invalid artifact id: "},
    {"invalid_dispatch_id", 422, "invalid dispatch id: "},
    {"run_not_found", 404, "no recorded run "},
    {"conversation_not_found", 404, "no recorded conversation "},
    {"artifact_not_found", 404, "no recorded artifact "},
    {"projection_error", 409, "projection failed: "},
    {"read_error", 500, "read failed: "},
}};

const KindInfo& info(ApiError::Kind kind) { return kinds[static_cast<std::size_t>(kind)]; }

void write_string(std::string& out, std::string_view text) {
    json::write_to(out, boost::json::value(boost::json::string(text)));
}

}  // namespace

std::string_view ApiError::code() const { return info(kind_).code; }

unsigned ApiError::status() const { return info(kind_).status; }

std::string ApiError::message() const {
    std::string out(info(kind_).prefix);
    if (kind_ != Kind::NoSuchRoute) out += detail_;
    return out;
}

std::pair<std::string, std::string> ApiError::envelope() const {
    return {std::string(code()), message()};
}

std::string ApiError::body() const {
    auto [code_word, text] = envelope();
    std::string out;
    out.reserve(128);
    out += R"({"error":{"code":)";
    write_string(out, code_word);
    out += R"(,"message":)";
    write_string(out, text);
    out += "}}";
    return out;
}

}  // namespace korvalle::error
