#include "src/api/shared_lists.hpp"

#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <utility>

namespace korvalle::server {

SharedLists::SharedLists(std::shared_ptr<const store::RunStore> store, std::shared_ptr<BlockingPool> pool)
    : store_(std::move(store)), pool_(std::move(pool)) {}

boost::asio::awaitable<std::string> SharedLists::page(store::RunsQuery query) {
    auto initiation = [this](auto handler, store::RunsQuery asked) {
        auto shared = std::make_shared<decltype(handler)>(std::move(handler));
        // The coroutine goes on on its own executor, never on the pool's thread.
        wait(std::move(asked), [shared](std::exception_ptr error, std::optional<std::string> text) {
            auto executor = boost::asio::get_associated_executor(*shared);
            boost::asio::post(executor, [shared, error, text = std::move(text)]() mutable {
                (*shared)(error, std::move(text));
            });
        });
    };
    std::optional<std::string> text =
        co_await boost::asio::async_initiate<const boost::asio::use_awaitable_t<>,
                                             void(std::exception_ptr, std::optional<std::string>)>(
            initiation, boost::asio::use_awaitable, std::move(query));
    co_return std::move(*text);
}

void SharedLists::wait(store::RunsQuery query, Finish finish) {
    std::lock_guard lock(mutex_);
    waiting_.push_back(Waiter{std::move(query), std::move(finish)});
    if (!walking_) start_locked();
}

// The requests waiting now get the next walk, which begins after every one of them arrived.
void SharedLists::start_locked() {
    auto batch = std::make_shared<std::vector<Waiter>>(std::exchange(waiting_, {}));
    walking_ = true;
    try {
        pool_->submit([self = shared_from_this(), batch] { self->walk(std::move(*batch)); });
    } catch (...) {
        walking_ = false;
        for (Waiter& waiter : *batch) waiter.finish(std::current_exception(), std::nullopt);
    }
}

void SharedLists::walk(std::vector<Waiter> batch) {
    std::exception_ptr error;
    store::SharedWalks::SharedWalk walked;
    try {
        walked = store_->walk();
    } catch (...) {
        error = std::current_exception();
    }
    for (Waiter& waiter : batch) {
        if (error) {
            waiter.finish(error, std::nullopt);
            continue;
        }
        try {
            waiter.finish(nullptr, store_->run_list_text(walked, waiter.query));
        } catch (...) {
            waiter.finish(std::current_exception(), std::nullopt);
        }
    }
    std::lock_guard lock(mutex_);
    walking_ = false;
    if (!waiting_.empty()) start_locked();
}

}  // namespace korvalle::server
