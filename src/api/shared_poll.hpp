// One poll per interval for every event stream of the same key: the runs root (no run watched)
// or one watched run. Each key's poller is a coroutine on the io_context that waits the poll
// interval, takes one look at the runs (look_at: no thread held while it waits), and hands it
// to the streams subscribed when the look began that have something to do with it: a look that
// differs from the last one handed to them, their conversation check falling due, their client
// gone or the server stopping. Each stream then compares the look with what it saw before
// (store::Frames::advance).
//
// An interval's work is proportional to the streams that have something to do, not to the
// streams there are: a stream leaves its poller when its pump lets go of the subscription, its
// event stream tells the poller when its client goes, the conversation checks wait in order of
// their look, and streams new since the last look wait apart. So N streams over an unchanged root
// cost one look per interval, as one stream does. A changed look, a failed one and the stop go to
// every stream: what each makes of them is its own work.
//
// A key's poller starts with its first subscriber and ends at the first interval that finds
// none left. A look shares the parts that did not change with the look before, which is how the
// poller tells a changed look.
#pragma once

#include "sdk/base/thread_safety.hpp"
#include "src/http/event_stream.hpp"
#include "src/api/shared_lists.hpp"
#include "src/http/pool.hpp"
#include "src/store/change_feed.hpp"
#include "src/store/store.hpp"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace korvalle::server {

// The poll interval as a timer duration. The command line takes any 64-bit number of
// milliseconds; a year is as good as forever for a poll and keeps the timer's arithmetic in range.
std::chrono::milliseconds poll_interval(const store::RunStore& store);

// One look at the runs as the streams of a key take it: the whole root from a walk shared with
// the other requests (store::observe_walk), or the watched run found by name in steps
// (store::RunFinding, never refused) and looked at on the pool (store::observe_run). Holds no
// thread while it waits. Throws what failed the walk or the look (files::Exhausted,
// std::bad_alloc among them). stop, if given: once it is set, the look begins no walk, no step
// of the finding and no look at the run, wherever it is, and gives none.
boost::asio::awaitable<std::optional<store::Observation>> look_at(
    const store::RunStore& store, BlockingPool& pool, SharedLists& lists, std::optional<std::string> watched,
    bool with_conversation, const store::Observation* last,
    std::shared_ptr<const std::atomic<bool>> stop = nullptr);

// What a poll hands a stream.
struct PollResult {
    // The key's latest look that saw the runs (null before the first), and its number among
    // those looks, counted from 1. A look that ran out of descriptors or memory has not seen the
    // runs: it is not counted and changes nothing.
    store::SharedObservation observed;
    std::uint64_t look = 0;
    // The poll's task could not run or failed: the streams end and their clients reconnect.
    bool failed = false;
};

class PollSubscription;

// The pollers of one store, one per key while it has streams.
class SharedPolls : public std::enable_shared_from_this<SharedPolls> {
public:
    SharedPolls(std::shared_ptr<const store::RunStore> store, std::shared_ptr<BlockingPool> pool,
                std::shared_ptr<SharedLists> lists, std::shared_ptr<const std::atomic<bool>> stopping);

    // Subscribes a stream to the poll of its key (the watched run, else the root), starting the
    // key's poller on the executor when none runs. Only looks that begin after the call reach
    // the stream, so a stream subscribes once its snapshot has read the runs: no look it is
    // handed is older than what it saw, and the first is always handed to it. Called on the
    // stream's executor, which the subscription then belongs to; the stream leaves its poller
    // when the subscription is destroyed.
    std::unique_ptr<PollSubscription> subscribe(const std::optional<std::string>& watched,
                                                boost::asio::any_io_executor executor,
                                                std::shared_ptr<EventStream> stream) EXCLUDES(mutex_);

private:
    friend class PollSubscription;
    struct Poller;
    struct Begun {
        bool any = false;  // a stream was subscribed when the look began
        std::uint64_t number = 0;  // the look's number among those begun, from 1
        bool with_conversation = false;
    };
    using Place = std::size_t PollSubscription::*;
    // A subscriber's place in one of its poller's lists; under the lock.
    static void add(std::vector<PollSubscription*>& list, PollSubscription& subscriber, Place place);
    static void remove(std::vector<PollSubscription*>& list, PollSubscription& subscriber, Place place);

