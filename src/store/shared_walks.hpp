// Walks over every run, shared by their callers: a caller is answered by the first walk that
// begins after it asked, made on its own thread or on another caller's. Any number of callers
// at once then cost one walk, and no caller is answered from files read before it asked. The
// pages of the run list built from one walk are kept with it, by query, so that the callers
// of one walk with one query cost one page too.
#pragma once

#include "sdk/base/thread_safety.hpp"
#include "src/store/run_record.hpp"

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace korvalle::store {

class SharedWalks {
public:
    // What one walk found, in the listing's order.
    class Walk {
    public:
        explicit Walk(std::vector<SharedRecord> records) : records_(std::move(records)) {}
        const std::vector<SharedRecord>& records() const { return records_; }
        // The text of the page of key, made by make the first time it is asked for, and shared
        // by every caller that asks for it. make runs under the walk's lock, so that a page is
        // made once: callers of other pages of the walk wait for it.
        std::shared_ptr<const std::string> page(const std::string& key,
                                                const std::function<std::shared_ptr<const std::string>()>& make) const
            EXCLUDES(mutex_);

    private:
        const std::vector<SharedRecord> records_;
        mutable sync::Mutex mutex_;
        mutable std::map<std::string, std::shared_ptr<const std::string>> pages_ GUARDED_BY(mutex_);
    };
    using SharedWalk = std::shared_ptr<const Walk>;

    // The first walk that begins after this call; walk makes it when it falls to this caller.
    // Rethrows what that walk threw.
    SharedWalk after_now(const std::function<std::vector<SharedRecord>()>& walk) EXCLUDES(mutex_);

private:
    sync::Mutex mutex_;
    std::condition_variable finished_;  // notified under mutex_ when a walk ends
    std::uint64_t begun_ GUARDED_BY(mutex_) = 0;  // walks begun; the one running, if any, is the last of them
    std::uint64_t done_ GUARDED_BY(mutex_) = 0;   // the last walk that ended
    bool running_ GUARDED_BY(mutex_) = false;
    SharedWalk last_ GUARDED_BY(mutex_);
    std::exception_ptr last_error_ GUARDED_BY(mutex_);
};

}  // namespace korvalle::store
