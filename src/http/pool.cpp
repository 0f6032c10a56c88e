#include "src/http/pool.hpp"

#include <system_error>

namespace korvalle::server {

BlockingPool::BlockingPool(std::size_t max_threads, std::chrono::milliseconds idle_keep)
    : max_threads_(max_threads == 0 ? 1 : max_threads), idle_keep_(idle_keep) {}

BlockingPool::~BlockingPool() { shutdown(); }

void BlockingPool::submit(std::function<void()> task) {
    std::unique_lock lock(mutex_);
    if (stopping_) throw std::system_error(std::make_error_code(std::errc::operation_canceled));
    reap_locked();
    queue_.push_back(std::move(task));
    if (idle_ >= queue_.size()) {
        wake_.notify_one();
        return;
    }
    if (live_ >= max_threads_) return;  // queued; the next thread to finish takes it
    try {
        threads_.emplace_front();
        auto self = threads_.begin();
        *self = std::thread([this, self] { work(self); });
        ++live_;
    } catch (...) {
        threads_.pop_front();
        if (live_ == 0) {
            queue_.pop_back();
            throw;
        }
    }
}

void BlockingPool::work(std::list<std::thread>::iterator self) {
    std::unique_lock lock(mutex_);
    while (true) {
        if (queue_.empty() && !stopping_) {
            ++idle_;
            bool woke = wake_.wait_for(lock, idle_keep_, [this] { return !queue_.empty() || stopping_; });
            --idle_;
            if (!woke) break;  // idle for too long
        }
        if (stopping_ || queue_.empty()) break;
        auto task = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        try {
            task();
        } catch (...) {
            // Tasks report their own failures; one that escapes must not end the process.
        }
        task = nullptr;
        lock.lock();
    }
    --live_;
    exited_.push_back(self);
    gone_.notify_all();
}

void BlockingPool::reap_locked() {
    // A thread in exited_ has released the lock for the last time; joining it cannot wait on us.
    for (auto it : exited_) {
        if (it->joinable()) it->join();
        threads_.erase(it);
    }
    exited_.clear();
}

void BlockingPool::shutdown() {
    std::unique_lock lock(mutex_);
    stopping_ = true;
    queue_.clear();
    wake_.notify_all();
    gone_.wait(lock, [this] { return live_ == 0; });
    reap_locked();
}

std::size_t BlockingPool::thread_count() const {
    std::lock_guard lock(mutex_);
    return live_;
}

}  // namespace korvalle::server
