#include "src/api/shared_lists.hpp"

#include "src/api/in_steps.hpp"

#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <utility>

namespace korvalle::server {

using Walked = store::SharedWalks::SharedWalk;

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
    auto page = std::make_shared<store::ListPage>(*store_, std::move(walked), std::move(query),
                                                  store::ListPage::Form::Text);
    // The text's turn is taken on this executor: the callers of a walk after the first wait for
    // its text, or find it made, without a thread; only its making asks for one.
    StepFunction turn = [page](const store::Resume& resume) { return page->take_turn(resume); };
    co_await in_steps(nullptr, std::move(turn));
    if (page->text()) co_return page->text();
    StepFunction make = [page](const store::Resume& resume) { return page->step(resume); };
    if (co_await in_steps(pool_.get(), std::move(make)) == store::Step::Refused) co_return nullptr;
    co_return page->text();
}

boost::asio::awaitable<std::optional<boost::json::object>> SharedLists::document(Walked walked,
                                                                                store::RunsQuery query) {
    auto page = std::make_shared<store::ListPage>(*store_, std::move(walked), std::move(query),
                                                  store::ListPage::Form::Document);
    StepFunction make = [page](const store::Resume& resume) { return page->step(resume); };
    if (co_await in_steps(pool_.get(), std::move(make)) == store::Step::Refused) co_return std::nullopt;
    co_return std::move(page->document());
}

}  // namespace korvalle::server
