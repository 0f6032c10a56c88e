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
//
// Asking holds no thread: when a share cannot be granted at once, the caller is queued with a
// callback that the budget calls once the share is granted (tests block a thread on it:
// store/blocking.hpp). A caller that may be refused (a
// request) is not queued past the queue's bound, nor once the budget refuses waiting (at the
// stop); those waiting then are refused too, so that no request waits behind clients that never
// read. Callers that may not be refused (the walks over every run) always get their turn.
#pragma once

#include "sdk/base/thread_safety.hpp"
#include "src/store/steps.hpp"

#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <vector>

namespace korvalle::store {

class MemoryBudget {
public:
    // A share of the budget, given back when the lease is destroyed or released. A lease is its
    // holder's: one thread at a time uses it; the budget it names is shared.
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
        // False for an empty lease: none taken, released, or refused.
        explicit operator bool() const { return budget_ != nullptr; }

    private:
        friend class MemoryBudget;
        Lease(std::shared_ptr<MemoryBudget> budget, std::uint64_t bytes) : budget_(std::move(budget)), bytes_(bytes) {}

        std::shared_ptr<MemoryBudget> budget_;
        std::uint64_t bytes_ = 0;
    };

    // Told the outcome of a share that had to wait: its lease, or an empty lease when the budget
    // refused it. Called once, outside the budget's lock, on the thread that made room or refused
    // it; it must not block.
    using Granted = std::function<void(Lease)>;

    enum class Asked {
        Now,      // granted at once
        Later,    // queued: the callback will tell
        Refused,  // not queued: the queue is full, or the budget refuses waiting
    };

    struct Figures {
        std::uint64_t held = 0;     // bytes of the leases alive
        std::uint64_t peak = 0;     // the most held at once
        std::uint64_t waiting = 0;  // callers waiting for their share
        std::uint64_t waits = 0;    // acquisitions that had to wait
        std::uint64_t refused = 0;  // callers refused, at once or while they waited
    };

    enum class Order { InTurn, FitsFirst };

    static constexpr std::uint64_t unbounded = std::numeric_limits<std::uint64_t>::max();

    // Made only as a shared object: leases keep their budget alive. queue_bound: the bytes that
    // callers who may be refused may have waiting at once (see ask).
    static std::shared_ptr<MemoryBudget> make(std::uint64_t limit, std::uint64_t never_waits_below = 0,
                                              Order order = Order::InTurn, std::uint64_t queue_bound = unbounded);

    // Takes bytes without blocking. Now: they fit (in the budget's order), or lie below the
    // exemption, and `lease` holds them. Refused, when may_be_refused: they would have to wait,
    // and the budget refuses waiting, or the bytes already waiting pass the queue's bound. Later
    // otherwise: queued in order of arrival; granted is called once with the lease, or with an
    // empty lease when refuse_waiting refuses it.
    Asked ask(std::uint64_t bytes, Lease& lease, Granted granted, bool may_be_refused = true) EXCLUDES(mutex_);

    // Takes bytes at once, past the budget if need be, as Lease::resize does: for bytes that
    // already exist and that the budget counts from now on (a text kept with a view that the run
    // cache let go while answers still send it; the block reserve's share, from nothing). Never
    // waits, never refused, grants nothing.
    Lease charge(std::uint64_t bytes) EXCLUDES(mutex_);

    // From now on refuses to let callers who may be refused wait, and refuses those waiting now
    // (at the stop). Shares that fit at once or lie below the exemption are still granted, and
    // callers who may not be refused still wait their turn. Idempotent.
    void refuse_waiting() EXCLUDES(mutex_);

    std::uint64_t limit() const { return limit_; }
    Figures figures() const EXCLUDES(mutex_);

private:
    MemoryBudget(std::uint64_t limit, std::uint64_t never_waits_below, Order order, std::uint64_t queue_bound)
        : limit_(limit), exempt_below_(never_waits_below), order_(order), queue_bound_(queue_bound) {}

    struct Waiter {
        std::uint64_t bytes;
        Granted granted;
        bool may_be_refused;
    };
    // A share granted under the lock, told once the lock is let go.
    struct Grant {
        Granted granted;
        std::uint64_t bytes;
    };

    bool fits_locked(std::uint64_t bytes) const REQUIRES(mutex_);
    bool queue_full_locked() const REQUIRES(mutex_);
    void take_locked(std::uint64_t bytes) REQUIRES(mutex_);
    // Grants the waiters at the front of the queue while they fit.
    void serve_locked(std::vector<Grant>& granted) REQUIRES(mutex_);
    // Calls the callbacks of the shares granted, outside the lock.
    void tell(std::vector<Grant>& granted) EXCLUDES(mutex_);
    void give_back(std::uint64_t bytes) EXCLUDES(mutex_);
    void take_more(std::uint64_t bytes) EXCLUDES(mutex_);

    const std::uint64_t limit_;
    const std::uint64_t exempt_below_;
    const Order order_;
    const std::uint64_t queue_bound_;
    std::weak_ptr<MemoryBudget> self_;  // set once by make, before the budget is shared
    mutable sync::Mutex mutex_;
    std::deque<Waiter> queue_ GUARDED_BY(mutex_);  // in order of arrival; the front is served first
    std::uint64_t queued_bytes_ GUARDED_BY(mutex_) = 0;
    std::uint64_t held_ GUARDED_BY(mutex_) = 0;
    std::uint64_t peak_ GUARDED_BY(mutex_) = 0;
    std::uint64_t waits_ GUARDED_BY(mutex_) = 0;
    std::uint64_t refused_ GUARDED_BY(mutex_) = 0;
    bool refusing_ GUARDED_BY(mutex_) = false;
};

// A share of a budget taken in steps (steps.hpp): take is called again after each wait, with the
// same budget, until it no longer waits. Used by one step at a time; the budget's callback
// leaves the outcome of a wait in the delivery before it resumes the next step, which takes it.
class BudgetShare {
public:
    // Done: the lease holds bytes (a share taken before is corrected to them, never waiting).
    // Waits: queued, resume is called once the budget grants or refuses it. Refused: the budget
    // refused it (MemoryBudget::ask); the lease stays empty.
    Step take(MemoryBudget& budget, std::uint64_t bytes, const Resume& resume, bool may_be_refused = true);

    MemoryBudget::Lease& lease() { return lease_; }

private:
    // Where the budget's callback leaves the outcome of a wait for the next step.
    struct Delivery {
        MemoryBudget::Lease lease;
    };
    MemoryBudget::Lease lease_;
    std::shared_ptr<Delivery> waiting_;
};

}  // namespace korvalle::store
