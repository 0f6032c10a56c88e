#include "src/api/shared_lists.hpp"

#include "src/api/in_steps.hpp"

#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <utility>

namespace korvalle::server {

namespace {

using Walked = store::SharedWalks::SharedWalk;

// The page of the walk made in steps on the pool; null when refused.
boost::asio::awaitable<std::shared_ptr<store::ListPage>> page_in_steps(const store::RunStore& store,
                                                                       BlockingPool& pool, Walked walked,
                                                                       store::RunsQuery query,
                                                                       store::ListPage::Form form) {
    auto page = std::make_shared<store::ListPage>(store, std::move(walked), std::move(query), form);
    // Named, not a temporary of the co_await expression: GCC 12 can destroy those twice.
    StepFunction step = [page](const store::Resume& resume) { return page->step(resume); };
    const store::Step made = co_await in_steps(&pool, std::move(step));
    if (made == store::Step::Refused) co_return nullptr;
    co_return page;
}

}  // namespace

SharedLists::SharedLists(std::shared_ptr<const store::RunStore> store, std::shared_ptr<BlockingPool> pool)
    : store_(std::move(store)), pool_(std::move(pool)) {}

boost::asio::awaitable<Walked> SharedLists::walk() {
    auto initiation = [this](auto handler) {
        auto shared = std::make_shared<decltype(handler)>(std::move(handler));
        // The coroutine goes on on its own executor, never on the thread that ended the walk. A
        // coroutine that cannot be posted to is let go: its connection closes.
        auto done = [shared](std::exception_ptr error, Walked walked) {
            auto executor = boost::asio::get_associated_executor(*shared);
            boost::asio::post(executor, [shared, error, walked = std::move(walked)]() mutable {
                (*shared)(error, std::move(walked));
            });
        };
        auto submit = [pool = pool_](std::function<void()> task) { pool->submit(std::move(task)); };
        store_->walk(std::move(done), std::move(submit));
    };
    co_return co_await boost::asio::async_initiate<const boost::asio::use_awaitable_t<>,
                                                   void(std::exception_ptr, Walked)>(initiation,
                                                                                     boost::asio::use_awaitable);
}

boost::asio::awaitable<std::shared_ptr<const std::string>> SharedLists::text(Walked walked, store::RunsQuery query) {
    // The callers of a walk after the first find its text made: no thread is asked for it.
    if (auto made = walked->made_page(store::ListPage::key_of(query))) co_return made;
    auto page = co_await page_in_steps(*store_, *pool_, std::move(walked), std::move(query), store::ListPage::Form::Text);
    co_return page ? page->text() : nullptr;
}

boost::asio::awaitable<std::optional<boost::json::object>> SharedLists::document(Walked walked,
                                                                                store::RunsQuery query) {
    auto page =
        co_await page_in_steps(*store_, *pool_, std::move(walked), std::move(query), store::ListPage::Form::Document);
    if (!page) co_return std::nullopt;
    co_return std::move(page->document());
}

}  // namespace korvalle::server
