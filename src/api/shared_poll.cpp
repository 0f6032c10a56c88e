#include "src/api/shared_poll.hpp"

#include "sdk/base/files.hpp"
#include "src/api/in_steps.hpp"

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

struct SharedPolls::Poller {
    std::optional<std::string> watched;  // set before the poller is shared
    // Under SharedPolls::mutex_. Each subscriber keeps its place in the lists it is in, so it
    // goes out of one at once (the last takes its place).
    std::vector<PollSubscription*> subscribers;
    std::vector<PollSubscription*> fresh;  // not yet handed a look that saw the runs
    // Clients gone since their last hand-out. Its room is kept at least that of subscribers, so
    // that a stream joins it without allocating: from a callback of its stream, which cannot fail.
    std::vector<PollSubscription*> gone;
    std::set<std::pair<std::uint64_t, PollSubscription*>> due;  // conversation checks, by look
    std::uint64_t begun = 0;           // looks begun
    std::uint64_t changes_handed = 0;  // `changes` when a changed look last went to every stream
    std::uint64_t hand_outs = 0;
    // The poller coroutine's: written by one look at a time on a pool thread (the coroutine
    // awaits each), read by the coroutine after it.
    store::SharedObservation last;  // the last look that saw the runs
    std::uint64_t looks = 0;        // looks that saw the runs
    std::uint64_t changes = 0;      // of those, looks that differ from the one before
};

PollSubscription::PollSubscription(std::shared_ptr<SharedPolls> polls, std::shared_ptr<SharedPolls::Poller> poller,
                                   asio::any_io_executor executor, std::shared_ptr<EventStream> stream)
    : polls_(std::move(polls)),
      poller_(std::move(poller)),
      mailbox_(std::make_shared<Mailbox>(executor)),
      stream_(std::move(stream)) {}

PollSubscription::~PollSubscription() {
    stream_->on_gone(nullptr);
    polls_->leave(*this);
}

asio::awaitable<PollResult> PollSubscription::next() {
    Mailbox& mailbox = *mailbox_;
    while (!mailbox.pending) {
        mailbox.wake.expires_at(asio::steady_timer::time_point::max());
        co_await mailbox.wake.async_wait(use_tuple);
    }
    PollResult result = std::move(*mailbox.pending);
    mailbox.pending.reset();
    co_return result;
}

void PollSubscription::deliver(const PollResult& result) {
    asio::post(mailbox_->executor, [mailbox = mailbox_, result]() mutable {
        // A stream that has not taken the last result yet compares against the latest look,
        // which holds every change since its previous one.
        if (!mailbox->pending || !mailbox->pending->failed) mailbox->pending = std::move(result);
        mailbox->wake.cancel();
    });
}

asio::awaitable<std::optional<store::Observation>> look_at(const store::RunStore& store, BlockingPool& pool,
                                                           SharedLists& lists, std::optional<std::string> watched,
                                                           bool with_conversation, const store::Observation* last,
                                                           std::shared_ptr<const std::atomic<bool>> stop) {
    const auto stopped = [stop] { return stop && stop->load(std::memory_order_relaxed); };
    if (!watched) {
        const store::SharedWalks::SharedWalk walked = co_await lists.walk(stop);
        if (!walked) co_return std::nullopt;
        co_return store::observe_walk(walked->records(), with_conversation, last);
    }
    store::SharedRun run;
    if (auto id = contract::RunId::make(*watched)) {
        auto finding = std::make_shared<store::RunFinding>(store, std::move(*id), nullptr);
        // Named, not temporaries of the co_await expression: GCC 12 can destroy those twice. Each
        // step may begin the run's open, the first one and each taken after a wait alike.
        StepFunction step = [finding, stopped](const store::Resume& resume) {
            return stopped() ? store::Step::Refused : finding->step(resume);
        };
        if (co_await in_steps(&pool, std::move(step)) == store::Step::Refused) co_return std::nullopt;
        run = finding->run();
    }
    // Its activity and conversations may be read from its view for the first time: on the pool,
    // where the look may have waited for a thread.
    auto look = [&store, run, with_conversation, last, stopped]() -> std::optional<store::Observation> {
        if (stopped()) return std::nullopt;
        return store::observe_run(store, run, with_conversation, last);
    };
    co_return co_await run_blocking<std::optional<store::Observation>>(pool, look);
}

