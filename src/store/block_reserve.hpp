// The pages of freed views, kept for the next opens. The system clears every fresh page before
// a process may use it, and for a large run that costs as much as reading its journal; a page
// that an earlier view wrote is ready at once. Opens take their blocks here (the run model
// takes them through memory::BlockSource, knowing nothing of threads), and a view gives its
// blocks back wherever its last holder lets it go, on any thread.
//
// Kept blocks are bounded in bytes and in time: at most max_bytes, each given back to the system
// keep_for after it was kept, by a thread of the reserve's own. They hold a share of the budget
// for opens (a lease resized as they change), so that what they keep counts among the memory of
// opens; and they never stand in an open's way: when the budget has opens waiting, or an open
// about to start would not fit beside them (make_way), every kept block goes back to the system.
#pragma once

#include "sdk/base/memory.hpp"
#include "sdk/base/thread_safety.hpp"
#include "src/store/memory_budget.hpp"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

namespace korvalle::store {

class BlockReserve final : public memory::BlockSource {
public:
    using Clock = std::chrono::steady_clock;

    // Kept blocks hold a share of budget, taken now: made before opens begin to take theirs.
    BlockReserve(std::uint64_t max_bytes, Clock::duration keep_for, std::shared_ptr<MemoryBudget> budget);
    // Gives every kept block back to the system.
    ~BlockReserve() override;
    BlockReserve(const BlockReserve&) = delete;
    BlockReserve& operator=(const BlockReserve&) = delete;

    // The smallest kept block that holds bytes (its front part when the rest is worth keeping),
    // else the largest kept block grown to bytes, else a fresh one; below
    // memory::Block::bytes_from_kernel always a fresh one, from the heap.
    memory::Block take(std::size_t bytes) override EXCLUDES(mutex_);
    // Keeps the written pages of a mapped block while the bounds and the budget allow, else
    // frees it.
    void give_back(memory::Block block, std::size_t used) noexcept override EXCLUDES(mutex_);

    // Called before an open takes bytes of the budget: frees every kept block when the budget
    // could not grant them beside what it holds.
    void make_way(std::uint64_t bytes) EXCLUDES(mutex_);

    struct Figures {
        std::uint64_t bytes = 0;     // kept now
        std::size_t blocks = 0;      // kept now
        std::uint64_t reused = 0;    // bytes handed out again
        std::uint64_t expired = 0;   // bytes given back to the system after their time
    };
    Figures figures() const EXCLUDES(mutex_);

private:
    struct Kept {
        memory::Block block;
        Clock::time_point since;
    };

    // The kept block that take hands out (the largest to be grown when none holds wanted), out
    // of the reserve; empty when none is kept.
    memory::Block take_kept(std::size_t wanted) EXCLUDES(mutex_);
    // Whether the budget has opens waiting, or could not grant bytes more now.
    bool budget_wanted(std::uint64_t bytes) const;
    // Takes every kept block out, to be freed once the lock is let go.
    std::vector<Kept> take_all_locked() REQUIRES(mutex_);
    // The thread: frees blocks once their time is up.
    void expire() EXCLUDES(mutex_);

    const std::uint64_t max_bytes_;
    const Clock::duration keep_for_;
    const std::shared_ptr<MemoryBudget> budget_;
    // Taken before the budget's own lock: the lease is resized under it.
    mutable sync::Mutex mutex_;
    std::condition_variable wake_;  // the expiring thread waits here
    std::vector<Kept> kept_ GUARDED_BY(mutex_);  // oldest first
    MemoryBudget::Lease lease_ GUARDED_BY(mutex_);
    std::uint64_t bytes_ GUARDED_BY(mutex_) = 0;
    std::uint64_t reused_ GUARDED_BY(mutex_) = 0;
    std::uint64_t expired_ GUARDED_BY(mutex_) = 0;
    bool stopping_ GUARDED_BY(mutex_) = false;
    std::thread thread_ GUARDED_BY(mutex_);  // started with the first block kept, joined by the destructor
};

}  // namespace korvalle::store
