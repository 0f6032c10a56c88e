// The shared poll in the process: a real store over a runs root on disk, the blocking pool, and
// event streams with no connection, whose client leaves as a connection makes it leave
// (release). What a stream reads of the looks is the events tests' (events_test.cpp); these
// check who is handed a look over an unchanged root and when a stream leaves its poller. Every
// wait is bounded and fails only when a look never comes.
#include "src/api/shared_poll.hpp"
#include "tests/support/process_watch.hpp"
#include "tests/support/server_fixture.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_future.hpp>

#include <cstdlib>
#include <future>
#include <thread>

namespace korvalle::testing {
namespace {

using namespace std::chrono_literals;
namespace asio = boost::asio;
using server::EventStream;
using server::PollResult;
using server::PollSubscription;
using server::SharedPolls;

// A store polling every 10 ms with its pollers on one io_context thread.
class SharedPollTest : public ::testing::Test {
protected:
    SharedPollTest() {
        add_run(root_, "run-a", "2026-03-02T09:00:00.000Z");
        store_ = std::make_shared<const store::RunStore>(store::RunStore::new_polling_every(root_.path().string(), 10));
        polls_ = std::make_shared<SharedPolls>(store_, pool_, std::make_shared<server::SharedLists>(store_, pool_), stopping_);
        thread_ = std::thread([this] { ioc_.run(); });
    }
    ~SharedPollTest() override {
        work_.reset();
        ioc_.stop();
        thread_.join();
        pool_->shutdown();
    }

    // Runs f on the io_context and returns what it returns.
    template <class F>
    auto on_io(F f) {
        std::packaged_task<decltype(f())()> task(std::move(f));
        auto done = task.get_future();
        asio::post(ioc_, [&task] { task(); });
        return done.get();
    }
    // The next result handed to subscription, within 20 s.
    PollResult next(PollSubscription& subscription) {
        auto result = asio::co_spawn(ioc_, subscription.next(), asio::use_future);
        if (result.wait_for(20s) != std::future_status::ready) {
            ADD_FAILURE() << "no look was handed to the stream";
            std::abort();  // the coroutine still refers to the subscription
        }
        return result.get();
    }
    std::shared_ptr<EventStream> stream() { return std::make_shared<EventStream>(ioc_.get_executor(), 1s); }
    std::unique_ptr<PollSubscription> subscribe(std::shared_ptr<EventStream> stream,
                                                std::optional<std::string> watched = std::nullopt) {
        return on_io([&] { return polls_->subscribe(watched, ioc_.get_executor(), stream); });
    }
    void leave(std::unique_ptr<PollSubscription>& subscription) {
        on_io([&] { subscription.reset(); });
    }

