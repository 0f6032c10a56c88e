// The telemetry cache's lock, through the stand-in tool: lookups get it in order of arrival, a
// cache hit too, with one child at a time; a lookup that goes away lets the next one go; and the
// stop starts no child, lets the running one finish within its grace for the lookups of its run,
// and refuses those that need another child.
#include "src/store/telemetry_cache.hpp"

#include "tests/support/process_watch.hpp"
#include "tests/support/run_builder.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <memory>
#include <optional>
#include <signal.h>
#include <sstream>
#include <string>
#include <vector>

namespace korvalle::testing {
namespace {

namespace fs = std::filesystem;
using store::Step;
using store::TelemetryCache;

const std::string fake = KORVALLE_BINARY_DIR "/tests/fake_korvalle";

// A lookup stepped by the test; its resume only marks it resumed.
class Asked {
public:
    Asked(TelemetryCache& cache, const RunsRoot& root, const std::string& run)
        : lookup_(cache, root.path().string(), *contract::RunId::make(run), store::RunSignature{1, 1, 1}) {}

    Step step() { return lookup_.step([this] { resumed_ = true; }); }
    // The step on a thread of its own, for one that runs a child.
    std::future<Step> step_aside() {
        return std::async(std::launch::async, [this] { return step(); });
    }
    bool resumed() const { return resumed_.load(); }
    const store::SharedTelemetry& telemetry() const { return lookup_.telemetry(); }

private:
    TelemetryCache::Lookup lookup_;
    std::atomic<bool> resumed_{false};
};

class TelemetryCacheLock : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("FAKE_KORVALLE_CALLS", (root_.path() / "calls").c_str(), 1);
        for (const char* run : {"r1", "r2", "r3"}) fs::create_directories(root_.path() / run);
    }
    void TearDown() override { ::unsetenv("FAKE_KORVALLE_CALLS"); }

    // Steers the stand-in for one run: its mode or its delay.
    void put(const std::string& run, const std::string& name, const std::string& content) {
        write_file(root_.path() / run / ("fake-telemetry." + name), content);
    }
    // What the stand-in's children recorded: "start RUN", "end RUN", "grandchild PID" lines.
    std::string calls() const { return read_text(root_.path() / "calls"); }

    RunsRoot root_;
    TelemetryCache cache_{fake};
};

TEST_F(TelemetryCacheLock, LookupsAreServedInOrderOfArrivalOneChildAtATime) {
    put("r1", "delay", "1000");  // the others queue while its child runs
    std::vector<std::unique_ptr<Asked>> asked;
    for (const char* run : {"r1", "r2", "r3", "r1"}) asked.push_back(std::make_unique<Asked>(cache_, root_, run));
    std::future<Step> first = asked[0]->step_aside();
    ASSERT_TRUE(eventually([&] { return calls() == "start r1\n"; }));
    // The last one will be a cache hit, and waits its turn all the same.
    for (std::size_t i = 1; i < asked.size(); ++i) EXPECT_EQ(asked[i]->step(), Step::Waits) << i;
    EXPECT_EQ(first.get(), Step::Done);
    for (std::size_t i = 1; i < asked.size(); ++i) {
        // Each gives the lock to the next in line only.
        for (std::size_t j = i; j < asked.size(); ++j) EXPECT_EQ(asked[j]->resumed(), j == i) << i << " " << j;
        EXPECT_EQ(asked[i]->step(), Step::Done) << i;
    }
    EXPECT_NE(asked[0]->telemetry(), nullptr);
    EXPECT_EQ(asked[3]->telemetry(), asked[0]->telemetry());
    EXPECT_EQ(calls(), "start r1\nend r1\nstart r2\nend r2\nstart r3\nend r3\n");
}

TEST_F(TelemetryCacheLock, ALookupThatGoesAwayLetsTheNextOneGo) {
    put("r1", "delay", "1000");
    Asked holder(cache_, root_, "r1");
    auto gone_waiting = std::make_unique<Asked>(cache_, root_, "r2");
    auto gone_holding = std::make_unique<Asked>(cache_, root_, "r3");
    Asked last(cache_, root_, "r1");
    std::future<Step> held = holder.step_aside();
    ASSERT_TRUE(eventually([&] { return calls() == "start r1\n"; }));
    for (Asked* waiter : {gone_waiting.get(), gone_holding.get(), &last}) EXPECT_EQ(waiter->step(), Step::Waits);

    gone_waiting.reset();  // leaves the queue: the lock passes it by
    EXPECT_EQ(held.get(), Step::Done);
    EXPECT_TRUE(gone_holding->resumed());
    EXPECT_FALSE(last.resumed());
    gone_holding.reset();  // handed the lock, and destroyed before its next step
    EXPECT_TRUE(last.resumed());
    EXPECT_EQ(last.step(), Step::Done);
    EXPECT_EQ(last.telemetry(), holder.telemetry());
    EXPECT_EQ(calls(), "start r1\nend r1\n");
}