    static boost::asio::awaitable<void> run(std::shared_ptr<SharedPolls> self, std::shared_ptr<Poller> poller);
    Begun begin_look(Poller& poller) EXCLUDES(mutex_);
    boost::asio::awaitable<bool> look(std::shared_ptr<Poller> poller, bool with_conversation);
    void hand_out(Poller& poller, std::uint64_t number, bool saw, bool failed) EXCLUDES(mutex_);
    void end(Poller& poller) EXCLUDES(mutex_);
    void forget_locked(const Poller& poller) REQUIRES(mutex_);
    // From a subscription, on its stream's executor.
    void leave(PollSubscription& subscriber) EXCLUDES(mutex_);
    void gone(PollSubscription& subscriber) EXCLUDES(mutex_);
    void conversation_at(PollSubscription& subscriber, std::uint64_t look) EXCLUDES(mutex_);

    const std::shared_ptr<const store::RunStore> store_;
    const std::shared_ptr<BlockingPool> pool_;
    const std::shared_ptr<SharedLists> lists_;
    const std::shared_ptr<const std::atomic<bool>> stopping_;
    // Over the map, and over every poller's lists and its subscribers' places in them (members
    // of other objects, which the analysis cannot tie to this lock: their comments say so, and
    // only the functions above that take it touch them).
    sync::Mutex mutex_;
    std::map<std::optional<std::string>, std::shared_ptr<Poller>> pollers_ GUARDED_BY(mutex_);
};

// One stream's place at its key's poll, owned by the stream's pump and used on the stream's
// executor. Destroying it leaves the poll.
class PollSubscription {
public:
    static constexpr std::uint64_t never = std::numeric_limits<std::uint64_t>::max();

    PollSubscription(const PollSubscription&) = delete;
    PollSubscription& operator=(const PollSubscription&) = delete;
    ~PollSubscription();

    // Waits until a poll hands the stream something and gives it. When several did since the
    // last call, the latest (a failure is never hidden).
    boost::asio::awaitable<PollResult> next();

    // The number of the look at which the stream's next poll compares the watched run's
    // conversation fingerprint (0: the first look handed to it; never: no run is watched). From
    // that look on, the poller takes the fingerprint and hands the stream every look.
    void conversation_at(std::uint64_t look) { polls_->conversation_at(*this, look); }

private:
    friend class SharedPolls;
    static constexpr std::size_t nowhere = std::numeric_limits<std::size_t>::max();

    // Where results wait for next(): the poller posts to it from any thread, so a result posted
    // just before the subscription is destroyed still finds it.
    struct Mailbox {
        explicit Mailbox(boost::asio::any_io_executor executor) : executor(executor), wake(executor) {}
        boost::asio::any_io_executor executor;
        boost::asio::steady_timer wake;  // next() waits here; a delivery cancels it
        std::optional<PollResult> pending;
    };

    PollSubscription(std::shared_ptr<SharedPolls> polls, std::shared_ptr<SharedPolls::Poller> poller,
                     boost::asio::any_io_executor executor, std::shared_ptr<EventStream> stream);
    // From the poller, under its lock: the result waits on the stream's executor for next().
    void deliver(const PollResult& result);

    std::shared_ptr<SharedPolls> polls_;
    std::shared_ptr<SharedPolls::Poller> poller_;
    std::shared_ptr<Mailbox> mailbox_;
    std::shared_ptr<EventStream> stream_;
    // The poller's, under SharedPolls::mutex_: the subscriber's places in its poller's lists
    // (nowhere: not in it), the number of the first look it may be handed, its conversation
    // check and the hand-out that last gave it a result.
    std::size_t place_ = nowhere;        // every subscriber, until it leaves
    std::size_t fresh_place_ = nowhere;  // not yet handed a look that saw the runs
    std::size_t gone_place_ = nowhere;   // its client has gone since it was last handed a result
    std::uint64_t first_look_ = 0;
    std::uint64_t conversation_at_ = never;
    std::uint64_t handed_ = 0;
};

}  // namespace korvalle::server
