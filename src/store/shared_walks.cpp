#include "src/store/shared_walks.hpp"

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

void SharedWalks::after_now(Done done, Begin begin) {
    Begin first;
    {
        sync::Lock lock(mutex_);
        // A walk started before this call will not do; one begun and not yet started will.
        waiting_.push_back(Waiter{std::move(done), begin});
        if (state_ != State::Idle) return;
        state_ = State::Begun;
        first = std::move(begin);
    }
    begin_walk(first);
}

std::uint64_t SharedWalks::walks_started() const {
    sync::Lock lock(mutex_);
    return started_;
}

void SharedWalks::begin_walk(const Begin& begin) {
    try {
        auto self = shared_from_this();
        begin([self] { self->started(); },
              [self](std::exception_ptr error, std::vector<SharedRecord> records) {
                  self->ended(error, std::move(records));
              });
    } catch (...) {
        // Whatever kept the walk from beginning, its callers are told it.
        ended(std::current_exception(), {});
    }
}

void SharedWalks::started() {
    sync::Lock lock(mutex_);
    walking_ = std::exchange(waiting_, {});
    state_ = State::Walking;
    ++started_;
}

void SharedWalks::ended(std::exception_ptr error, std::vector<SharedRecord> records) {
    Batch batch;
    {
        sync::Lock lock(mutex_);
        // A walk that never started (its beginning failed) ends with every caller that waited.
        batch = std::exchange(state_ == State::Walking ? walking_ : waiting_, {});
        state_ = State::Walking;
    }
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
    Begin next;
    {
        sync::Lock lock(mutex_);
        if (waiting_.empty()) {
            state_ = State::Idle;
            return;
        }
        state_ = State::Begun;
        try {
            next = waiting_.front().begin;
        } catch (...) {
            // No copy of it: the empty begin fails the walk, and its callers are told that.
        }
    }
    begin_walk(next);
}

}  // namespace korvalle::store
