// The threads that open runs for the store: as many as the cores this process may run on,
// shared by every operation of the store and of all its clones. The walks over every run open
// their runs only here, so the views alive at once stay bounded by the core count however many
// requests and event streams walk the runs root together. The pool also runs the shards of a
// journal parsed at once (shards::Runner): the run model's parsing may fan out, its replay and
// views stay on the thread that opens.
//
// Work nests one level deep, and only so: a walk's task (an open) may run the shards of its
// journal, and a shard runs nothing. A task that runs shards never waits for a shard that no
// thread has begun (it takes those itself), and a shard waits for nothing but the short lock of
// the blocks it takes its memory from, so a pool whose every thread is inside a walk's task
// still ends each of them. A walk's caller, by contrast, waits
// for indices nobody has begun yet: walks are begun from other threads only.
#pragma once

#include "sdk/base/shards.hpp"
#include "sdk/base/thread_safety.hpp"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <thread>
#include <vector>

namespace korvalle::store {

class OpenPool final : public shards::Runner {
public:
    // A pool of at most `threads` threads (at least one), started on first use.
    explicit OpenPool(std::size_t threads);
    // Waits for the threads to end; no walk may be in flight.
    ~OpenPool() override;
    OpenPool(const OpenPool&) = delete;
    OpenPool& operator=(const OpenPool&) = delete;

    // Runs task(0) … task(count - 1) on the pool's threads and returns once all have ended.
    // Walks in flight take turns: a free thread takes the next index of the next walk in turn,
    // so a long walk does not hold back a short one queued after it. When a task throws, the
    // indices not yet started are skipped and the first exception is rethrown here once the
    // started ones have ended. Throws std::system_error when no thread can be started. A task
    // must not start a walk of its own on the same pool. The walk that leaves the pool idle
    // hands the memory freed by the tasks back to the system, once the walks since the last
    // time have taken long enough to be worth it.
    void run_each(std::size_t count, const std::function<void(std::size_t)>& task) EXCLUDES(mutex_);

    // The shards of one job, run by the caller with the pool's idle threads: the caller takes
    // in each shard's results (then) as soon as it may, and takes indices itself while it may
    // not, until none is left; threads that are free take the others in turn with the walks in
    // flight. Returns once all have ended. It never waits for an index that no thread has begun,
    // so it may be called from a task of the pool (an open within a walk). Exceptions as for
    // run_each.
    void run(std::size_t count, const std::function<void(std::size_t)>& shard,
             const std::function<void(std::size_t)>& then) override EXCLUDES(mutex_);
    // Runs task once on one of the pool's threads, in turn with the walks and jobs, and returns
    // at once: for the work a walk's read takes on once what it waited for has happened (an open
    // it joined landed, its share of the budget for opens granted). What task throws is
    // dropped: it reports its own failures. Throws std::system_error when no thread can be
    // started, and std::bad_alloc.
    void post(std::function<void()> task) EXCLUDES(mutex_);
    // The caller and the threads that are idle now, with those not started yet: 1 while every
    // thread is busy or walks wait for one.
    std::size_t width() override EXCLUDES(mutex_);

    // The cores this process may run on (its CPU affinity), at least one.
    static std::size_t core_count();

private:
    // A walk, or the shards of a job, on its caller's stack. task, count and ended_each are set
    // before it is handed to the threads; the rest is guarded by the pool's mutex_ (which the
    // analysis cannot name from here), and so is what ended_each points to.
    struct Walk {
        const std::function<void(std::size_t)>* task = nullptr;
        std::size_t count = 0;
        std::size_t next = 0;   // the next index to take
        std::size_t ended = 0;  // indices taken that have ended
        std::vector<bool>* ended_each = nullptr;  // for a job whose results are taken in in order
        std::exception_ptr error;
        std::condition_variable done;  // its caller waits here, under mutex_
        // A posted task: its own, on the heap, with no caller waiting; it ends with its index.
        std::function<void(std::size_t)> owned;
    };

    void start_locked() REQUIRES(mutex_);
    void work() EXCLUDES(mutex_);
    // Runs the walk's index on this thread, with mutex_ let go meanwhile and held again on return.
    void run_index(Walk& walk, std::size_t index) REQUIRES(mutex_);

    const std::size_t max_threads_;
    sync::Mutex mutex_;
    std::condition_variable wake_;  // idle threads wait here, under mutex_, for an index or the end
    std::deque<Walk*> walks_ GUARDED_BY(mutex_);  // walks with indices not yet taken, in turn order
    std::vector<std::thread> threads_ GUARDED_BY(mutex_);
    std::size_t idle_ GUARDED_BY(mutex_) = 0;       // threads waiting for an index
    std::size_t in_flight_ GUARDED_BY(mutex_) = 0;  // walks whose callers still wait
    static constexpr std::chrono::milliseconds trim_after{100};
    // Summed over the walks' callers.
    std::chrono::steady_clock::duration walked_since_trim_ GUARDED_BY(mutex_){};
    bool stopping_ GUARDED_BY(mutex_) = false;
};

}  // namespace korvalle::store
