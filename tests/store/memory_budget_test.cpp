// The budget of bytes: shares wait in order of arrival, a share larger than the budget goes
// alone, small shares never wait, and leases give their bytes back.
#include "src/store/memory_budget.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

namespace korvalle::testing {
namespace {

using store::MemoryBudget;

void wait_for_waiters(const MemoryBudget& budget, std::uint64_t count) {
    while (budget.figures().waiting != count) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TEST(MemoryBudget, SharesWaitInOrderOfArrivalAndALargeOneGoesAlone) {
    auto budget = MemoryBudget::make(100);
    MemoryBudget::Lease held = budget->acquire(60);
    const auto take = [&](std::uint64_t bytes) { MemoryBudget::Lease lease = budget->acquire(bytes); };
    // 50 does not fit beside 60; 10 would, but comes after it; 250 is larger than the budget.
    std::jthread first(take, 50);
    wait_for_waiters(*budget, 1);
    std::jthread second(take, 10);
    wait_for_waiters(*budget, 2);
    std::jthread third(take, 250);
    wait_for_waiters(*budget, 3);
    EXPECT_EQ(budget->figures().held, 60u);
    held.resize(80);  // grows past nothing that waits
    EXPECT_EQ(budget->figures().held, 80u);
    held.release();
    first.join();
    second.join();
    third.join();
    EXPECT_EQ(budget->figures().held, 0u);
    EXPECT_EQ(budget->figures().peak, 250u);  // the large one went alone
    EXPECT_EQ(budget->figures().waits, 3u);
}

// Fits first: a newcomer that fits passes a large share that waits; the waiters keep their turn.
TEST(MemoryBudget, FitsFirstLetsASmallShareByALargeOneThatWaits) {
    auto budget = MemoryBudget::make(100, 0, MemoryBudget::Order::FitsFirst);
    MemoryBudget::Lease held = budget->acquire(60);
    std::jthread large([&] { MemoryBudget::Lease lease = budget->acquire(80); });
    wait_for_waiters(*budget, 1);
    MemoryBudget::Lease small = budget->acquire(30);  // would block the test if it waited
    EXPECT_EQ(budget->figures().held, 90u);
    held.release();
    small.release();
    large.join();
    EXPECT_EQ(budget->figures().held, 0u);
}

TEST(MemoryBudget, SharesBelowTheExemptionNeverWait) {
    auto budget = MemoryBudget::make(100, 10);
    MemoryBudget::Lease full = budget->acquire(100);
    MemoryBudget::Lease small = budget->acquire(9);  // would block the test if it waited
    EXPECT_EQ(budget->figures().held, 109u);
    MemoryBudget::Lease moved = std::move(small);
    moved = MemoryBudget::Lease();
    EXPECT_EQ(budget->figures().held, 100u);
    EXPECT_EQ(budget->figures().waits, 0u);
}

}  // namespace
}  // namespace korvalle::testing
