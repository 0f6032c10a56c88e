#include "src/http/pool.hpp"

#include <new>
#include <system_error>

namespace korvalle::server {

BlockingPool::BlockingPool(std::size_t max_threads, std::chrono::milliseconds idle_keep)
    : max_threads_(max_threads == 0 ? 1 : max_threads), idle_keep_(idle_keep) {}

BlockingPool::~BlockingPool() { shutdown(); }

void BlockingPool::submit(std::function<void()> task, Turn turn) {
    sync::Lock lock(mutex_);
    if (stopping_) throw std::system_error(std::make_error_code(std::errc::operation_canceled));
    reap_locked();
    auto& queue = turn == Turn::Resumed ? resumed_ : queue_;
    if (idle_ > resumed_.size() + queue_.size()) {
        queue.push_back(std::move(task));
        wake_.notify_one();
        return;
    }
    // Otherwise the next thread to finish takes it; a thread is started first while fewer than
    // the limit exist, so that a task no thread can ever take is not queued.
    if (live_ < max_threads_) start_locked();
    queue.push_back(std::move(task));
}

// The thread is made in a list of its own and spliced into threads_ once it runs: an iterator
// into a list stays valid across a splice, and the thread takes the lock held here before it
// uses it.
void BlockingPool::start_locked() {
    Threads started;
    try {
        started.emplace_back();
        const Threads::iterator self = started.begin();
        *self = std::thread([this, self] { work(self); });
    } catch (const std::system_error&) {
        if (live_ == 0) throw;
        return;  // the threads there are take the task
    } catch (const std::bad_alloc&) {
        if (live_ == 0) throw;
        return;
    }
    threads_.splice(threads_.begin(), started);
    ++live_;
}

void BlockingPool::work(Threads::iterator self) {
    sync::Lock lock(mutex_);
    while (true) {
        if (resumed_.empty() && queue_.empty() && !stopping_) {
            ++idle_;
            const auto deadline = std::chrono::steady_clock::now() + idle_keep_;
            while (resumed_.empty() && queue_.empty() && !stopping_ && lock.wait_until(wake_, deadline)) {
            }
            --idle_;
        }
        if (stopping_ || (resumed_.empty() && queue_.empty())) break;  // stopping, or idle for too long
        auto& queue = resumed_.empty() ? queue_ : resumed_;
        auto task = std::move(queue.front());
        queue.pop_front();
        lock.unlock();
        try {
            task();
        } catch (...) {
            // The thread's last line of defence: tasks report their own failures, and one that
            // escapes must end neither the thread nor the process.
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
    sync::Lock lock(mutex_);
    stopping_ = true;
    resumed_.clear();
    queue_.clear();
    wake_.notify_all();
    while (live_ != 0) lock.wait(gone_);
    reap_locked();
}

std::size_t BlockingPool::thread_count() const {
    sync::Lock lock(mutex_);
    return live_;
}

}  // namespace korvalle::server
