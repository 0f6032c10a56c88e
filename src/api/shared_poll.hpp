// One poll per interval for every event stream of the same key: the runs root (no run watched)
// or one watched run. Each key's poller is a coroutine on the io_context that waits the poll
// interval, takes one look at the runs (store::observe) on a blocking-pool thread, and hands it
// to the streams subscribed when the look began that have something to do with it: a look that
// differs from the last one handed to them, their conversation check falling due, their client
// gone or the server stopping. Each stream then compares the look with what it saw before
// (store::Frames::advance). N streams over an unchanged root cost one look per interval and no
// per-stream work but a check of a few words.
//
// A key's poller starts with its first subscriber and ends at the first interval that finds
// none left. A look shares the parts that did not change with the look before, which is how the
// poller tells a changed look.
#pragma once

#include "src/http/event_stream.hpp"
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
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace korvalle::server {

// The poll interval as a timer duration. The command line takes any 64-bit number of
// milliseconds; a year is as good as forever for a poll and keeps the timer's arithmetic in range.
std::chrono::milliseconds poll_interval(const store::RunStore& store);

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

// One stream's place at its key's poll. next() and conversation_at() belong to the stream's
// executor.
class PollSubscription : public std::enable_shared_from_this<PollSubscription> {
public:
    static constexpr std::uint64_t never = std::numeric_limits<std::uint64_t>::max();

    PollSubscription(boost::asio::any_io_executor executor, std::shared_ptr<const EventStream> stream);

    // Waits until a poll hands the stream something and gives it. When several did since the
    // last call, the latest (a failure is never hidden).
    boost::asio::awaitable<PollResult> next();

    // The number of the look at which the stream's next poll compares the watched run's
    // conversation signature (0: the first look handed to it; never: no run is watched). From
    // that look on, the poller takes the signature and hands the stream every look.
    void conversation_at(std::uint64_t look) { conversation_at_.store(look, std::memory_order_relaxed); }

private:
    friend class SharedPolls;
    // From the poller, on any thread: the result waits on the stream's executor for next().
    void deliver(PollResult result);

    boost::asio::any_io_executor executor_;
    boost::asio::steady_timer wake_;  // next() waits here; a delivery cancels it
    std::optional<PollResult> pending_;
    std::shared_ptr<const EventStream> stream_;
    std::atomic<std::uint64_t> conversation_at_{never};
    std::uint64_t changes_seen_ = never;  // the poller's, under its lock: none handed yet
};

// The pollers of one store, one per key while it has streams.
class SharedPolls : public std::enable_shared_from_this<SharedPolls> {
public:
    SharedPolls(std::shared_ptr<const store::RunStore> store, std::shared_ptr<BlockingPool> pool,
                std::shared_ptr<const std::atomic<bool>> stopping);

    // Subscribes a stream to the poll of its key (the watched run, else the root), starting the
    // key's poller on the executor when none runs. Only looks that begin after the call reach
    // the stream, so a stream subscribes once its snapshot has read the runs: no look it is
    // handed is older than what it saw, and the first is always handed to it. The stream
    // leaves by dropping the subscription.
    std::shared_ptr<PollSubscription> subscribe(const std::optional<std::string>& watched,
                                                boost::asio::any_io_executor executor,
                                                std::shared_ptr<const EventStream> stream);

private:
    struct Poller;
    struct Begun {
        std::size_t subscribers = 0;  // those present when the look began
        bool with_conversation = false;
    };
    static boost::asio::awaitable<void> run(std::shared_ptr<SharedPolls> self, std::shared_ptr<Poller> poller);
    Begun begin_look(Poller& poller);
    boost::asio::awaitable<bool> look(std::shared_ptr<Poller> poller, bool with_conversation);
    void hand_out(Poller& poller, std::size_t subscribers, bool saw, bool failed);
    void end(Poller& poller);
    void forget_locked(const Poller& poller);

    std::shared_ptr<const store::RunStore> store_;
    std::shared_ptr<BlockingPool> pool_;
    std::shared_ptr<const std::atomic<bool>> stopping_;
    std::mutex mutex_;  // over the map and every poller's subscribers
    std::map<std::optional<std::string>, std::shared_ptr<Poller>> pollers_;
};

}  // namespace korvalle::server
