#include "src/store/block_reserve.hpp"

#include <exception>
#include <utility>

namespace korvalle::store {

BlockReserve::BlockReserve(std::uint64_t max_bytes, Clock::duration keep_for, std::shared_ptr<MemoryBudget> budget)
    : max_bytes_(max_bytes), keep_for_(keep_for), budget_(std::move(budget)), lease_(budget_->charge(0)) {}

BlockReserve::~BlockReserve() {
    std::thread expiring;
    {
        sync::Lock lock(mutex_);
        stopping_ = true;
        expiring = std::move(thread_);
    }
    wake_.notify_all();
    if (expiring.joinable()) expiring.join();
}

memory::Block BlockReserve::take(std::size_t bytes) {
    using memory::Block;
    if (bytes >= Block::bytes_from_kernel) {
        const std::size_t wanted = Block::whole_pages(bytes);
        Block block = take_kept(wanted);
        if (block.data()) {
            block.grow(wanted);
            return block;
        }
    }
    return Block(bytes);
}

memory::Block BlockReserve::take_kept(std::size_t wanted) {
    using memory::Block;
    sync::Lock lock(mutex_);
    if (kept_.empty()) return Block();
    // The smallest that holds it, so that larger ones stay for larger requests; else the
    // largest, to be grown.
    auto best = kept_.end();
    auto largest = kept_.begin();
    for (auto kept = kept_.begin(); kept != kept_.end(); ++kept) {
        const std::size_t size = kept->block.size();
        if (size >= wanted && (best == kept_.end() || size < best->block.size())) best = kept;
        if (size > largest->block.size()) largest = kept;
    }
    Block block;
    if (best != kept_.end() && best->block.size() - wanted >= Block::bytes_from_kernel) {
        block = best->block.cut_front(wanted);
    } else {
        if (best == kept_.end()) best = largest;
        block = std::move(best->block);
        kept_.erase(best);
    }
    bytes_ -= block.size();
    reused_ += block.size();
    lease_.resize(bytes_);
    return block;
}

void BlockReserve::give_back(memory::Block block, std::size_t used) noexcept {
    if (!block.mapped()) return;
    // Pages never written take no memory, and keeping them would save no clearing.
    block.cut_short(used);
    if (block.size() < memory::Block::bytes_from_kernel) return;
    const bool wanted = budget_wanted(block.size());
    std::vector<Kept> freed;
    sync::Lock lock(mutex_);
    if (wanted || bytes_ + block.size() > max_bytes_) {
        if (wanted) freed = take_all_locked();
        return;  // the blocks are freed once the lock is let go
    }
    try {
        if (!thread_.joinable()) thread_ = std::thread([this] { expire(); });
        kept_.push_back(Kept{std::move(block), Clock::now()});
    } catch (const std::exception&) {
        return;  // without a thread to free it in time, or room to note it, the block is not kept
    }
    bytes_ += kept_.back().block.size();
    lease_.resize(bytes_);
    // The thread sleeps until the oldest block's time, or without end while none is kept.
    if (kept_.size() == 1) wake_.notify_one();
}

void BlockReserve::make_way(std::uint64_t bytes) {
    {
        sync::Lock lock(mutex_);
        if (kept_.empty()) return;
    }
    if (!budget_wanted(bytes)) return;
    std::vector<Kept> freed;
    sync::Lock lock(mutex_);
    freed = take_all_locked();
}

bool BlockReserve::budget_wanted(std::uint64_t bytes) const {
    const MemoryBudget::Figures budget = budget_->figures();
    return budget.waiting > 0 || budget.held + bytes > budget_->limit();
}

std::vector<BlockReserve::Kept> BlockReserve::take_all_locked() {
    std::vector<Kept> all = std::exchange(kept_, {});
    bytes_ = 0;
    lease_.resize(0);
    return all;
}

// One block at a time, each freed outside the lock: takes and gives back go on meanwhile.
void BlockReserve::expire() {
    sync::Lock lock(mutex_);
    while (!stopping_) {
        if (kept_.empty()) {
            lock.wait(wake_);
            continue;
        }
        const Clock::time_point due = kept_.front().since + keep_for_;
        if (Clock::now() < due) {
            lock.wait_until(wake_, due);
            continue;
        }
        memory::Block old = std::move(kept_.front().block);
        kept_.erase(kept_.begin());
        bytes_ -= old.size();
        expired_ += old.size();
        lease_.resize(bytes_);
        lock.unlock();
        old = memory::Block();
        lock.lock();
    }
}

BlockReserve::Figures BlockReserve::figures() const {
    sync::Lock lock(mutex_);
    return Figures{bytes_, kept_.size(), reused_, expired_};
}

}  // namespace korvalle::store
