// The answer of a store operation's outcome: the success envelope around its document, or its
// API error.
#include "src/api/handlers.hpp"

namespace korvalle::server {

Response success_envelope(api::Stamped stamped) {
    auto body = api::envelope_body(stamped);
    if (!body) {
        return plain_text(500, "can only flatten structs and maps (got " +
                                   std::string(api::unflattenable_kind(stamped.document)) + ")");
    }
    Response answer = json_response(200, std::move(body->head));
    answer.more = std::move(body->members);
    return answer;
}

Response answer_of(Outcome outcome) {
    if (!outcome) return error_response(outcome.error());
    return success_envelope(std::move(outcome).value());
}

Response unexpected_failure() { return error_response(error::ApiError::read_error("unexpected read failure")); }

}  // namespace korvalle::server
