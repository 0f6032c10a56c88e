#include "src/store/shared_walks.hpp"

#include <algorithm>
#include <iterator>
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

void SharedWalks::after_now(Done done, Begin begin, Gather gather, Wanted wanted) {
    Next next;
    {
        sync::Lock lock(mutex_);
        // A walk started before this call will not do; one begun and not yet started will.
        waiting_.push_back(Waiter{std::move(done), std::move(begin), std::move(gather), std::move(wanted)});
        if (state_ == State::Gathering) {
            if (waiting_.size() < gather_for_) return;
            next = begun_locked();
        } else if (state_ == State::Idle) {
            // A crowd the last walk answered a moment ago is asking again: it is waited for too.
            const bool crowd = std::chrono::steady_clock::now() - ended_at_ < max_gather;
            next = next_locked(crowd ? answered_ : 0);
        } else {
            return;
        }
    }
    go(std::move(next));
}

std::uint64_t SharedWalks::walks_started() const {
    sync::Lock lock(mutex_);
    return started_;
}

SharedWalks::Next SharedWalks::next_locked(std::size_t expected) {
    if (expected > waiting_.size() && waiting_.front().gather) {
        try {
            Next next;
            next.gather = waiting_.front().gather;
            next.gather_number = gathers_ + 1;
            next.most = std::min(last_took_, max_gather);
            state_ = State::Gathering;
            gather_for_ = expected;
            ++gathers_;
            return next;
        } catch (...) {
            // No copy of the gather: the walk is begun at once.
        }
    }
    return begun_locked();
}

SharedWalks::Next SharedWalks::begun_locked() {
    state_ = State::Begun;
    Next next;
    try {
        next.begin = waiting_.front().begin;
    } catch (...) {
        // No copy of it: the empty begin fails the walk, and its callers are told that.
    }
    return next;
}

void SharedWalks::go(Next next) {
    if (!next.gather) return begin_walk(next.begin);
    try {
        next.gather(next.most, [self = shared_from_this(), number = next.gather_number] { self->gathered(number); });
    } catch (...) {
        gathered(next.gather_number);  // no time kept: the walk is begun at once
    }
}

void SharedWalks::begin_walk(const Begin& begin) {
    try {
        auto self = shared_from_this();
        begin([self] { return self->started(); },
              [self](std::exception_ptr error, std::vector<SharedRecord> records) {
                  self->ended(error, std::move(records));
              });
    } catch (...) {
        // Whatever kept the walk from beginning, its callers are told it.
        ended(std::current_exception(), {});
    }
}

void SharedWalks::gathered(std::uint64_t number) {
    Next next;
    {
        sync::Lock lock(mutex_);
        if (state_ != State::Gathering || gathers_ != number) return;  // begun when its callers came
        next = begun_locked();
    }
    go(std::move(next));
}

bool SharedWalks::started() {
    Batch unwanted;
    bool wanted = false;
    {
        sync::Lock lock(mutex_);
        walking_ = std::exchange(waiting_, {});
        const auto still_wanted = [](const Waiter& waiter) { return !waiter.wanted || waiter.wanted(); };
        const auto kept = std::stable_partition(walking_.begin(), walking_.end(), still_wanted);
        std::move(kept, walking_.end(), std::back_inserter(unwanted));
        walking_.erase(kept, walking_.end());
        state_ = State::Walking;
        started_at_ = std::chrono::steady_clock::now();
        wanted = !walking_.empty();
        if (wanted) ++started_;
    }
    // Told neither walk nor error.
    for (Waiter& waiter : unwanted) {
        try {
            waiter.done(nullptr, nullptr);
        } catch (...) {
            // A caller that cannot be told has given itself up; it wanted nothing more anyway.
        }
    }
    return wanted;
}

void SharedWalks::ended(std::exception_ptr error, std::vector<SharedRecord> records) {
    Batch batch;
    {
        sync::Lock lock(mutex_);
        // A walk that never started (its beginning failed) ends with every caller that waited.
        if (state_ == State::Walking) {
            batch = std::exchange(walking_, {});
            last_took_ = std::chrono::steady_clock::now() - started_at_;
        } else {
            batch = std::exchange(waiting_, {});
        }
        state_ = State::Walking;
    }
    tell(batch, error, std::move(records));
    Next next;
    {
        sync::Lock lock(mutex_);
        answered_ = batch.size();
        ended_at_ = std::chrono::steady_clock::now();
        if (waiting_.empty()) {
            state_ = State::Idle;
            return;
        }
        next = next_locked(batch.size() + waiting_.size());
    }
    go(std::move(next));
}

void SharedWalks::tell(Batch& batch, std::exception_ptr error, std::vector<SharedRecord> records) {
    if (batch.empty()) return;  // a walk nobody wanted: no walk is made of its records
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
}

}  // namespace korvalle::store
