// The route table and the handlers of the routes built so far. Every document handler follows
// one pattern: path ids by the identifier rule (the run id first), then the route's query rule,
// then the store's document in steps on the blocking pool (handlers.hpp); a step that fails
// answers 500 read_error.
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
    bool refused = false;
    try {
        page = co_await state->lists->page(std::move(query).value());
        refused = !page;
    } catch (...) {
        page.reset();  // the request must be answered: whatever failed the walk or page answers 500 read_error
    }
    if (refused) co_return busy_answer();  // the stop came while its telemetry waited
    if (!page) co_return unexpected_failure();
    text::Fragments shared_page{text::fragment_of(std::move(page))};
    Response answer = answer_of(api::stamp_written(std::move(shared_page)));
    // Named, not a temporary of the co_await expression: GCC 12 can destroy those twice.
    store::BudgetShare none;
    answer.hold = co_await answer_share(state->answers, answer_bytes(answer), std::move(none));
    if (!answer.hold) co_return busy_answer();
    co_return answer;
}

// The run detail: the run id by the identifier rule, then the "include_conversations" flag
// (default true), both before anything is read.
boost::asio::awaitable<Response> run(std::shared_ptr<const Serving> state, RouteInput input) {
    auto id = path_id(input.params.at(0), error::ApiError::invalid_run_id);
    if (!id) co_return error_response(id.error());
    auto include = flag(input.query, "include_conversations", true);
    if (!include) co_return error_response(include.error());
    auto document = state->store->run_document(*id, *include, state->answers.get());
    co_return co_await answer_in_steps(std::move(state), std::move(document));
}

// The timeline: the run id by the identifier rule, then "scope" and "node", both before anything
// is read.
boost::asio::awaitable<Response> timeline(std::shared_ptr<const Serving> state, RouteInput input) {
    auto id = path_id(input.params.at(0), error::ApiError::invalid_run_id);
    if (!id) co_return error_response(id.error());
    auto scope = timeline_query(input.query);
    if (!scope) co_return error_response(scope.error());
    auto document = state->store->timeline_document(*id, *scope, state->answers.get());
    co_return co_await answer_in_steps(std::move(state), std::move(document));
}

// The two item routes of a run: the run id, then the item id, each by the identifier rule and
// before anything is read; then the store's document in steps. The query plays no part.
template <auto Document>
boost::asio::awaitable<Response> run_item(std::shared_ptr<const Serving> state, RouteInput input,
                                          error::ApiError (*refuse_item)(std::string)) {
    auto run = path_id(input.params.at(0), error::ApiError::invalid_run_id);
    if (!run) co_return error_response(run.error());
    auto item = path_id(input.params.at(1), refuse_item);
    if (!item) co_return error_response(item.error());
    auto document = ((*state->store).*Document)(*run, *item, state->answers.get());
    co_return co_await answer_in_steps(std::move(state), std::move(document));
}

boost::asio::awaitable<Response> conversation(std::shared_ptr<const Serving> state, RouteInput input) {
    return run_item<&store::RunStore::conversation_document>(std::move(state), std::move(input),
                                                             error::ApiError::invalid_conversation_id);
}

boost::asio::awaitable<Response> artifact(std::shared_ptr<const Serving> state, RouteInput input) {
    return run_item<&store::RunStore::artifact_document>(std::move(state), std::move(input),
                                                         error::ApiError::invalid_artifact_id);
}

}  // namespace

std::shared_ptr<Router> router_stopping_on(std::shared_ptr<const store::RunStore> store,
                                           std::shared_ptr<std::atomic<bool>> stopping,
                                           std::shared_ptr<BlockingPool> pool,
                                           std::shared_ptr<store::MemoryBudget> answers) {
    // The texts the store's cache lets go while answers still send them are counted with the
    // answers from now on.
    store->run_cache().count_let_go_texts_in(answers);
    auto lists = std::make_shared<SharedLists>(store, pool);
    auto polls = std::make_shared<SharedPolls>(store, pool, lists, stopping);
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