// Queued behind the running child at the stop: a hit (r3's outcome kept before), a lookup that
// needs another child (r2) and one for the child's own run and signature (r1).
struct QueuedAtTheStop {
    explicit QueuedAtTheStop(TelemetryCache& cache, const RunsRoot& root)
        : hit(cache, root, "r3"), other(cache, root, "r2"), same(cache, root, "r1") {
        for (Asked* asked : {&hit, &other, &same}) EXPECT_EQ(asked->step(), Step::Waits);
    }
    Asked hit, other, same;
};

TEST_F(TelemetryCacheLock, StopLetsTheRunningChildFinishAndAnswersItsWaitersInFull) {
    Asked first(cache_, root_, "r3");
    ASSERT_EQ(first.step(), Step::Done);
    put("r1", "delay", "1000");
    Asked holder(cache_, root_, "r1");
    std::future<Step> held = holder.step_aside();
    ASSERT_TRUE(eventually([&] { return calls() == "start r3\nend r3\nstart r1\n"; }));
    QueuedAtTheStop queued(cache_, root_);

    cache_.stop();
    EXPECT_TRUE(queued.other.resumed());
    EXPECT_EQ(queued.other.step(), Step::Refused);
    // The hit is answered as the lock passes it, never ahead of it.
    EXPECT_FALSE(queued.hit.resumed());
    EXPECT_EQ(held.get(), Step::Done);
    ASSERT_NE(holder.telemetry(), nullptr);
    for (Asked* asked : {&queued.hit, &queued.same}) {
        EXPECT_TRUE(asked->resumed());
        EXPECT_EQ(asked->step(), Step::Done);
    }
    EXPECT_EQ(queued.hit.telemetry(), first.telemetry());
    EXPECT_EQ(queued.same.telemetry(), holder.telemetry());

    // After it, hits are still answered and nothing needing a child is started.
    Asked later_hit(cache_, root_, "r1"), later_miss(cache_, root_, "r2");
    EXPECT_EQ(later_hit.step(), Step::Done);
    EXPECT_EQ(later_miss.step(), Step::Refused);
    EXPECT_EQ(calls(), "start r3\nend r3\nstart r1\nend r1\n");
}

TEST_F(TelemetryCacheLock, StopsDeadlineKillsTheChildsGroupAndRefusesItsWaitersOnly) {
    Asked first(cache_, root_, "r3");
    ASSERT_EQ(first.step(), Step::Done);
    put("r1", "mode", "hang");  // the child and a grandchild in its group sleep for ever
    Asked holder(cache_, root_, "r1");
    ::testing::internal::CaptureStderr();
    std::future<Step> held = holder.step_aside();
    // Ends the child before the holder's thread is waited for, whatever the test found.
    const struct StopAtEnd {
        TelemetryCache& cache;
        ~StopAtEnd() { cache.stop(std::chrono::milliseconds(0)); }
    } stop_at_end{cache_};
    ASSERT_TRUE(eventually([&] { return calls().find("grandchild ") != std::string::npos; }));
    const pid_t group = ::getpgid(std::stoi(calls().substr(calls().find("grandchild ") + 11)));
    EXPECT_EQ(running_in_group(group).size(), 2u);
    QueuedAtTheStop queued(cache_, root_);

    cache_.stop(std::chrono::milliseconds(300));
    EXPECT_EQ(queued.other.step(), Step::Refused);
    if (held.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        ::kill(-group, SIGKILL);  // so that the holder's thread ends before the test does
        FAIL() << "the stop's deadline left the child running";
    }
    EXPECT_EQ(held.get(), Step::Refused);
    EXPECT_TRUE(eventually([&] { return running_in_group(group).empty(); }));
    EXPECT_EQ(queued.same.step(), Step::Refused);
    EXPECT_EQ(queued.hit.step(), Step::Done);
    EXPECT_EQ(queued.hit.telemetry(), first.telemetry());

    // Nothing was kept or said of the child killed, and no child is started after it.
    Asked after(cache_, root_, "r1");
    EXPECT_EQ(after.step(), Step::Refused);
    EXPECT_EQ(calls().find("start r2"), std::string::npos);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

}  // namespace
}  // namespace korvalle::testing