    RunsRoot root_;
    std::shared_ptr<const store::RunStore> store_;
    std::shared_ptr<server::BlockingPool> pool_ = std::make_shared<server::BlockingPool>();
    std::shared_ptr<std::atomic<bool>> stopping_ = std::make_shared<std::atomic<bool>>(false);
    std::shared_ptr<SharedPolls> polls_;
    asio::io_context ioc_;
    asio::executor_work_guard<asio::io_context::executor_type> work_ = asio::make_work_guard(ioc_);
    std::thread thread_;
};

TEST_F(SharedPollTest, AStreamWhoseClientLeftIsHandedTheNextLookOfAnUnchangedRoot) {
    auto staying_stream = stream();
    auto leaving_stream = stream();
    auto staying = subscribe(staying_stream);
    auto leaving = subscribe(leaving_stream);
    // Each is handed the first look after it joined; the root does not change after that.
    const PollResult first = next(*leaving);
    EXPECT_FALSE(first.failed);
    ASSERT_TRUE(first.observed);
    next(*staying);

    on_io([&] { leaving_stream->release(); });
    const PollResult after = next(*leaving);
    EXPECT_TRUE(leaving_stream->closed());
    EXPECT_FALSE(after.failed);
    ASSERT_TRUE(after.observed);
    EXPECT_GT(after.look, first.look);
    EXPECT_EQ(after.observed->runs, first.observed->runs) << "the root changed: the look went to every stream";
    leave(leaving);

    // The other stream stays on the poll and is handed the next change.
    append_file(root_.path() / "run-a" / "events.jsonl",
                envelope_line({.ts = "2026-03-02T09:10:00.000Z", .kind = "note"}) + "\n");
    const PollResult changed = next(*staying);
    ASSERT_TRUE(changed.observed);
    EXPECT_NE(changed.observed->runs, first.observed->runs);
    EXPECT_FALSE(staying_stream->closed());
    leave(staying);
}

TEST_F(SharedPollTest, AStreamWhoseClientLeftBeforeItSubscribedIsHandedItsFirstLookAndNoMore) {
    auto gone_stream = stream();
    on_io([&] { gone_stream->release(); });
    auto gone = subscribe(gone_stream);
    EXPECT_FALSE(next(*gone).failed);
    EXPECT_TRUE(gone_stream->closed());
    leave(gone);
    // Its callback went with the subscription: a second release finds nothing to tell.
    on_io([&] { gone_stream->release(); });
}

// A check due at a look is handed that look even when nothing changed, and the look takes the
// conversation signature; streams whose checks fall at different looks each get their own. The
// poller's side of the checks is the same for every key; over the root (here) its looks are
// unchanged ones, where a watched run's looks read its activity again each time.
TEST_F(SharedPollTest, ConversationChecksComeAtTheLookEachStreamSetOverAnUnchangedRun) {
    auto early_stream = stream();
    auto late_stream = stream();
    auto early = subscribe(early_stream);
    auto late = subscribe(late_stream);
    const PollResult first = next(*early);
    next(*late);
    ASSERT_TRUE(first.observed);
    const std::uint64_t early_due = first.look + 4;
    const std::uint64_t late_due = first.look + 7;
    on_io([&] {
        early->conversation_at(early_due);
        late->conversation_at(late_due);
    });
    for (auto [subscription, due] : {std::pair{early.get(), early_due}, std::pair{late.get(), late_due}}) {
        const PollResult checked = next(*subscription);
        ASSERT_TRUE(checked.observed);
        EXPECT_GE(checked.look, due) << "an unchanged look was handed before the check";
        EXPECT_TRUE(checked.observed->conversation_taken);
        EXPECT_EQ(checked.observed->runs, first.observed->runs) << "the root changed: the look went to every stream";
    }
    // No check due and nothing changed: neither is handed a look, and they leave.
    on_io([&] {
        early->conversation_at(PollSubscription::never);
        late->conversation_at(PollSubscription::never);
    });
    leave(early);
    leave(late);
}

// The last stream of a key leaving ends the key's poller at its next interval: a stream that
// joins after that starts a new poller, whose looks count from 1 again.
TEST_F(SharedPollTest, AKeysPollerEndsOnceItsStreamsHaveLeft) {
    auto watching_stream = stream();
    auto watching = subscribe(watching_stream, "run-a");
    auto other_stream = stream();
    auto other = subscribe(other_stream, "run-a");
    next(*watching);
    next(*other);
    // While they stay, a newcomer joins their poller: its first look is past the first.
    auto newcomer_stream = stream();
    auto newcomer = subscribe(newcomer_stream, "run-a");
    EXPECT_GT(next(*newcomer).look, 1u);
    leave(newcomer);

    leave(watching);
    leave(other);
    const auto starts_anew = [&] {
        auto again_stream = stream();
        auto again = subscribe(again_stream, "run-a");
        const bool first = next(*again).look == 1;
        leave(again);
        return first;
    };
    EXPECT_TRUE(eventually(starts_anew, 20s));
}

}  // namespace
}  // namespace korvalle::testing