SharedPolls::SharedPolls(std::shared_ptr<const store::RunStore> store, std::shared_ptr<BlockingPool> pool,
                         std::shared_ptr<SharedLists> lists, std::shared_ptr<const std::atomic<bool>> stopping)
    : store_(std::move(store)), pool_(std::move(pool)), lists_(std::move(lists)), stopping_(std::move(stopping)) {}

void SharedPolls::add(std::vector<PollSubscription*>& list, PollSubscription& subscriber, Place place) {
    list.push_back(&subscriber);
    subscriber.*place = list.size() - 1;
}

void SharedPolls::remove(std::vector<PollSubscription*>& list, PollSubscription& subscriber, Place place) {
    const std::size_t at = subscriber.*place;
    if (at == PollSubscription::nowhere) return;
    list[at] = list.back();
    list[at]->*place = at;
    list.pop_back();
    subscriber.*place = PollSubscription::nowhere;
}

std::unique_ptr<PollSubscription> SharedPolls::subscribe(const std::optional<std::string>& watched,
                                                         asio::any_io_executor executor,
                                                         std::shared_ptr<EventStream> stream) {
    std::unique_ptr<PollSubscription> subscription;
    {
        sync::Lock lock(mutex_);
        std::shared_ptr<Poller>& poller = pollers_[watched];
        if (!poller) {
            poller = std::make_shared<Poller>();
            poller->watched = watched;
            asio::co_spawn(executor, run(shared_from_this(), poller), asio::detached);
        }
        subscription.reset(new PollSubscription(shared_from_this(), poller, executor, stream));
        if (poller->gone.capacity() <= poller->subscribers.size()) {
            poller->gone.reserve(2 * poller->subscribers.size() + 1);
        }
        add(poller->subscribers, *subscription, &PollSubscription::place_);
        try {
            add(poller->fresh, *subscription, &PollSubscription::fresh_place_);
        } catch (...) {
            // Undone, whatever the failure, and passed on.
            remove(poller->subscribers, *subscription, &PollSubscription::place_);
            throw;
        }
        subscription->first_look_ = poller->begun + 1;
    }
    // Outside the lock: a stream whose client has already gone tells the poller at once.
    stream->on_gone([subscriber = subscription.get()] { subscriber->polls_->gone(*subscriber); });
    return subscription;
}

void SharedPolls::leave(PollSubscription& subscriber) {
    sync::Lock lock(mutex_);
    Poller& poller = *subscriber.poller_;
    if (subscriber.place_ == PollSubscription::nowhere) return;
    remove(poller.subscribers, subscriber, &PollSubscription::place_);
    remove(poller.fresh, subscriber, &PollSubscription::fresh_place_);
    remove(poller.gone, subscriber, &PollSubscription::gone_place_);
    poller.due.erase({subscriber.conversation_at_, &subscriber});
}

void SharedPolls::gone(PollSubscription& subscriber) {
    sync::Lock lock(mutex_);
    if (subscriber.place_ == PollSubscription::nowhere || subscriber.gone_place_ != PollSubscription::nowhere) return;
    // Within the room subscribe kept: no allocation.
    add(subscriber.poller_->gone, subscriber, &PollSubscription::gone_place_);
}

void SharedPolls::conversation_at(PollSubscription& subscriber, std::uint64_t look) {
    sync::Lock lock(mutex_);
    if (subscriber.place_ == PollSubscription::nowhere) return;
    Poller& poller = *subscriber.poller_;
    poller.due.erase({subscriber.conversation_at_, &subscriber});
    subscriber.conversation_at_ = PollSubscription::never;
    if (look != PollSubscription::never) poller.due.insert({look, &subscriber});
    subscriber.conversation_at_ = look;
}

asio::awaitable<void> SharedPolls::run(std::shared_ptr<SharedPolls> self, std::shared_ptr<Poller> poller) {
    asio::steady_timer timer(co_await asio::this_coro::executor);
    const auto interval = poll_interval(*self->store_);
    try {
        while (true) {
            timer.expires_after(interval);
            co_await timer.async_wait(use_tuple);
            const Begun begun = self->begin_look(*poller);
            if (!begun.any) co_return;
            bool saw = false;
            bool failed = false;
            try {
                saw = co_await self->look(poller, begun.with_conversation);
            } catch (...) {
                // Its streams wait on this poller: whatever ended the look (the pool refusing
                // the task at the stop, a failure of the look's own), they are told it failed.
                failed = true;
            }
            self->hand_out(*poller, begun.number, saw, failed);
        }
    } catch (...) {
        // The poller's last line of defence (out of memory between looks): its streams wait on
        // it, so whatever ends it, they end as a poll that failed ends them.
        self->end(*poller);
    }
}

