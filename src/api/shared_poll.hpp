// One poll per interval for every event stream of the same key: the runs root (no run watched)
// or one watched run. Each key's poller is a coroutine on the io_context that waits the poll
// interval, takes one look at the runs (store::observe) on a blocking-pool thread, and hands
// that look to every stream subscribed when the look began; each stream then compares it with
// what it saw before (store::Frames::advance), so N streams cost one look, not N.
//
// A key's poller starts with its first subscriber and ends at the first interval that finds
// none left. The look shares the parts that did not change with the look before, so a stream
// whose runs did not change finds the same object and does no work.
#pragma once

#include "src/http/pool.hpp"
#include "src/store/change_feed.hpp"
#include "src/store/store.hpp"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <chrono>
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

// What one poll hands its streams.
struct PollResult {
    // The look, or null when the poll ran out of descriptors or memory and found nothing.
    store::SharedObservation observed;
    // The poll's task could not run or failed: the streams end and their clients reconnect.
    bool failed = false;
};

// One stream's place at its key's poll. It belongs to the stream's executor: next() and
// want_conversation() are called there only.
class PollSubscription : public std::enable_shared_from_this<PollSubscription> {
public:
    explicit PollSubscription(boost::asio::any_io_executor executor);

    // Waits for the end of the next poll and gives its result. When several polls ended since
    // the last call, the latest look (a poll that found nothing never hides one that found
    // something, and a failure is never hidden).
    boost::asio::awaitable<PollResult> next();

    // Whether the stream's next poll compares the watched run's conversation signature: the
    // poller then takes it in its look.
    void want_conversation(bool wanted) { wants_conversation_.store(wanted, std::memory_order_relaxed); }

private:
    friend class SharedPolls;
    // From the poller, on any thread: the result waits on the stream's executor for next().
    void deliver(PollResult result);
    bool wants_conversation() const { return wants_conversation_.load(std::memory_order_relaxed); }

    boost::asio::any_io_executor executor_;
    boost::asio::steady_timer wake_;  // next() waits here; a delivery cancels it
    std::optional<PollResult> pending_;
    std::atomic<bool> wants_conversation_{false};
};

// The pollers of one store, one per key while it has streams.
class SharedPolls : public std::enable_shared_from_this<SharedPolls> {
public:
    SharedPolls(std::shared_ptr<const store::RunStore> store, std::shared_ptr<BlockingPool> pool);

    // Subscribes a stream to the poll of its key (the watched run, else the root), starting the
    // key's poller on the executor when none runs. Only polls that begin after the call reach
    // the stream, so a stream subscribes once its snapshot has read the runs: no look it is
    // handed is older than what it saw. The stream leaves by dropping the subscription.
    std::shared_ptr<PollSubscription> subscribe(const std::optional<std::string>& watched,
                                                boost::asio::any_io_executor executor);

private:
    struct Poller;
    static boost::asio::awaitable<void> run(std::shared_ptr<SharedPolls> self, std::shared_ptr<Poller> poller);
    std::vector<std::shared_ptr<PollSubscription>> subscribers_now(Poller& poller, bool& with_conversation);
    boost::asio::awaitable<PollResult> look(std::shared_ptr<Poller> poller, bool with_conversation);
    // Ends the poller after a failure: its streams are handed the failure.
    void end(Poller& poller);
    void forget_locked(const Poller& poller);

    std::shared_ptr<const store::RunStore> store_;
    std::shared_ptr<BlockingPool> pool_;
    std::mutex mutex_;  // over the map and every poller's subscribers
    std::map<std::optional<std::string>, std::shared_ptr<Poller>> pollers_;
};

}  // namespace korvalle::server
