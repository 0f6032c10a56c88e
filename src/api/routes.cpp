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
    if (!query) co_return error_response(query.error());
    // The page comes from a walk shared with the other requests, without a thread held while
    // waiting for it; it is far below the size at which an answer may wait for the budget.
    std::shared_ptr<const std::string> page;
    try {
        page = co_await state->lists->page(std::move(query).value());
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
    if (!id) co_return error_response(id.error());
    auto include = flag(input.query, "include_conversations", true);
    if (!include) co_return error_response(include.error());
    auto operation = [store = state->store, id = std::move(id).value(),
                      include = *include](store::AnswerShare& share) -> Outcome {
        auto document = store->run(id, include, &share);
        if (!document) return std::move(document).error();
        return api::stamp_written(std::move(document).value());
    };
    co_return co_await answer_from_pool(std::move(state), std::move(operation));
}

// The timeline: the run id by the identifier rule, then "scope" and "node", both before anything
// is read.
boost::asio::awaitable<Response> timeline(std::shared_ptr<const Serving> state, RouteInput input) {
    auto id = path_id(input.params.at(0), error::ApiError::invalid_run_id);
    if (!id) co_return error_response(id.error());
    auto scope = timeline_query(input.query);
    if (!scope) co_return error_response(scope.error());
    auto operation = [store = state->store, id = std::move(id).value(),
                      scope = std::move(scope).value()](store::AnswerShare& share) -> Outcome {
        auto document = store->timeline(id, scope, &share);
        if (!document) return std::move(document).error();
        return api::stamp_written(std::move(document).value());
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
    if (!run) co_return error_response(run.error());
    auto item = path_id(input.params.at(1), refuse_item);
    if (!item) co_return error_response(item.error());
    auto operation = [store = state->store, run = std::move(run).value(),
                      item = std::move(item).value()](store::AnswerShare&) -> Outcome {
        auto document = ((*store).*Read)(run, item);
        if (!document) return std::move(document).error();
        if constexpr (std::is_same_v<std::remove_cvref_t<decltype(*document)>, std::string>)
            return api::stamp_written(std::move(document).value());
        else
            return api::stamp(std::move(document).value());
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
