// The store's pool of openers: every index once, never more tasks at once than threads, however
// many walks run together, and a failing task's exception back at its caller.
#include "src/store/open_pool.hpp"

#include <gtest/gtest.h>

#include <atomic>
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

}  // namespace
}  // namespace korvalle::store
