// Compiled, never run, by clang with -Wthread-safety as an error (tests/CMakeLists.txt): with
// MISUSE unset the patterns the server uses compile clean, and each MISUSE must fail to compile,
// so that the annotations are known to be checked and not read as nothing.
#include "sdk/base/thread_safety.hpp"

#include <chrono>
#include <condition_variable>

namespace {

using korvalle::sync::Lock;
using korvalle::sync::Mutex;

class Counter {
public:
    // Two mutexes taken in their order; waits for a guarded member written as loops under the
    // lock; the lock let go early and taken again.
    int use() EXCLUDES(mutex_) {
        Lock lock(mutex_);
        add_locked();
        {
            Lock inner(inner_);
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1);
        while (value_ == 0 && lock.wait_until(changed_, deadline)) {
        }
        while (value_ == 0) lock.wait(changed_);
        const int value = value_;
        lock.unlock();
        lock.lock();
        value_ = 0;
        return value;
    }

#if MISUSE == 1
    int unlocked_read() { return value_; }
#elif MISUSE == 2
    void unlocked_call() { add_locked(); }
#elif MISUSE == 3
    void write_after_unlock() {
        Lock lock(mutex_);
        lock.unlock();
        value_ = 1;
    }
#elif MISUSE == 4
    void out_of_order() {
        Lock inner(inner_);
        Lock lock(mutex_);
    }
#endif

private:
    void add_locked() REQUIRES(mutex_) { ++value_; }

    Mutex mutex_ ACQUIRED_BEFORE(inner_);
    Mutex inner_;
    std::condition_variable changed_;
    int value_ GUARDED_BY(mutex_) = 0;
};

}  // namespace

int main() { return Counter().use(); }
