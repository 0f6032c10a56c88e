// The errors that the read API reports to its clients, and their JSON error body.
//
// Every failure a handler answers is one ApiError: a code word, an HTTP status and a message
// whose placeholder is filled with the error's detail. The order of the kinds is fixed; it
// indexes the code and status tables.
#pragma once

#include "src/contract/contract.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace korvalle::error {

class ApiError {
public:
    enum class Kind : std::uint8_t {
        NoSuchRoute,
        InvalidRequest,
        InvalidRunId,
        InvalidNodeId,
        InvalidConversationId,
        InvalidArtifactId,
        InvalidDispatchId,
        RunNotFound,
        ConversationNotFound,
        ArtifactNotFound,
        ProjectionError,
        ReadError,
    };

    static ApiError no_such_route() { return ApiError(Kind::NoSuchRoute, {}); }
    static ApiError invalid_request(std::string detail) { return {Kind::InvalidRequest, std::move(detail)}; }
    static ApiError invalid_run_id(std::string detail) { return {Kind::InvalidRunId, std::move(detail)}; }
    static ApiError invalid_node_id(std::string detail) { return {Kind::InvalidNodeId, std::move(detail)}; }
    static ApiError invalid_conversation_id(std::string detail) {
        return {Kind::InvalidConversationId, std::move(detail)};
    }
    static ApiError invalid_artifact_id(std::string detail) {
        return {Kind::InvalidArtifactId, std::move(detail)};
    }
    static ApiError invalid_dispatch_id(std::string detail) {
        return {Kind::InvalidDispatchId, std::move(detail)};
    }
    static ApiError run_not_found(const contract::RunId& id) { return {Kind::RunNotFound, id.str()}; }
    static ApiError conversation_not_found(const contract::RunId& id) {
        return {Kind::ConversationNotFound, id.str()};
    }
    static ApiError artifact_not_found(const contract::RunId& id) {
        return {Kind::ArtifactNotFound, id.str()};
    }
    static ApiError projection_error(std::string detail) { return {Kind::ProjectionError, std::move(detail)}; }
    static ApiError read_error(std::string detail) { return {Kind::ReadError, std::move(detail)}; }

    Kind kind() const { return kind_; }
    const std::string& detail() const { return detail_; }

    // "no_such_route", "invalid_request", ...
    std::string_view code() const;
    // 404, 422, 409 or 500.
    unsigned status() const;
    // The message with the detail put verbatim in place of its placeholder.
    std::string message() const;
    // The code word and the message.
    std::pair<std::string, std::string> envelope() const;
    // The compact error body: {"error":{"code":"…","message":"…"}}.
    std::string body() const;

    friend bool operator==(const ApiError&, const ApiError&) = default;

private:
    ApiError(Kind kind, std::string detail) : kind_(kind), detail_(std::move(detail)) {}

    Kind kind_;
    std::string detail_;
};

}  // namespace korvalle::error
