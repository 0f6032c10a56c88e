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

std::shared_ptr<MemoryBudget> MemoryBudget::make(std::uint64_t limit, std::uint64_t never_waits_below, Order order) {
    std::shared_ptr<MemoryBudget> budget(new MemoryBudget(limit, never_waits_below, order));
    budget->self_ = budget;
    return budget;
}

bool MemoryBudget::fits_locked(std::uint64_t bytes) const {
    if (held_ == 0) return true;  // a share larger than the whole budget goes alone
    return bytes <= limit_ && held_ <= limit_ - bytes;
}

MemoryBudget::Lease MemoryBudget::acquire(std::uint64_t bytes) {
    std::unique_lock lock(mutex_);
    const bool may_pass = queue_.empty() || order_ == Order::FitsFirst;
    if (bytes >= exempt_below_ && !(may_pass && fits_locked(bytes))) {
        ++waits_;
        Waiter waiter{bytes, {}};
        queue_.push_back(&waiter);
        waiter.turn.wait(lock, [&] { return queue_.front() == &waiter && fits_locked(bytes); });
        queue_.pop_front();
        // The next in line may fit beside this one.
        if (!queue_.empty()) queue_.front()->turn.notify_one();
    }
    held_ += bytes;
    peak_ = std::max(peak_, held_);
    return Lease(self_.lock(), bytes);
}

void MemoryBudget::take_more(std::uint64_t bytes) {
    std::lock_guard lock(mutex_);
    held_ += bytes;
    peak_ = std::max(peak_, held_);
}

void MemoryBudget::give_back(std::uint64_t bytes) {
    std::lock_guard lock(mutex_);
    held_ -= std::min(held_, bytes);
    if (!queue_.empty()) queue_.front()->turn.notify_one();
}

MemoryBudget::Figures MemoryBudget::figures() const {
    std::lock_guard lock(mutex_);
    return Figures{held_, peak_, queue_.size(), waits_};
}

}  // namespace korvalle::store
