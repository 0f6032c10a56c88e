#include "src/store/memory_budget.hpp"

#include <algorithm>
#include <utility>

namespace korvalle::store {

MemoryBudget::Lease::Lease(Lease&& other) noexcept
    : budget_(std::move(other.budget_)), bytes_(std::exchange(other.bytes_, 0)) {}

MemoryBudget::Lease& MemoryBudget::Lease::operator=(Lease&& other) noexcept {
    if (this != &other) {
        release();
        budget_ = std::move(other.budget_);
        bytes_ = std::exchange(other.bytes_, 0);
    }
    return *this;
}

MemoryBudget::Lease::~Lease() { release(); }

void MemoryBudget::Lease::resize(std::uint64_t bytes) {
    if (!budget_ || bytes == bytes_) return;
    if (bytes > bytes_)
        budget_->take_more(bytes - bytes_);
    else
        budget_->give_back(bytes_ - bytes);
    bytes_ = bytes;
}

void MemoryBudget::Lease::release() {
    if (!budget_) return;
    budget_->give_back(std::exchange(bytes_, 0));
    budget_.reset();
}

std::shared_ptr<MemoryBudget> MemoryBudget::make(std::uint64_t limit, std::uint64_t never_waits_below, Order order,
                                                 std::uint64_t queue_bound) {
    std::shared_ptr<MemoryBudget> budget(new MemoryBudget(limit, never_waits_below, order, queue_bound));
    budget->self_ = budget;
    return budget;
}

bool MemoryBudget::fits_locked(std::uint64_t bytes) const {
    if (held_ == 0) return true;  // a share larger than the whole budget goes alone
    return bytes <= limit_ && held_ <= limit_ - bytes;
}

bool MemoryBudget::queue_full_locked() const { return queued_bytes_ > queue_bound_; }

void MemoryBudget::take_locked(std::uint64_t bytes) {
    held_ += bytes;
    peak_ = std::max(peak_, held_);
}

MemoryBudget::Asked MemoryBudget::ask(std::uint64_t bytes, Lease& lease, Granted granted, bool may_be_refused) {
    sync::Lock lock(mutex_);
    const bool may_pass = queue_.empty() || order_ == Order::FitsFirst;
    if (bytes < exempt_below_ || (may_pass && fits_locked(bytes))) {
        take_locked(bytes);
        lock.unlock();
        // Assigned outside the lock: a lease the caller held before gives its bytes back.
        lease = Lease(self_.lock(), bytes);
        return Asked::Now;
    }
    if (may_be_refused && (refusing_ || queue_full_locked())) {
        ++refused_;
        return Asked::Refused;
    }
    ++waits_;
    queued_bytes_ += bytes;
    queue_.push_back(Waiter{bytes, std::move(granted), may_be_refused});
    return Asked::Later;
}

MemoryBudget::Lease MemoryBudget::charge(std::uint64_t bytes) {
    take_more(bytes);
    return Lease(self_.lock(), bytes);
}

void MemoryBudget::serve_locked(std::vector<Grant>& granted) {
    while (!queue_.empty() && fits_locked(queue_.front().bytes)) {
        Waiter& front = queue_.front();
        take_locked(front.bytes);
        queued_bytes_ -= front.bytes;
        granted.push_back(Grant{std::move(front.granted), front.bytes});
        queue_.pop_front();
    }
}

void MemoryBudget::tell(std::vector<Grant>& granted) {
    const std::shared_ptr<MemoryBudget> self = self_.lock();
    for (Grant& grant : granted) grant.granted(Lease(self, grant.bytes));
}

void MemoryBudget::refuse_waiting() {
    std::vector<Granted> refused;
    std::vector<Grant> granted;
    {
        sync::Lock lock(mutex_);
        refusing_ = true;
        std::deque<Waiter> kept;
        for (Waiter& waiter : queue_) {
            if (waiter.may_be_refused) {
                queued_bytes_ -= waiter.bytes;
                ++refused_;
                refused.push_back(std::move(waiter.granted));
            } else {
                kept.push_back(std::move(waiter));
            }
        }
        queue_ = std::move(kept);
        // A waiter that may not be refused may now be at the front, and fit.
        serve_locked(granted);
    }
    for (Granted& refuse : refused) refuse(Lease());
    tell(granted);
}

void MemoryBudget::take_more(std::uint64_t bytes) {
    sync::Lock lock(mutex_);
    take_locked(bytes);
}

void MemoryBudget::give_back(std::uint64_t bytes) {
    std::vector<Grant> granted;
    {
        sync::Lock lock(mutex_);
        held_ -= std::min(held_, bytes);
        serve_locked(granted);
    }
    tell(granted);
}

MemoryBudget::Figures MemoryBudget::figures() const {
    sync::Lock lock(mutex_);
    return Figures{held_, peak_, queue_.size(), waits_, refused_};
}

Step BudgetShare::take(MemoryBudget& budget, std::uint64_t bytes, const Resume& resume, bool may_be_refused) {
    if (waiting_) {
        // Resumed: the budget has told the outcome of the wait.
        lease_ = std::move(std::exchange(waiting_, nullptr)->lease);
        if (!lease_) return Step::Refused;
    }
    if (lease_) {
        lease_.resize(bytes);
        return Step::Done;
    }
    // Set before asking: once queued, the callback may resume the next step on another thread
    // before ask returns here.
    waiting_ = std::make_shared<Delivery>();
    const auto deliver = [delivery = waiting_, resume](MemoryBudget::Lease granted) {
        delivery->lease = std::move(granted);
        resume();
    };
    const MemoryBudget::Asked asked = budget.ask(bytes, lease_, deliver, may_be_refused);
    if (asked == MemoryBudget::Asked::Later) return Step::Waits;
    waiting_ = nullptr;
    return asked == MemoryBudget::Asked::Now ? Step::Done : Step::Refused;
}

}  // namespace korvalle::store
