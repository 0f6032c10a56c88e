#include "src/store/shared_walks.hpp"

namespace korvalle::store {

std::shared_ptr<const std::string> SharedWalks::Walk::page(
    const std::string& key, const std::function<std::shared_ptr<const std::string>()>& make) const {
    sync::Lock lock(mutex_);
    auto page = pages_.find(key);
    if (page == pages_.end()) page = pages_.emplace(key, make()).first;
    return page->second;
}

SharedWalks::SharedWalk SharedWalks::after_now(const std::function<std::vector<SharedRecord>()>& walk) {
    sync::Lock lock(mutex_);
    // A walk running now began before this call: the next one is the first that will do.
    const std::uint64_t wanted = begun_ + 1;
    while (done_ < wanted) {
        if (running_) {
            lock.wait(finished_);
            continue;
        }
        running_ = true;
        const std::uint64_t number = ++begun_;
        lock.unlock();
        SharedWalk result;
        std::exception_ptr error;
        try {
            result = std::make_shared<const Walk>(walk());
        } catch (...) {
            error = std::current_exception();  // whatever ended the walk, each of its callers rethrows it
        }
        lock.lock();
        last_ = std::move(result);
        last_error_ = error;
        done_ = number;
        running_ = false;
        finished_.notify_all();
    }
    if (last_error_) std::rethrow_exception(last_error_);
    return last_;
}

}  // namespace korvalle::store
