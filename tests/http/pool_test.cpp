// The blocking pool: it grows past blocked tasks and lets idle threads leave.
#include "src/http/pool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

namespace korvalle::server {
namespace {

TEST(BlockingPool, GrowsBeyondBlockedTasksSoNewWorkIsNeverStarved) {
    BlockingPool pool(64, std::chrono::milliseconds(200));
    std::mutex m;
    std::condition_variable cv;
    bool release = false;
    std::atomic<int> done{0};
    // 32 tasks that block until released, then one that must still run at once.
    for (int i = 0; i < 32; ++i) {
        pool.submit([&] {
            std::unique_lock lock(m);
            cv.wait(lock, [&] { return release; });
            ++done;
        });
    }
    std::promise<void> ran;
    pool.submit([&] { ran.set_value(); });
    EXPECT_EQ(ran.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_GE(pool.thread_count(), 33u);
    {
        std::lock_guard lock(m);
        release = true;
    }
    cv.notify_all();
    pool.shutdown();
    EXPECT_EQ(done.load(), 32);
    EXPECT_EQ(pool.thread_count(), 0u);
}

TEST(BlockingPool, IdleThreadsLeaveAndTasksStillRunAfterwards) {
    BlockingPool pool(8, std::chrono::milliseconds(50));
    std::promise<void> first;
    pool.submit([&] { first.set_value(); });
    first.get_future().wait();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(pool.thread_count(), 0u);
    std::promise<void> second;
    pool.submit([&] { second.set_value(); });
    EXPECT_EQ(second.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
}

}  // namespace
}  // namespace korvalle::server
