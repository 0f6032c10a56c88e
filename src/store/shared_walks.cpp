#include "src/store/shared_walks.hpp"

#include <cstddef>
#include <utility>

namespace korvalle::store {

SharedWalks::Walk::Turn SharedWalks::Walk::page_turn(const std::string& key, const Resume& resume,
                                                     std::shared_ptr<const std::string>& text) const {
    sync::Lock lock(mutex_);
    Page& page = pages_[key];
    if (page.text) {
        text = page.text;
        return Turn::Made;
    }
    if (page.making) {
        page.waiting.push_back(resume);
        return Turn::Waits;
    }
    page.making = true;
    return Turn::Makes;
}

std::vector<Resume> SharedWalks::Walk::end_turn(const std::string& key, std::shared_ptr<const std::string> text) const {
    sync::Lock lock(mutex_);
    Page& page = pages_[key];
    page.text = std::move(text);
    page.making = false;
    return std::exchange(page.waiting, {});
}

void SharedWalks::Walk::keep(const std::string& key, std::shared_ptr<const std::string> text) const {
    for (const Resume& resume : end_turn(key, std::move(text))) resume();
}

void SharedWalks::Walk::give_up(const std::string& key) const {
    for (const Resume& resume : end_turn(key, nullptr)) resume();
}

void SharedWalks::after_now(Done done, Begin begin, Wanted wanted) {
    Batch batch;
    {
        sync::Lock lock(mutex_);
        // A walk running now began before this call: the next one is the first that will do.
        waiting_.push_back(Waiter{std::move(done), std::move(begin), std::move(wanted)});
        if (running_) return;
        running_ = true;
        batch = std::exchange(waiting_, {});
    }
    this->begin(std::move(batch));
}

bool SharedWalks::let_go_unwanted(Batch& batch) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < batch.size(); ++i) {
        Waiter& waiter = batch[i];
        if (!waiter.wanted || waiter.wanted()) {
            if (kept != i) batch[kept] = std::move(waiter);
            ++kept;
            continue;
        }
        try {
            waiter.done(nullptr, nullptr);
        } catch (...) {
            // A caller that cannot be told has given itself up; it wanted nothing more anyway.
        }
    }
    batch.erase(batch.begin() + static_cast<std::ptrdiff_t>(kept), batch.end());
    return !batch.empty();
}

SharedWalks::Batch SharedWalks::next_batch() {
    sync::Lock lock(mutex_);
    if (waiting_.empty()) running_ = false;
    return std::exchange(waiting_, {});
}

void SharedWalks::begin(Batch waiting) {
    while (!let_go_unwanted(waiting)) {
        waiting = next_batch();
        if (waiting.empty()) return;
    }
    std::shared_ptr<Batch> batch;
    try {
        batch = std::make_shared<Batch>(std::move(waiting));
        // A copy: the batch may lose its first caller while the begin runs (wanted).
        const Begin first = batch->front().begin;
        first([self = shared_from_this(), batch](std::exception_ptr error, std::vector<SharedRecord> records) {
                  self->ended(*batch, error, std::move(records));
              },
              // Asked on the walk's thread before it reads, and before the walk ends: the batch
              // is the walk's alone until then.
              [batch] { return let_go_unwanted(*batch); });
    } catch (...) {
        // Whatever kept the walk from beginning, its callers are told it.
        ended(batch ? *batch : waiting, std::current_exception(), {});
    }
}

void SharedWalks::ended(Batch& batch, std::exception_ptr error, std::vector<SharedRecord> records) {
    SharedWalk walk;
    if (!error && !batch.empty()) {
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
    Batch next = next_batch();
    if (!next.empty()) begin(std::move(next));
}

}  // namespace korvalle::store
