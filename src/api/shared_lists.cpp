#include "src/api/shared_lists.hpp"

#include "src/api/in_steps.hpp"

#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace korvalle::server {

using Walked = store::SharedWalks::SharedWalk;

namespace {

// A walk's gather timed on the executor of one of its callers: the timer holds no thread.
template <class Executor>
store::SharedWalks::Gather gather_on(Executor executor) {
    return [executor](std::chrono::steady_clock::duration most, std::function<void()> go) {
        auto timer = std::make_shared<boost::asio::steady_timer>(executor, most);
        timer->async_wait([timer, go = std::move(go)](const boost::system::error_code&) { go(); });
    };
}

}  // namespace

SharedLists::SharedLists(std::shared_ptr<const store::RunStore> store, std::shared_ptr<BlockingPool> pool)
    : store_(std::move(store)), pool_(std::move(pool)) {}

boost::asio::awaitable<Walked> SharedLists::walk(std::shared_ptr<const std::atomic<bool>> stop) {
    auto initiation = [this, stop](auto handler) {
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
        store::SharedWalks::Wanted wanted;
        if (stop) wanted = [stop] { return !stop->load(std::memory_order_relaxed); };
        store_->walk(std::move(done), std::move(submit), gather_on(boost::asio::get_associated_executor(*shared)),
                     std::move(wanted));
    };
    co_return co_await boost::asio::async_initiate<const boost::asio::use_awaitable_t<>,
                                                   void(std::exception_ptr, Walked)>(initiation,
                                                                                     boost::asio::use_awaitable);
}

namespace {

using Text = std::shared_ptr<const std::string>;
// Told once: the text, or what failed it; refused: the telemetry cache refused its wait.
using Told = std::function<void(std::exception_ptr, Text, bool refused)>;

// The pages the end of a walk left to make, while the thread that walked is inside its task.
thread_local std::vector<std::function<void()>>* pages_after_walk = nullptr;

// One run list's page of a walk: its turn at the walk's text taken wherever it is told (it
// reads no file), the text made on the thread that walked, or on the pool after a wait.
class PageRequest : public std::enable_shared_from_this<PageRequest> {
public:
    PageRequest(std::shared_ptr<store::ListPage> page, std::shared_ptr<BlockingPool> pool, Told told)
        : page_(std::move(page)), pool_(std::move(pool)), told_(std::move(told)) {}

    void take_turn() {
        store::Step turn = store::Step::Done;
        try {
            turn = page_->take_turn([self = shared_from_this()] { self->take_turn(); });
        } catch (...) {
            return told_(std::current_exception(), nullptr, false);
        }
        if (turn == store::Step::Waits) return;
        if (page_->text()) return told_(nullptr, page_->text(), false);
        if (pages_after_walk == nullptr) return on_pool();
        pages_after_walk->push_back([self = shared_from_this()] { self->make(); });
    }

private:
    void make() {
        store::Step made = store::Step::Done;
        try {
            made = page_->step([self = shared_from_this()] { self->on_pool(); });
        } catch (...) {
            return told_(std::current_exception(), nullptr, false);
        }
        if (made != store::Step::Waits) told_(nullptr, page_->text(), made == store::Step::Refused);
    }

    // The making goes on on the pool, ahead of work not yet begun: it has waited.
    void on_pool() {
        try {
            pool_->submit([self = shared_from_this()] { self->make(); }, BlockingPool::Turn::Resumed);
        } catch (...) {
            told_(std::current_exception(), nullptr, false);
        }
    }

    const std::shared_ptr<store::ListPage> page_;
    const std::shared_ptr<BlockingPool> pool_;
    const Told told_;
};

}  // namespace

store::RunStore::Submit SharedLists::walk_then_pages() const {
    return [pool = pool_](std::function<void()> walk) {
        pool->submit([walk = std::move(walk)] {
            std::vector<std::function<void()>> pages;
            pages_after_walk = &pages;
            walk();  // tells the walk's callers; the next walk is begun on another task
            pages_after_walk = nullptr;
            for (const auto& make : pages) {
                try {
                    make();
                } catch (...) {
                    // Each page answers its own request, whatever it meets; one that cannot be
                    // told has given itself up, and its connection closes.
                }
            }
        });
    };
}

boost::asio::awaitable<Text> SharedLists::page(store::RunsQuery query) {
    auto initiation = [this](auto handler, store::RunsQuery asked) {
        auto shared = std::make_shared<decltype(handler)>(std::move(handler));
        // The coroutine goes on on its own executor. One that cannot be posted to is let go: its
        // connection closes.
        Told told = [shared](std::exception_ptr error, Text text, bool refused) {
            auto executor = boost::asio::get_associated_executor(*shared);
            boost::asio::post(executor, [shared, error, text = std::move(text), refused]() mutable {
                (*shared)(error, std::move(text), refused);
            });
        };
        auto done = [store = store_, pool = pool_, asked = std::move(asked), told](std::exception_ptr error,
                                                                                    Walked walked) {
            if (error) return told(error, nullptr, false);
            auto page = std::make_shared<store::ListPage>(*store, std::move(walked), asked, store::ListPage::Form::Text);
            std::make_shared<PageRequest>(std::move(page), pool, told)->take_turn();
        };
        store_->walk(std::move(done), walk_then_pages(), gather_on(boost::asio::get_associated_executor(*shared)));
    };
    auto [text, refused] = co_await boost::asio::async_initiate<const boost::asio::use_awaitable_t<>,
                                                                void(std::exception_ptr, Text, bool)>(
        initiation, boost::asio::use_awaitable, std::move(query));
    co_return refused ? nullptr : text;
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
