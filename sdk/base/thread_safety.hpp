// The words that let clang check which lock guards which member (its thread-safety analysis,
// -Wthread-safety), and the one mutex and lock the server's shared objects use with them. Other
// compilers read the words as nothing. The run model itself takes no lock: this is vocabulary
// for the layers above it.
//
// A member says how it is kept safe: GUARDED_BY(mutex_) when the lock must be held to touch it
// (PT_GUARDED_BY for what a pointer member points to), const when it is set once before the
// object is shared, or a comment naming what else makes it safe (an atomic, a once-flag, one
// thread only). A function that expects its caller to hold a lock says REQUIRES(mutex_); one
// that takes the lock itself, and so must not be called with it held, says EXCLUDES(mutex_).
//
// Condition-variable waits: Lock::wait and Lock::wait_until wait on a std::condition_variable
// and hold the lock again when they return, so the analysis may take the lock as held across
// them. Their condition is written as a loop in the function that holds the lock
// (`while (!ready_) lock.wait(woken_);`), never as a predicate lambda: the analysis does not
// carry the caller's locks into a lambda, and a loop reads the guarded members where it can
// check them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define KORVALLE_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define KORVALLE_THREAD_ATTRIBUTE(x)
#endif

// A type whose objects are locks.
#define CAPABILITY(name) KORVALLE_THREAD_ATTRIBUTE(capability(name))
// A type whose objects hold a lock for their lifetime (and may let it go and take it again).
#define SCOPED_CAPABILITY KORVALLE_THREAD_ATTRIBUTE(scoped_lockable)
// A member touched only with the lock held.
#define GUARDED_BY(lock) KORVALLE_THREAD_ATTRIBUTE(guarded_by(lock))
// A pointer member whose target is touched only with the lock held.
#define PT_GUARDED_BY(lock) KORVALLE_THREAD_ATTRIBUTE(pt_guarded_by(lock))
// Locks that must be taken before, or after, this one when both are held.
#define ACQUIRED_BEFORE(...) KORVALLE_THREAD_ATTRIBUTE(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) KORVALLE_THREAD_ATTRIBUTE(acquired_after(__VA_ARGS__))
// A function called with the locks held, which it leaves held.
#define REQUIRES(...) KORVALLE_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
// A function that takes, or lets go of, the locks (none named: the object itself).
#define ACQUIRE(...) KORVALLE_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define RELEASE(...) KORVALLE_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
// A function that takes the lock when it returns the value given.
#define TRY_ACQUIRE(...) KORVALLE_THREAD_ATTRIBUTE(try_acquire_capability(__VA_ARGS__))
// A function that must not be called with the locks held (it takes them itself).
#define EXCLUDES(...) KORVALLE_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
// A function that returns a reference to the lock.
#define RETURN_CAPABILITY(lock) KORVALLE_THREAD_ATTRIBUTE(lock_returned(lock))
// A function the analysis leaves out; its comment says why it is safe.
#define NO_THREAD_SAFETY_ANALYSIS KORVALLE_THREAD_ATTRIBUTE(no_thread_safety_analysis)

namespace korvalle::sync {

// A std::mutex that the analysis knows as a lock.
class CAPABILITY("mutex") Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

private:
    friend class Lock;
    std::mutex mutex_;
};

// Holds a Mutex from its making to its end, save where it is let go (unlock) and taken again
// (lock) in between; the end lets go only of a lock held. Waits on condition variables with it.
class SCOPED_CAPABILITY Lock {
public:
    explicit Lock(Mutex& mutex) ACQUIRE(mutex) : lock_(mutex.mutex_) {}
    ~Lock() RELEASE() = default;
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

    void lock() ACQUIRE() { lock_.lock(); }
    void unlock() RELEASE() { lock_.unlock(); }

    // Lets go of the lock until condition is notified (or wakes spuriously), then holds it
    // again. Check what was waited for in a loop around it.
    void wait(std::condition_variable& condition) { condition.wait(lock_); }
    // The same, waking at the deadline at the latest; false when it passed.
    template <class Clock, class Duration>
    bool wait_until(std::condition_variable& condition, const std::chrono::time_point<Clock, Duration>& deadline) {
        return condition.wait_until(lock_, deadline) == std::cv_status::no_timeout;
    }

private:
    std::unique_lock<std::mutex> lock_;
};

}  // namespace korvalle::sync