SharedPolls::Begun SharedPolls::begin_look(Poller& poller) {
    sync::Lock lock(mutex_);
    // No stream left: the key's poller ends here, under the lock a new subscriber takes, so the
    // next stream of the key starts a new one.
    if (poller.subscribers.empty()) {
        forget_locked(poller);
        return {};
    }
    // The earliest check decides: the look takes the fingerprint if any stream's is due by it.
    const bool with_conversation = !poller.due.empty() && poller.due.begin()->first <= poller.looks + 1;
    return {true, ++poller.begun, with_conversation};
}

asio::awaitable<bool> SharedPolls::look(std::shared_ptr<Poller> poller, bool with_conversation) {
    // Out of descriptors or memory the look has not seen the runs: it finds nothing and the next
    // look compares with the last one that did.
    try {
        // Given no stop, a look always gives one.
        auto observed = std::make_shared<const store::Observation>(
            *co_await look_at(*store_, *pool_, *lists_, poller->watched, with_conversation, poller->last.get()));
        const bool changed = !poller->last || observed->runs != poller->last->runs ||
                             observed->activity != poller->last->activity;
        poller->last = std::move(observed);
        ++poller->looks;
        if (changed) ++poller->changes;
        co_return true;
    } catch (const files::Exhausted&) {
    } catch (const std::bad_alloc&) {
    }
    co_return false;
}

void SharedPolls::hand_out(Poller& poller, std::uint64_t number, bool saw, bool failed) {
    const bool stopping = stopping_->load(std::memory_order_relaxed);
    const PollResult result{poller.last, poller.looks, failed};
    sync::Lock lock(mutex_);
    const std::uint64_t hand_out = ++poller.hand_outs;
    // Only the streams there were when the look began: it may be older than a later one's snapshot.
    const auto hand = [&](PollSubscription& subscriber) {
        if (subscriber.first_look_ > number) return false;
        if (subscriber.handed_ != hand_out) subscriber.deliver(result);
        subscriber.handed_ = hand_out;
        return true;
    };
    // From the back, so that the one that takes a place left has been seen already.
    const auto hand_each = [&](std::vector<PollSubscription*>& list, Place place) {
        for (std::size_t i = list.size(); i-- > 0;) {
            if (hand(*list[i])) remove(list, *list[i], place);
        }
    };
    if (failed || stopping || (saw && poller.changes != poller.changes_handed)) {
        // The stop checks are the stream's own, at each poll, and so is what a changed look holds for it.
        for (PollSubscription* subscriber : poller.subscribers) hand(*subscriber);
        if (saw) {
            poller.changes_handed = poller.changes;
            hand_each(poller.fresh, &PollSubscription::fresh_place_);
        }
        hand_each(poller.gone, &PollSubscription::gone_place_);
        return;
    }
    // An unchanged look: only the streams that have something to do with it get it. Every other
    // stream has been handed the latest change.
    if (saw) {
        hand_each(poller.fresh, &PollSubscription::fresh_place_);
        for (auto it = poller.due.begin(); it != poller.due.end() && it->first <= poller.looks; ++it) hand(*it->second);
    }
    hand_each(poller.gone, &PollSubscription::gone_place_);
}

void SharedPolls::forget_locked(const Poller& poller) {
    auto it = pollers_.find(poller.watched);
    if (it != pollers_.end() && it->second.get() == &poller) pollers_.erase(it);
}

void SharedPolls::end(Poller& poller) {
    sync::Lock lock(mutex_);
    forget_locked(poller);
    for (PollSubscription* subscriber : poller.subscribers) {
        subscriber->deliver(PollResult{nullptr, 0, true});
        subscriber->place_ = subscriber->fresh_place_ = subscriber->gone_place_ = PollSubscription::nowhere;
        subscriber->conversation_at_ = PollSubscription::never;
    }
    poller.subscribers.clear();
    poller.fresh.clear();
    poller.gone.clear();
    poller.due.clear();
}

}  // namespace korvalle::server
