#include "src/api/shared_lists.hpp"

#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <new>
#include <system_error>
#include <utility>

namespace korvalle::server {

SharedLists::SharedLists(std::shared_ptr<const store::RunStore> store, std::shared_ptr<BlockingPool> pool)
    : store_(std::move(store)), pool_(std::move(pool)) {}

boost::asio::awaitable<std::shared_ptr<const std::string>> SharedLists::page(store::RunsQuery query) {
    auto initiation = [this](auto handler, store::RunsQuery asked) {
        auto shared = std::make_shared<decltype(handler)>(std::move(handler));
        // The coroutine goes on on its own executor, never on the pool's thread.
        wait(std::move(asked), [shared](std::exception_ptr error, Page text) {
            auto executor = boost::asio::get_associated_executor(*shared);
            boost::asio::post(executor, [shared, error, text = std::move(text)]() mutable {
                (*shared)(error, std::move(text));
            });
        });
    };
    co_return co_await boost::asio::async_initiate<const boost::asio::use_awaitable_t<>,
                                                   void(std::exception_ptr, Page)>(
        initiation, boost::asio::use_awaitable, std::move(query));
}

void SharedLists::wait(store::RunsQuery query, Finish finish) {
    sync::Lock lock(mutex_);
    waiting_.push_back(Waiter{std::move(query), std::move(finish)});
    if (!walking_) start_locked();
}

void SharedLists::start_locked() {
    walking_ = true;
    try {
        pool_->submit([self = shared_from_this()] { self->walk_while_waited_for(); });
    } catch (...) {
        // Whatever kept the walk from the pool, the requests waiting are told it.
        walking_ = false;
        for (Waiter& waiter : std::exchange(waiting_, {})) waiter.finish(std::current_exception(), nullptr);
    }
}

// The requests waiting now get the next walk, which begins after every one of them arrived.
// Those that arrive meanwhile get the one after it, on this same thread: under a crowd of
// clients the walks follow one another without a hand-off to another thread between them, and
// the pages of a walk are made and handed over on another thread while the next walk runs.
void SharedLists::walk_while_waited_for() {
    sync::Lock lock(mutex_);
    while (!waiting_.empty()) {
        auto batch = std::make_shared<std::vector<Waiter>>(std::exchange(waiting_, {}));
        lock.unlock();
        std::exception_ptr error;
        store::SharedWalks::SharedWalk walked;
        try {
            walked = store_->walk();
        } catch (...) {
            error = std::current_exception();  // whatever ended the walk, its requests are told it
        }
        if (!next_walk_waited_for() || !hand_over(batch, walked, error)) answer(*batch, walked, error);
        lock.lock();
    }
    walking_ = false;
}

bool SharedLists::next_walk_waited_for() {
    sync::Lock lock(mutex_);
    return !waiting_.empty();
}

bool SharedLists::hand_over(const std::shared_ptr<std::vector<Waiter>>& batch,
                            const store::SharedWalks::SharedWalk& walked, const std::exception_ptr& error) {
    try {
        pool_->submit([self = shared_from_this(), batch, walked, error] { self->answer(*batch, walked, error); });
        return true;
    } catch (const std::system_error&) {
        return false;  // no thread to spare, or the pool stopping: the walking one answers them first
    } catch (const std::bad_alloc&) {
        return false;
    }
}

void SharedLists::answer(std::vector<Waiter>& batch, const store::SharedWalks::SharedWalk& walked,
                         const std::exception_ptr& error) {
    for (Waiter& waiter : batch) {
        if (error) {
            waiter.finish(error, nullptr);
            continue;
        }
        try {
            waiter.finish(nullptr, store_->run_list_text(walked, waiter.query));
        } catch (...) {
            waiter.finish(std::current_exception(), nullptr);  // whatever failed the page goes to its request
        }
    }
}

}  // namespace korvalle::server
