// The common handler pattern's last steps: a store document made in steps on the blocking pool
// (store::RunDocument, waiting between steps without a thread: in_steps.hpp), its outcome turned
// into the answer (the success envelope, the operation's API error, or 500 read_error when a step
// failed instead of returning), and the answer's share of the answers' budget (answer_budget.hpp),
// which the answer holds. A budget that refuses to let the request wait answers busy_answer().
#pragma once

#include "sdk/base/result.hpp"
#include "src/api/answer_budget.hpp"
#include "src/api/envelope.hpp"
#include "src/api/in_steps.hpp"
#include "src/api/routes.hpp"
#include "src/contract/error.hpp"
#include "src/store/store.hpp"

#include <boost/asio/awaitable.hpp>
#include <boost/json/value.hpp>

#include <memory>
#include <optional>
#include <type_traits>

namespace korvalle::server {

using Outcome = Result<api::Stamped, error::ApiError>;

// 200 with the success envelope around the stamped document.
Response success_envelope(api::Stamped stamped);
// The answer of an outcome: the success envelope or the operation's API error.
Response answer_of(Outcome outcome);

// A document's outcome stamped: a JSON value as it is, a written one as its text.
template <class Document>
Outcome stamped(Result<Document, error::ApiError>& document) {
    if (!document) return document.error();
    if constexpr (std::is_same_v<Document, boost::json::value>)
        return api::stamp(std::move(document).value());
    else
        return api::stamp_written(std::move(document).value());
}

// The read_error answer of a step that failed instead of returning.
Response unexpected_failure();

// The answer of a document made in steps: a store::RunDocument, or anything with its step,
// outcome and share.
template <class Made>
boost::asio::awaitable<Response> answer_in_steps(std::shared_ptr<const Serving> state, Made document) {
    struct Job {
        Made document;
        std::optional<Response> answer;
    };
    auto job = std::make_shared<Job>(Job{std::move(document), std::nullopt});
    // The answer is made on the thread of the last step, as the document is.
    StepFunction make = [job](const store::Resume& resume) {
        const store::Step made = job->document.step(resume);
        if (made == store::Step::Done) job->answer = answer_of(stamped(job->document.outcome()));
        return made;
    };
    std::optional<store::Step> made;
    try {
        made = co_await in_steps(state->pool.get(), make);
    } catch (...) {
        // The request must be answered: whatever a step threw (out of descriptors or memory,
        // the pool refusing it at the stop) answers 500 read_error.
        made.reset();
    }
    if (!made || (*made == store::Step::Done && !job->answer)) co_return unexpected_failure();
    if (*made == store::Step::Refused) co_return busy_answer();
    Response answer = std::move(*job->answer);
    answer.hold = co_await answer_share(state->answers, answer_bytes(answer), std::move(job->document.share()));
    if (!answer.hold) co_return busy_answer();
    co_return answer;
}

}  // namespace korvalle::server
