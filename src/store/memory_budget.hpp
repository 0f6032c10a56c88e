// A budget of bytes that work holding large amounts of memory (opening a run, an answer on its
// way to a client) takes its share from before it starts, so that no crowd of requests can take
// the process past a stated ceiling: past the budget, work waits its turn instead of failing.
//
// Waiters are served in order of arrival. A share larger than the whole budget is granted
// alone, once nothing else is held. Shares below the exemption are counted but never wait.
// Whether a newcomer that fits may pass those already waiting is the budget's order: in turn
// it may not, so that a large share is never starved by a stream of small ones (opens); fits
// first it may, so that a small answer is not held up behind large ones that wait for clients
// to take theirs.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

namespace korvalle::store {

class MemoryBudget {
public:
    // A share of the budget, given back when the lease is destroyed or released.
    class Lease {
    public:
        Lease() = default;
        Lease(Lease&& other) noexcept;
        Lease& operator=(Lease&& other) noexcept;
        ~Lease();

        // Corrects the share to the bytes really held; never waits, even past the budget.
        void resize(std::uint64_t bytes);
        // Gives the share back now.
        void release();
        std::uint64_t bytes() const { return bytes_; }
        explicit operator bool() const { return budget_ != nullptr; }

    private:
        friend class MemoryBudget;
        Lease(std::shared_ptr<MemoryBudget> budget, std::uint64_t bytes) : budget_(std::move(budget)), bytes_(bytes) {}

        std::shared_ptr<MemoryBudget> budget_;
        std::uint64_t bytes_ = 0;
    };

    struct Figures {
        std::uint64_t held = 0;     // bytes of the leases alive
        std::uint64_t peak = 0;     // the most held at once
        std::uint64_t waiting = 0;  // callers waiting for their share
        std::uint64_t waits = 0;    // acquisitions that had to wait
    };

    enum class Order { InTurn, FitsFirst };

    // Made only as a shared object: leases keep their budget alive.
    static std::shared_ptr<MemoryBudget> make(std::uint64_t limit, std::uint64_t never_waits_below = 0,
                                              Order order = Order::InTurn);

    // Blocks the calling thread until bytes fit (in order of arrival; alone when bytes exceed
    // the limit) and takes them. Never fails.
    Lease acquire(std::uint64_t bytes);

    std::uint64_t limit() const { return limit_; }
    Figures figures() const;

private:
    MemoryBudget(std::uint64_t limit, std::uint64_t never_waits_below, Order order)
        : limit_(limit), exempt_below_(never_waits_below), order_(order) {}

    bool fits_locked(std::uint64_t bytes) const;
    void give_back(std::uint64_t bytes);
    void take_more(std::uint64_t bytes);

    struct Waiter {
        std::uint64_t bytes;
        std::condition_variable turn;
    };

    const std::uint64_t limit_;
    const std::uint64_t exempt_below_;
    const Order order_;
    std::weak_ptr<MemoryBudget> self_;
    mutable std::mutex mutex_;
    std::deque<Waiter*> queue_;  // in order of arrival; the front is served first
    std::uint64_t held_ = 0;
    std::uint64_t peak_ = 0;
    std::uint64_t waits_ = 0;
};

}  // namespace korvalle::store
