#include "src/api/shared_poll.hpp"

#include "sdk/base/files.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <algorithm>
#include <new>

namespace korvalle::server {

namespace asio = boost::asio;

namespace {

constexpr auto use_tuple = asio::as_tuple(asio::use_awaitable);

}  // namespace

std::chrono::milliseconds poll_interval(const store::RunStore& store) {
    constexpr std::uint64_t year_ms = 365ull * 24 * 3600 * 1000;
    return std::chrono::milliseconds(std::min(store.poll_ms(), year_ms));
}

PollSubscription::PollSubscription(asio::any_io_executor executor) : executor_(executor), wake_(executor) {}

asio::awaitable<PollResult> PollSubscription::next() {
    while (!pending_) {
        wake_.expires_at(asio::steady_timer::time_point::max());
        co_await wake_.async_wait(use_tuple);
    }
    PollResult result = std::move(*pending_);
    pending_.reset();
    co_return result;
}

void PollSubscription::deliver(PollResult result) {
    asio::post(executor_, [self = shared_from_this(), result = std::move(result)]() mutable {
        // A stream that has not taken the last result yet compares against the latest look, which
        // holds every change since its previous one.
        const bool keep = self->pending_ && (self->pending_->failed || !result.observed);
        if (!keep || result.failed) self->pending_ = std::move(result);
        self->wake_.cancel();
    });
}

struct SharedPolls::Poller {
    std::optional<std::string> watched;
    std::vector<std::weak_ptr<PollSubscription>> subscribers;  // under SharedPolls::mutex_
    // The last look, which the next one shares its unchanged parts with. Touched by one look at
    // a time: the poller awaits each.
    store::SharedObservation last;
};

SharedPolls::SharedPolls(std::shared_ptr<const store::RunStore> store, std::shared_ptr<BlockingPool> pool)
    : store_(std::move(store)), pool_(std::move(pool)) {}

std::shared_ptr<PollSubscription> SharedPolls::subscribe(const std::optional<std::string>& watched,
                                                         asio::any_io_executor executor) {
    auto subscription = std::make_shared<PollSubscription>(executor);
    std::lock_guard lock(mutex_);
    std::shared_ptr<Poller>& poller = pollers_[watched];
    if (!poller) {
        poller = std::make_shared<Poller>(Poller{watched, {}, nullptr});
        asio::co_spawn(executor, run(shared_from_this(), poller), asio::detached);
    }
    poller->subscribers.push_back(subscription);
    return subscription;
}

asio::awaitable<void> SharedPolls::run(std::shared_ptr<SharedPolls> self, std::shared_ptr<Poller> poller) {
    asio::steady_timer timer(co_await asio::this_coro::executor);
    const auto interval = poll_interval(*self->store_);
    try {
        while (true) {
            timer.expires_after(interval);
            co_await timer.async_wait(use_tuple);
            bool with_conversation = false;
            auto subscribers = self->subscribers_now(*poller, with_conversation);
            if (subscribers.empty()) co_return;
            PollResult result = co_await self->look(poller, with_conversation);
            for (const auto& subscriber : subscribers) subscriber->deliver(result);
        }
    } catch (...) {
        // Out of memory between looks: the streams end, as a poll that failed ends them.
        self->end(*poller);
    }
}

std::vector<std::shared_ptr<PollSubscription>> SharedPolls::subscribers_now(Poller& poller, bool& with_conversation) {
    std::vector<std::shared_ptr<PollSubscription>> out;
    std::lock_guard lock(mutex_);
    out.reserve(poller.subscribers.size());
    std::erase_if(poller.subscribers, [&](const std::weak_ptr<PollSubscription>& weak) {
        auto subscriber = weak.lock();
        if (!subscriber) return true;
        with_conversation = with_conversation || subscriber->wants_conversation();
        out.push_back(std::move(subscriber));
        return false;
    });
    // No stream left: the key's poller ends here, under the lock a new subscriber takes, so the
    // next stream of the key starts a new one.
    if (out.empty()) forget_locked(poller);
    return out;
}

asio::awaitable<PollResult> SharedPolls::look(std::shared_ptr<Poller> poller, bool with_conversation) {
    // Named, not a temporary of the co_await expression: GCC 12 can destroy those twice.
    auto task = [store = store_, poller, with_conversation]() -> store::SharedObservation {
        // Out of descriptors or memory the look has not seen the runs: it finds nothing and the
        // next look compares with the last one that did.
        try {
            poller->last = std::make_shared<const store::Observation>(
                store::observe(*store, poller->watched, with_conversation, poller->last.get()));
            return poller->last;
        } catch (const files::Exhausted&) {
            return nullptr;
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
    };
    PollResult result;
    try {
        result.observed = co_await run_blocking<store::SharedObservation>(*pool_, task);
    } catch (...) {
        result.failed = true;
    }
    co_return result;
}

void SharedPolls::forget_locked(const Poller& poller) {
    auto it = pollers_.find(poller.watched);
    if (it != pollers_.end() && it->second.get() == &poller) pollers_.erase(it);
}

void SharedPolls::end(Poller& poller) {
    std::vector<std::shared_ptr<PollSubscription>> left;
    {
        std::lock_guard lock(mutex_);
        forget_locked(poller);
        for (const auto& weak : poller.subscribers) {
            if (auto subscriber = weak.lock()) left.push_back(std::move(subscriber));
        }
        poller.subscribers.clear();
    }
    for (const auto& subscriber : left) subscriber->deliver(PollResult{nullptr, true});
}

}  // namespace korvalle::server
