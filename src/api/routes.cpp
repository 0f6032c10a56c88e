// The route table and the handlers of the routes built so far. Every document handler follows
// one pattern: path ids by the identifier rule (the run id first), then the route's query rule,
// then the store operation as one task on the blocking pool; a task that fails answers 500
// read_error.
#include "src/api/routes.hpp"

#include "src/api/change_feed.hpp"
#include "src/api/handlers.hpp"
#include "src/contract/contract.hpp"

#include <boost/asio/use_awaitable.hpp>

namespace korvalle::server {

namespace {

boost::asio::awaitable<Response> healthz(std::shared_ptr<const Serving>, RouteInput) {
    co_return json_response(200, R"({"status":"ok"})");
}

boost::asio::awaitable<Response> runs(std::shared_ptr<const Serving> state, RouteInput input) {
    auto query = runs_query(input.query);
    if (auto* error = std::get_if<error::ApiError>(&query)) co_return error_response(*error);
    // The page comes from a walk shared with the other requests, without a thread held while
    // waiting for it; it is far below the size at which an answer may wait for the budget.
    std::shared_ptr<const std::string> page;
    try {
        page = co_await state->lists->page(std::get<store::RunsQuery>(std::move(query)));
    } catch (...) {
        page.reset();
    }
    if (!page) co_return error_response(error::ApiError::read_error("unexpected read failure"));
    text::Fragments shared_page{text::fragment_of(std::move(page))};
    co_return within_budget(answer_of(api::stamp_written(std::move(shared_page))), store::AnswerShare{*state->answers});
}

// The run detail: the run id by the identifier rule, then the "include_conversations" flag
// (default true), both before anything is read.
boost::asio::awaitable<Response> run(std::shared_ptr<const Serving> state, RouteInput input) {
    auto id = path_id(input.params.at(0), error::ApiError::invalid_run_id);
    if (auto* error = std::get_if<error::ApiError>(&id)) co_return error_response(*error);
    auto include = flag(input.query, "include_conversations", true);
    if (auto* error = std::get_if<error::ApiError>(&include)) co_return error_response(*error);
    auto operation = [store = state->store, id = std::get<contract::RunId>(std::move(id)),
                      include = std::get<bool>(include)](store::AnswerShare& share) -> Outcome {
        auto document = store->run(id, include, &share);
        if (auto* error = std::get_if<error::ApiError>(&document)) return std::move(*error);
        return api::stamp_written(std::get<text::Fragments>(std::move(document)));
    };
    co_return co_await answer_from_pool(std::move(state), std::move(operation));
}

// The timeline: the run id by the identifier rule, then "scope" and "node", both before anything
// is read.
boost::asio::awaitable<Response> timeline(std::shared_ptr<const Serving> state, RouteInput input) {
    auto id = path_id(input.params.at(0), error::ApiError::invalid_run_id);
    if (auto* error = std::get_if<error::ApiError>(&id)) co_return error_response(*error);
    auto scope = timeline_query(input.query);
    if (auto* error = std::get_if<error::ApiError>(&scope)) co_return error_response(*error);
    auto operation = [store = state->store, id = std::get<contract::RunId>(std::move(id)),
                      scope = std::get<store::TimelineScope>(std::move(scope))](store::AnswerShare& share) -> Outcome {
        auto document = store->timeline(id, scope, &share);
        if (auto* error = std::get_if<error::ApiError>(&document)) return std::move(*error);
        return api::stamp_written(std::get<text::Fragments>(std::move(document)));
    };
    co_return co_await answer_from_pool(std::move(state), std::move(operation));
}

// The two item routes of a run: the run id, then the item id, each by the identifier rule and
// before anything is read; then the store's read as one task on the blocking pool. The query
// plays no part.
template <auto Read>
boost::asio::awaitable<Response> run_item(std::shared_ptr<const Serving> state, RouteInput input,
                                          error::ApiError (*refuse_item)(std::string)) {
    auto run = path_id(input.params.at(0), error::ApiError::invalid_run_id);
    if (auto* error = std::get_if<error::ApiError>(&run)) co_return error_response(*error);
    auto item = path_id(input.params.at(1), refuse_item);
    if (auto* error = std::get_if<error::ApiError>(&item)) co_return error_response(*error);
    auto operation = [store = state->store, run = std::get<contract::RunId>(std::move(run)),
                      item = std::get<contract::RunId>(std::move(item))](store::AnswerShare&) -> Outcome {
        auto document = ((*store).*Read)(run, item);
        if (auto* error = std::get_if<error::ApiError>(&document)) return std::move(*error);
        if constexpr (std::is_same_v<std::variant_alternative_t<0, decltype(document)>, std::string>)
            return api::stamp_written(std::get<0>(std::move(document)));
        else
            return api::stamp(std::get<0>(std::move(document)));
    };
    co_return co_await answer_from_pool(std::move(state), std::move(operation));
}

boost::asio::awaitable<Response> conversation(std::shared_ptr<const Serving> state, RouteInput input) {
    return run_item<&store::RunStore::conversation>(std::move(state), std::move(input),
                                                    error::ApiError::invalid_conversation_id);
}

boost::asio::awaitable<Response> artifact(std::shared_ptr<const Serving> state, RouteInput input) {
    return run_item<&store::RunStore::artifact>(std::move(state), std::move(input),
                                                error::ApiError::invalid_artifact_id);
}

}  // namespace

std::shared_ptr<Router> router_stopping_on(std::shared_ptr<const store::RunStore> store,
                                           std::shared_ptr<std::atomic<bool>> stopping,
                                           std::shared_ptr<BlockingPool> pool,
                                           std::shared_ptr<store::MemoryBudget> answers) {
    auto polls = std::make_shared<SharedPolls>(store, pool, stopping);
    auto lists = std::make_shared<SharedLists>(store, pool);
    auto state = std::make_shared<const Serving>(Serving{std::move(store), std::move(stopping), std::move(pool),
                                                         std::move(answers), std::move(polls), std::move(lists)});
    auto router = std::make_shared<Router>(state);
    router->get("/healthz", healthz)
        .get("/api/v2/runs", runs)
        .get("/api/v2/runs/{run}", run)
        .get("/api/v2/runs/{run}/timeline", timeline)
        .get("/api/v2/runs/{run}/conversations/{id}", conversation)
        .get("/api/v2/runs/{run}/artifacts/{id}", artifact)
        .get("/api/v2/events", events);
    return router;
}

}  // namespace korvalle::server
