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

PollSubscription::PollSubscription(asio::any_io_executor executor, std::shared_ptr<const EventStream> stream)
    : executor_(executor), wake_(executor), stream_(std::move(stream)) {}

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
        // A stream that has not taken the last result yet compares against the latest look,
        // which holds every change since its previous one.
        if (!self->pending_ || !self->pending_->failed) self->pending_ = std::move(result);
        self->wake_.cancel();
    });
}

struct SharedPolls::Poller {
    std::optional<std::string> watched;
    // Under SharedPolls::mutex_. The poller holds one reference to each; the stream the other.
    std::vector<std::shared_ptr<PollSubscription>> subscribers;
    // Touched by one look at a time (the poller awaits each) and, after it, under the lock.
    store::SharedObservation last;  // the last look that saw the runs
    std::uint64_t looks = 0;        // looks that saw the runs
    std::uint64_t changes = 0;      // of those, looks that differ from the one before
};

SharedPolls::SharedPolls(std::shared_ptr<const store::RunStore> store, std::shared_ptr<BlockingPool> pool,
                         std::shared_ptr<const std::atomic<bool>> stopping)
    : store_(std::move(store)), pool_(std::move(pool)), stopping_(std::move(stopping)) {}

std::shared_ptr<PollSubscription> SharedPolls::subscribe(const std::optional<std::string>& watched,
                                                         asio::any_io_executor executor,
                                                         std::shared_ptr<const EventStream> stream) {
    auto subscription = std::make_shared<PollSubscription>(executor, std::move(stream));
    std::lock_guard lock(mutex_);
    std::shared_ptr<Poller>& poller = pollers_[watched];
    if (!poller) {
        poller = std::make_shared<Poller>(Poller{watched, {}, nullptr, 0, 0});
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
            const Begun begun = self->begin_look(*poller);
            if (begun.subscribers == 0) co_return;
            bool saw = false;
            bool failed = false;
            try {
                saw = co_await self->look(poller, begun.with_conversation);
            } catch (...) {
                failed = true;
            }
            self->hand_out(*poller, begun.subscribers, saw, failed);
        }
    } catch (...) {
        // Out of memory between looks: the streams end, as a poll that failed ends them.
        self->end(*poller);
    }
}

SharedPolls::Begun SharedPolls::begin_look(Poller& poller) {
    std::lock_guard lock(mutex_);
    // A subscription only the poller holds belongs to a stream that has ended.
    std::erase_if(poller.subscribers, [](const auto& subscriber) { return subscriber.use_count() == 1; });
    Begun out{poller.subscribers.size(), false};
    // No stream left: the key's poller ends here, under the lock a new subscriber takes, so the
    // next stream of the key starts a new one.
    if (out.subscribers == 0) forget_locked(poller);
    const std::uint64_t number = poller.looks + 1;
    for (const auto& subscriber : poller.subscribers) {
        if (subscriber->conversation_at_.load(std::memory_order_relaxed) <= number) out.with_conversation = true;
    }
    return out;
}

asio::awaitable<bool> SharedPolls::look(std::shared_ptr<Poller> poller, bool with_conversation) {
    // Named, not a temporary of the co_await expression: GCC 12 can destroy those twice.
    auto task = [store = store_, poller, with_conversation]() -> bool {
        // Out of descriptors or memory the look has not seen the runs: it finds nothing and the
        // next look compares with the last one that did.
        try {
            auto observed = std::make_shared<const store::Observation>(
                store::observe(*store, poller->watched, with_conversation, poller->last.get()));
            const bool changed = !poller->last || observed->runs != poller->last->runs ||
                                 observed->activity != poller->last->activity;
            poller->last = std::move(observed);
            ++poller->looks;
            if (changed) ++poller->changes;
            return true;
        } catch (const files::Exhausted&) {
            return false;
        } catch (const std::bad_alloc&) {
            return false;
        }
    };
    co_return co_await run_blocking<bool>(*pool_, task);
}

void SharedPolls::hand_out(Poller& poller, std::size_t subscribers, bool saw, bool failed) {
    const bool stopping = stopping_->load(std::memory_order_relaxed);
    const PollResult result{poller.last, poller.looks, failed};
    std::lock_guard lock(mutex_);
    // Only the streams there were when the look began: it may be older than a later one's snapshot.
    for (std::size_t i = 0; i < subscribers; ++i) {
        PollSubscription& subscriber = *poller.subscribers[i];
        // The stop checks are the stream's own, at each poll; a stream with nothing new and no
        // check due is left alone.
        const bool news = saw && (subscriber.changes_seen_ != poller.changes ||
                                  subscriber.conversation_at_.load(std::memory_order_relaxed) <= poller.looks);
        if (!failed && !news && !stopping && !subscriber.stream_->closed()) continue;
        subscriber.changes_seen_ = poller.changes;
        subscriber.deliver(result);
    }
}

void SharedPolls::forget_locked(const Poller& poller) {
    auto it = pollers_.find(poller.watched);
    if (it != pollers_.end() && it->second.get() == &poller) pollers_.erase(it);
}

void SharedPolls::end(Poller& poller) {
    std::lock_guard lock(mutex_);
    forget_locked(poller);
    for (const auto& subscriber : poller.subscribers) subscriber->deliver(PollResult{nullptr, 0, true});
    poller.subscribers.clear();
}

}  // namespace korvalle::server
