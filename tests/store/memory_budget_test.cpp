// The budget of bytes: shares wait in order of arrival, a share larger than the budget goes
// alone, small shares never wait, leases give their bytes back, and a caller who asks without
// blocking is told, or refused past the queue's bound and at the stop.
#include "src/store/memory_budget.hpp"
#include "src/store/blocking.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace korvalle::testing {
namespace {

using store::MemoryBudget;

void wait_for_waiters(const MemoryBudget& budget, std::uint64_t count) {
    while (budget.figures().waiting != count) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TEST(MemoryBudget, SharesWaitInOrderOfArrivalAndALargeOneGoesAlone) {
    auto budget = MemoryBudget::make(100);
    MemoryBudget::Lease held = store::blocking::acquire(*budget, 60);
    const auto take = [&](std::uint64_t bytes) { MemoryBudget::Lease lease = store::blocking::acquire(*budget, bytes); };
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
    MemoryBudget::Lease held = store::blocking::acquire(*budget, 60);
    std::jthread large([&] { MemoryBudget::Lease lease = store::blocking::acquire(*budget, 80); });
    wait_for_waiters(*budget, 1);
    MemoryBudget::Lease small = store::blocking::acquire(*budget, 30);  // would block the test if it waited
    EXPECT_EQ(budget->figures().held, 90u);
    held.release();
    small.release();
    large.join();
    EXPECT_EQ(budget->figures().held, 0u);
}

TEST(MemoryBudget, SharesBelowTheExemptionNeverWait) {
    auto budget = MemoryBudget::make(100, 10);
    MemoryBudget::Lease full = store::blocking::acquire(*budget, 100);
    MemoryBudget::Lease small = store::blocking::acquire(*budget, 9);  // would block the test if it waited
    EXPECT_EQ(budget->figures().held, 109u);
    MemoryBudget::Lease moved = std::move(small);
    moved = MemoryBudget::Lease();
    EXPECT_EQ(budget->figures().held, 100u);
    EXPECT_EQ(budget->figures().waits, 0u);
}

// Asking never blocks: a share that must wait is told once its turn comes, on the thread that
// made room; a caller who may be refused is refused past the queue's bound and once the budget
// refuses waiting (those waiting then too), while one who may not keeps its turn.
TEST(MemoryBudget, AskingQueuesUpToTheBoundAndTheStopRefusesOnlyThoseWhoMayBeRefused) {
    using Asked = MemoryBudget::Asked;
    auto budget = MemoryBudget::make(100, 10, MemoryBudget::Order::FitsFirst, 100);
    using Told = std::vector<std::pair<std::string, std::uint64_t>>;  // who, and the bytes granted (0: refused)
    Told told;
    std::vector<MemoryBudget::Lease> granted;
    const auto tell = [&](std::string who) {
        return [&, who](MemoryBudget::Lease lease) {
            told.emplace_back(who, lease.bytes());
            granted.push_back(std::move(lease));
        };
    };
    MemoryBudget::Lease held, small, none;
    ASSERT_EQ(budget->ask(90, held, tell("held")), Asked::Now);
    EXPECT_EQ(budget->ask(60, none, tell("first")), Asked::Later);
    EXPECT_EQ(budget->ask(50, none, tell("second")), Asked::Later);  // 60 bytes wait: within the bound
    EXPECT_EQ(budget->ask(20, none, tell("third")), Asked::Refused);  // 110 wait: past it
    EXPECT_EQ(budget->ask(20, none, tell("walk"), false), Asked::Later);
    EXPECT_EQ(budget->ask(9, small, tell("small")), Asked::Now);  // below the exemption
    EXPECT_TRUE(told.empty());
    EXPECT_FALSE(none);

    held.release();
    EXPECT_EQ(told, (Told{{"first", 60}}));  // 50 more would pass the budget beside 60 and 9
    budget->refuse_waiting();
    EXPECT_EQ(told, (Told{{"first", 60}, {"second", 0}, {"walk", 20}}));
    EXPECT_EQ(budget->ask(20, none, tell("late")), Asked::Refused);  // 89 held: it would wait
    EXPECT_EQ(budget->ask(9, none, tell("late small")), Asked::Now);
    EXPECT_EQ(budget->figures().refused, 3u);
    EXPECT_EQ(budget->figures().waiting, 0u);
    granted.clear();
    EXPECT_EQ(budget->figures().held, 18u);  // the two small shares alone
}

// A share in steps waits without blocking, takes what it was granted when resumed, and is
// corrected to the bytes asked for next without waiting.
TEST(MemoryBudget, AShareInStepsTakesWhatItWasGrantedAndIsCorrectedWithoutWaiting) {
    auto budget = MemoryBudget::make(100);
    MemoryBudget::Lease held = store::blocking::acquire(*budget, 80);
    store::BudgetShare share;
    int resumed = 0;
    const store::Resume resume = [&] { ++resumed; };
    EXPECT_EQ(share.take(*budget, 50, resume), store::Step::Waits);
    EXPECT_EQ(resumed, 0);
    held.release();
    EXPECT_EQ(resumed, 1);
    EXPECT_EQ(share.take(*budget, 50, resume), store::Step::Done);
    EXPECT_EQ(share.lease().bytes(), 50u);
    EXPECT_EQ(share.take(*budget, 300, resume), store::Step::Done);  // past the budget: no wait
    EXPECT_EQ(budget->figures().held, 300u);

    store::BudgetShare refused;
    EXPECT_EQ(refused.take(*budget, 50, resume), store::Step::Waits);
    budget->refuse_waiting();
    EXPECT_EQ(resumed, 2);
    EXPECT_EQ(refused.take(*budget, 50, resume), store::Step::Refused);
    EXPECT_FALSE(refused.lease());
}

}  // namespace
}  // namespace korvalle::testing
