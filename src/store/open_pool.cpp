#include "src/store/open_pool.hpp"

#include <malloc.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <system_error>

namespace korvalle::store {

OpenPool::OpenPool(std::size_t threads) : max_threads_(std::max<std::size_t>(threads, 1)) {}

OpenPool::~OpenPool() {
    std::vector<std::thread> threads;
    {
        sync::Lock lock(mutex_);
        stopping_ = true;
        threads = std::move(threads_);
    }
    wake_.notify_all();
    for (std::thread& thread : threads) thread.join();
}

std::size_t OpenPool::core_count() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) {
        return static_cast<std::size_t>(CPU_COUNT(&set));
    }
    return std::max(1u, std::thread::hardware_concurrency());
}

// Threads are started with the first walk rather than with the store, which is made before
// the runtime and must not fail. A thread that cannot be started leaves the pool smaller;
// only a pool left without any thread fails the walk.
void OpenPool::start_locked() {
    while (threads_.size() < max_threads_) {
        try {
            threads_.emplace_back([this] { work(); });
        } catch (const std::system_error&) {
            if (threads_.empty()) throw;
            return;
        }
    }
}

void OpenPool::run_each(std::size_t count, const std::function<void(std::size_t)>& task) {
    if (count == 0) return;
    Walk walk;
    walk.task = &task;
    walk.count = count;
    bool trim = false;
    const auto started = std::chrono::steady_clock::now();
    {
        sync::Lock lock(mutex_);
        start_locked();
        walks_.push_back(&walk);
        ++in_flight_;
        wake_.notify_all();
        while (walk.ended != walk.count) lock.wait(walk.done);
        walked_since_trim_ += std::chrono::steady_clock::now() - started;
        if (--in_flight_ == 0 && walked_since_trim_ >= trim_after) {
            walked_since_trim_ = {};
            trim = true;
        }
    }
    // The views were freed on the openers' threads, into their malloc arenas, where glibc keeps
    // the pages. Once no walk is left the pages go back to the system, so that a burst of
    // requests does not leave its peak resident; under steady load walks overlap and this is
    // skipped. A trim walks every arena and costs a few milliseconds, so it waits until the
    // walks since the last one have taken tens of times that: small roots trim rarely, and
    // a walk over a large root trims once it is done.
    if (trim) ::malloc_trim(0);
    if (walk.error) std::rethrow_exception(walk.error);
}

void OpenPool::run(std::size_t count, const std::function<void(std::size_t)>& shard,
                   const std::function<void(std::size_t)>& then) {
    if (count == 0) return;
    std::vector<bool> ended_each(count);
    Walk walk;
    walk.task = &shard;
    walk.count = count;
    walk.ended_each = &ended_each;
    sync::Lock lock(mutex_);
    // Threads that cannot be started leave the caller to run the shards alone.
    try {
        start_locked();
    } catch (const std::system_error&) {
    }
    if (count > 1 && !threads_.empty()) {
        walks_.push_back(&walk);
        wake_.notify_all();
    }
    std::size_t taken_in = then ? 0 : count;
    while (!walk.error) {
        if (taken_in < count && ended_each[taken_in]) {
            lock.unlock();
            try {
                then(taken_in);
            } catch (...) {
                // Whatever it threw is the caller's, rethrown below once the begun shards end.
                lock.lock();
                if (!walk.error) walk.error = std::current_exception();
                break;
            }
            lock.lock();
            ++taken_in;
        } else if (walk.next < walk.count) {
            const std::size_t index = walk.next++;
            // No thread may take an index from a walk that has none left.
            if (walk.next == walk.count) std::erase(walks_, &walk);
            run_index(walk, index);
        } else if (taken_in < count) {
            // The next shard to take in is running on another thread: every index is taken, so
            // this waits only for work begun, which ends without this thread's help.
            while (!ended_each[taken_in] && !walk.error) lock.wait(walk.done);
        } else {
            break;
        }
    }
    // After a failure no thread may take another index.
    std::erase(walks_, &walk);
    while (walk.ended != walk.next) lock.wait(walk.done);
    if (walk.error) std::rethrow_exception(walk.error);
}

void OpenPool::post(std::function<void()> task) {
    auto walk = std::make_unique<Walk>();
    walk->owned = [task = std::move(task)](std::size_t) { task(); };
    walk->task = &walk->owned;
    walk->count = 1;
    sync::Lock lock(mutex_);
    start_locked();
    walks_.push_back(walk.release());
    wake_.notify_one();
}

std::size_t OpenPool::width() {
    sync::Lock lock(mutex_);
    if (!walks_.empty()) return 1;
    return 1 + idle_ + (max_threads_ - threads_.size());
}

// The caller's Lock holds mutex_ throughout, as far as it knows: mutex_ is let go and taken
// again here, underneath it, so that the lock is held on return as it was on entry.
void OpenPool::run_index(Walk& walk, std::size_t index) {
    const bool skip = walk.error != nullptr;
    mutex_.unlock();
    std::exception_ptr error;
    if (!skip) {
        try {
            (*walk.task)(index);
        } catch (...) {
            // A pool thread's last line: whatever a task throws goes to the walk's caller.
            error = std::current_exception();
        }
    }
    if (walk.owned) {
        // No other thread knows a posted task once its index is taken; what it holds is let go
        // outside the lock, as it may end a view.
        delete &walk;
        mutex_.lock();
        return;
    }
    mutex_.lock();
    if (error && !walk.error) walk.error = error;
    if (walk.ended_each) (*walk.ended_each)[index] = true;
    // The walk lives on its caller's stack: it may be gone once the last end is counted. Its
    // caller waits for every index taken to end (all of them, for run_each), and the caller of
    // run for each shard it takes in.
    if (++walk.ended == walk.next || walk.ended_each) walk.done.notify_one();
}

void OpenPool::work() {
    sync::Lock lock(mutex_);
    for (;;) {
        ++idle_;
        while (!stopping_ && walks_.empty()) lock.wait(wake_);
        --idle_;
        if (walks_.empty()) return;
        Walk* walk = walks_.front();
        walks_.pop_front();
        const std::size_t index = walk->next++;
        if (walk->next < walk->count) walks_.push_back(walk);
        run_index(*walk, index);
    }
}

}  // namespace korvalle::store
