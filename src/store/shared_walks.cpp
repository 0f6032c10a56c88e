#include "src/store/shared_walks.hpp"

#include <utility>

namespace korvalle::store {

std::shared_ptr<const std::string> SharedWalks::Walk::page(
    const std::string& key, const std::function<std::shared_ptr<const std::string>()>& make) const {
    sync::Lock lock(mutex_);
    auto page = pages_.find(key);
    if (page == pages_.end()) page = pages_.emplace(key, make()).first;
    return page->second;
}

std::shared_ptr<const std::string> SharedWalks::Walk::made_page(const std::string& key) const {
    sync::Lock lock(mutex_);
    auto page = pages_.find(key);
    return page == pages_.end() ? nullptr : page->second;
}

void SharedWalks::after_now(Done done, Begin begin) {
    Batch batch;
    {
        sync::Lock lock(mutex_);
        // A walk running now began before this call: the next one is the first that will do.
        waiting_.push_back(Waiter{std::move(done), std::move(begin)});
        if (running_) return;
        running_ = true;
        batch = std::exchange(waiting_, {});
    }
    this->begin(std::move(batch));
}

void SharedWalks::begin(Batch waiting) {
    std::shared_ptr<Batch> batch;
    try {
        batch = std::make_shared<Batch>(std::move(waiting));
        const Begin& first = batch->front().begin;
        first([self = shared_from_this(), batch](std::exception_ptr error, std::vector<SharedRecord> records) {
            self->ended(*batch, error, std::move(records));
        });
    } catch (...) {
        // Whatever kept the walk from beginning, its callers are told it.
        ended(batch ? *batch : waiting, std::current_exception(), {});
    }
}

void SharedWalks::ended(Batch& batch, std::exception_ptr error, std::vector<SharedRecord> records) {
    SharedWalk walk;
    if (!error) {
        try {
            walk = std::make_shared<const Walk>(std::move(records));
        } catch (...) {
            error = std::current_exception();
        }
    }
    for (Waiter& waiter : batch) {
        try {
            waiter.done(error, walk);
        } catch (...) {
            // A caller that cannot be told has given itself up; the others are still answered.
        }
    }
    Batch next;
    {
        sync::Lock lock(mutex_);
        if (waiting_.empty()) {
            running_ = false;
            return;
        }
        next = std::exchange(waiting_, {});
    }
    begin(std::move(next));
}

}  // namespace korvalle::store
