// The common handler pattern's last steps: a store operation run as one task on the blocking
// pool, and its outcome turned into the answer (the success envelope, the operation's API error,
// or 500 read_error when the task failed instead of returning). The operation is handed the
// answer's share of the answers' budget (answer_budget.hpp), which the answer holds.
#pragma once

#include "sdk/base/result.hpp"
#include "src/api/answer_budget.hpp"
#include "src/api/envelope.hpp"
#include "src/contract/error.hpp"
#include "src/api/routes.hpp"

#include <boost/asio/awaitable.hpp>

#include <memory>
#include <optional>

namespace korvalle::server {

using Outcome = Result<api::Stamped, error::ApiError>;

// 200 with the success envelope around the stamped document.
Response success_envelope(api::Stamped stamped);
// The answer of an outcome: the success envelope or the operation's API error.
Response answer_of(Outcome outcome);

template <class Operation>
boost::asio::awaitable<Response> answer_from_pool(std::shared_ptr<const Serving> state, Operation operation) {
    auto task = [budget = state->answers, operation = std::move(operation)]() mutable {
        store::AnswerShare share{*budget};
        Response answer = answer_of(operation(share));
        return within_budget(std::move(answer), std::move(share));
    };
    std::optional<Response> answer;
    try {
        answer = co_await run_blocking<Response>(*state->pool, std::move(task));
    } catch (...) {
        answer.reset();
    }
    if (!answer) co_return error_response(error::ApiError::read_error("unexpected read failure"));
    co_return std::move(*answer);
}

}  // namespace korvalle::server
