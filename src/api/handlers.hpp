// The common handler pattern's last steps: a store operation run as one task on the blocking
// pool, and its outcome turned into the answer (the success envelope, the operation's API error,
// or 500 read_error when the task failed instead of returning).
#pragma once

#include "src/api/envelope.hpp"
#include "src/contract/error.hpp"
#include "src/api/routes.hpp"

#include <boost/asio/awaitable.hpp>

#include <memory>
#include <optional>
#include <variant>

namespace korvalle::server {

using Outcome = std::variant<api::Stamped, error::ApiError>;

// 200 with the success envelope around the stamped document.
Response success_envelope(api::Stamped stamped);

template <class Operation>
boost::asio::awaitable<Response> answer_from_pool(std::shared_ptr<const Serving> state, Operation operation) {
    std::optional<Outcome> outcome;
    try {
        outcome = co_await run_blocking<Outcome>(*state->pool, std::move(operation));
    } catch (...) {
        outcome.reset();
    }
    if (!outcome) co_return error_response(error::ApiError::read_error("unexpected read failure"));
    if (auto* error = std::get_if<error::ApiError>(&*outcome)) co_return error_response(*error);
    co_return success_envelope(std::get<api::Stamped>(std::move(*outcome)));
}

}  // namespace korvalle::server
