// The store's pool of openers: every index once, never more tasks at once than threads, however
// many walks run together, and a failing task's exception back at its caller; the shards of a job
// run with their caller taking part, from a walk's task too, and a journal parsed in shards on
// the pool's threads making the view an open on one thread makes.
#include "src/store/open_pool.hpp"

#include "sdk/base/clock.hpp"
#include "sdk/run/views.hpp"
#include "tests/support/at_once.hpp"
#include "tests/support/run_builder.hpp"
#include "tests/support/same_view.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <latch>
#include <numeric>
#include <ranges>
#include <stdexcept>
#include <thread>
#include <vector>

namespace korvalle::store {
namespace {

TEST(OpenPool, ConcurrentWalksShareTheBoundAndVisitEveryIndexOnce) {
    OpenPool pool(3);
    std::atomic<int> running{0};
    std::atomic<int> most{0};
    std::vector<std::vector<std::atomic<int>>> visits(8);
    for (auto& walk : visits) walk = std::vector<std::atomic<int>>(50);
    std::vector<std::thread> callers;
    for (std::size_t w = 0; w < visits.size(); ++w) {
        callers.emplace_back([&, w] {
            pool.run_each(visits[w].size(), [&](std::size_t i) {
                const int now = ++running;
                for (int seen = most.load(); now > seen && !most.compare_exchange_weak(seen, now);) {
                }
                std::this_thread::yield();
                ++visits[w][i];
                --running;
            });
        });
    }
    for (auto& caller : callers) caller.join();
    for (const auto& walk : visits) {
        for (const auto& count : walk) EXPECT_EQ(count.load(), 1);
    }
    EXPECT_LE(most.load(), 3);
    pool.run_each(0, [](std::size_t) { FAIL(); });
}

TEST(OpenPool, AFailingTaskFailsItsWalkOnlyAndThePoolGoesOn) {
    OpenPool pool(2);
    EXPECT_THROW(pool.run_each(20, [](std::size_t i) {
        if (i == 3) throw std::runtime_error("no memory");
    }), std::runtime_error);
    std::atomic<int> visited{0};
    pool.run_each(20, [&](std::size_t) { ++visited; });
    EXPECT_EQ(visited.load(), 20);
    EXPECT_GE(OpenPool::core_count(), 1u);
}

// Whether every index was run exactly once.
bool each_once(const std::vector<std::atomic<int>>& visits) {
    return std::ranges::all_of(visits, [](const auto& count) { return count.load() == 1; });
}

// A walk's tasks that run shards of their own never wait for a thread: with every thread busy
// in the walk, each task runs its shards itself.
TEST(OpenPool, ShardsRunFromAWalksTasksTakeNoThreadTheyWaitFor) {
    for (const std::size_t threads : {1, 3}) {
        OpenPool pool(threads);
        std::vector<std::atomic<int>> visits(6 * 9);
        pool.run_each(6, [&](std::size_t task) {
            pool.run(9, [&](std::size_t shard) { ++visits[task * 9 + shard]; }, {});
        });
        EXPECT_TRUE(each_once(visits)) << threads;
    }
}

// The caller runs shards itself, and takes their results in on its own thread, in order, each
// after its shard; a failing shard, or a failure taking one in, fails the job only.
TEST(OpenPool, TheCallerTakesPartInItsShardsAndTakesThemInInOrder) {
    OpenPool pool(4);
    const std::thread::id caller = std::this_thread::get_id();
    std::vector<std::atomic<int>> visits(40);
    std::atomic<bool> caller_ran{false};
    std::vector<std::size_t> taken_in;  // the shards taken in after they ran, on the caller's thread
    const auto shard = [&](std::size_t i) {
        ++visits[i];
        if (std::this_thread::get_id() == caller) caller_ran = true;
    };
    pool.run(visits.size(), shard, [&](std::size_t i) {
        if (visits[i] == 1 && std::this_thread::get_id() == caller) taken_in.push_back(i);
    });
    EXPECT_TRUE(each_once(visits));
    EXPECT_TRUE(caller_ran);
    std::vector<std::size_t> in_order(visits.size());
    std::iota(in_order.begin(), in_order.end(), std::size_t{0});
    EXPECT_EQ(taken_in, in_order);

    const auto fail_at_3 = [](std::size_t i) {
        if (i == 3) throw std::runtime_error("no memory");
    };
    EXPECT_THROW(pool.run(20, fail_at_3, {}), std::runtime_error);
    std::size_t last_taken_in = 0;
    EXPECT_THROW(pool.run(20, [](std::size_t) {}, [&](std::size_t i) { fail_at_3(last_taken_in = i); }),
                 std::runtime_error);
    EXPECT_EQ(last_taken_in, 3u);
    visits = std::vector<std::atomic<int>>(20);
    pool.run(visits.size(), shard, {});
    EXPECT_TRUE(each_once(visits));
}

// Idle threads count, started or not; while a walk waits for threads, none does.
TEST(OpenPool, WidthIsTheCallerAndTheIdleThreads) {
    OpenPool pool(2);
    EXPECT_EQ(pool.width(), 3u);
    std::latch started(2);
    std::latch release(1);
    std::thread walk([&] {
        pool.run_each(3, [&](std::size_t i) {
            if (i < 2) {
                started.count_down();
                release.wait();
            }
        });
    });
    started.wait();
    EXPECT_EQ(pool.width(), 1u);
    release.count_down();
    walk.join();
}

// Journals parsed in shards on the pool, by opens on several threads at once, make the views an
// open on one thread makes.
TEST(OpenPool, JournalsParsedOnThePoolMakeTheViewsOfOneThread) {
    testing::RunsRoot root;
    auto run = root.run("r");
    run.launch();
    std::string text;
    for (int i = 0; i < 4000; ++i) {
        // Every 500th envelope is late: the shards' orders are merged.
        const int ms = i % 500 == 0 ? 100 * i - 3'000 : 100 * i;
        text += testing::envelope_line({.ts = *clock::format_utc_ms(1'772'442'000'000 + ms), .source = "morvane",
                                        .kind = "turn-activity", .stream = "agent", .seq = static_cast<std::uint64_t>(i),
                                        .labels = R"({"node":"n)" + std::to_string(i % 7) + R"(","round":1})",
                                        .payload = R"({"name":"step","detail":"€ )" + std::to_string(i) + R"("})"}) +
                "\r\n";
    }
    run.journal_bytes(text);
    const ledger::RunPaths paths{run.id(), run.dir()};
    const views::RunView one = views::RunView::open(paths).value();
    OpenPool pool(4);
    const auto views = testing::at_once(6, [&](int) {
        return std::make_shared<views::RunView>(views::RunView::open(paths, std::nullopt, {&pool, 9000}).value());
    });
    ASSERT_TRUE(one.checkpoint);
    for (const auto& view : views) EXPECT_EQ(testing::view_differences(*view, one), "");
}

}  // namespace
}  // namespace korvalle::store
