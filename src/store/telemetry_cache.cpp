#include "src/store/telemetry_cache.hpp"

#include "sdk/base/files.hpp"
#include "src/telemetry/child.hpp"

#include <unistd.h>

#include <optional>
#include <utility>

namespace korvalle::store {

void TelemetryCache::stop(std::chrono::milliseconds grace) {
    stopped_.set(std::chrono::steady_clock::now() + grace);
    std::vector<Resume> refused;
    {
        sync::Lock lock(mutex_);
        for (auto it = waiting_.begin(); it != waiting_.end();) {
            if (may_wait_stopped_locked(*it->lookup)) {
                ++it;
                continue;
            }
            refused.push_back(std::move(it->resume));
            it = waiting_.erase(it);
        }
    }
    // The holder's child is not touched here: its own thread kills the group at the deadline,
    // while the child is still its to kill (of_run_from).
    for (const Resume& resume : refused) resume();
}

bool TelemetryCache::may_wait_stopped_locked(const Lookup& lookup) const {
    if (auto it = entries_.find(lookup.run_.str()); it != entries_.end() && it->second.signature == lookup.signature_) {
        return true;
    }
    return holder_ != nullptr && holder_->run_ == lookup.run_ && holder_->signature_ == lookup.signature_;
}

void TelemetryCache::hand_over_locked(std::vector<Resume>& resumes) {
    holder_ = nullptr;
    while (!waiting_.empty()) {
        Waiter next = std::move(waiting_.front());
        waiting_.pop_front();
        resumes.push_back(std::move(next.resume));
        // After the stop a lookup the map cannot answer is resumed without the lock: refused.
        if (!served_locked(*next.lookup) && !stopped_.is_set()) {
            holder_ = next.lookup;
            return;
        }
    }
}

bool TelemetryCache::served_locked(Lookup& lookup) {
    auto it = entries_.find(lookup.run_.str());
    if (it == entries_.end() || it->second.signature != lookup.signature_) return false;
    lookup.telemetry_ = it->second.telemetry;
    lookup.served_ = true;
    return true;
}

std::optional<SharedTelemetry> TelemetryCache::kept_while_free(const std::string& run, const RunSignature& signature) {
    sync::Lock lock(mutex_);
    if (holder_ != nullptr) return std::nullopt;
    const auto it = entries_.find(run);
    if (it == entries_.end() || it->second.signature != signature) return std::nullopt;
    return it->second.telemetry;
}

TelemetryCache::Lookup::Lookup(TelemetryCache& cache, std::string root, contract::RunId run, RunSignature signature)
    : cache_(cache), root_(std::move(root)), run_(std::move(run)), signature_(signature) {}

TelemetryCache::Lookup::~Lookup() {
    if (phase_ == Phase::Asked) end();
}

Step TelemetryCache::Lookup::step(const Resume& resume) {
    {
        sync::Lock lock(cache_.mutex_);
        if (phase_ == Phase::Fresh) {
            if (cache_.stopped_.is_set() && cache_.holder_ != nullptr && !cache_.may_wait_stopped_locked(*this)) {
                phase_ = Phase::Ended;
                return Step::Refused;
            }
            phase_ = Phase::Asked;
            // The lock passes straight from holder to waiter, so a free lock has nobody waiting.
            if (cache_.holder_ != nullptr) {
                cache_.waiting_.push_back(Waiter{this, resume});
                return Step::Waits;
            }
            cache_.holder_ = this;
        } else if (served_) {
            phase_ = Phase::Ended;
            return Step::Done;
        } else if (cache_.holder_ != this) {
            // Resumed without the lock: the stop took it out of the queue.
            phase_ = Phase::Ended;
            return Step::Refused;
        }
    }
    try {
        return look_up();
    } catch (...) {
        end();
        throw;
    }
}

Step TelemetryCache::Lookup::look_up() {
    {
        sync::Lock lock(cache_.mutex_);
        if (auto it = cache_.entries_.find(run_.str()); it != cache_.entries_.end() && it->second.signature == signature_) {
            telemetry_ = it->second.telemetry;
        } else {
            lock.unlock();
            return run_child();
        }
    }
    end();
    return Step::Done;
}

Step TelemetryCache::Lookup::run_child() {
    telemetry::Outcome outcome = telemetry::of_run_from(cache_.program_, root_, run_, telemetry::default_time_limit,
                                                        &cache_.stopped_);
    // Not started, or killed at the stop's deadline: says nothing about the run.
    if (!outcome && outcome.error().kind == telemetry::Unavailable::Kind::Stopped) {
        end();
        return Step::Refused;
    }
    SharedTelemetry result;
    if (outcome) result = std::make_shared<const telemetry::RunTelemetry>(std::move(outcome).value());
    keep(result);
    // Written while the lock is still held, so that two lookups' lines never interleave.
    if (!outcome) {
        files::write_whole(STDERR_FILENO, "korvalle-api: no telemetry for " + run_.str() + ": " +
                                              outcome.error().message(cache_.program_) + "\n");
    }
    telemetry_ = std::move(result);
    end();
    return Step::Done;
}

void TelemetryCache::Lookup::keep(const SharedTelemetry& outcome) {
    sync::Lock lock(cache_.mutex_);
    cache_.entries_.insert_or_assign(run_.str(), Entry{signature_, outcome});
}

void TelemetryCache::Lookup::end() {
    std::vector<Resume> next;
    Resume dropped;  // let go of outside the mutex too: it may hold what holds another lookup
    {
        sync::Lock lock(cache_.mutex_);
        if (cache_.holder_ == this) {
            cache_.hand_over_locked(next);
        } else {
            for (auto it = cache_.waiting_.begin(); it != cache_.waiting_.end(); ++it) {
                if (it->lookup != this) continue;
                dropped = std::move(it->resume);
                cache_.waiting_.erase(it);
                break;
            }
        }
    }
    phase_ = Phase::Ended;
    for (const Resume& resume : next) resume();
}

}  // namespace korvalle::store
