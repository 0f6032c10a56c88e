// The telemetry cache: per run, what the pipeline tool's telemetry command answered for the run
// as it was (its signature), until the run changes.
//
// One lock over the whole map, owned by one lookup and not by a thread: a lookup takes it before
// it looks at the map and holds it through the child's run, the standard-error line and the
// store into the map. So at most one child runs at a time and the lines of two lookups never
// interleave. Every lookup waits for it, a cache hit too, and lookups get it in order of
// arrival. Waiting holds no thread: a lookup is taken in steps (steps.hpp), and the lookup that
// gives the lock up hands it to the next one waiting and resumes it. While the lock is free,
// nobody waits, and a hit is answered without taking it (kept_while_free).
//
// At the stop no child is started any more. The running child may go on until stop_grace after
// the signal: when it ends in time, its outcome is kept and written as any other and the lookups
// waiting for its run and signature get it; when it does not, its process group is killed, its
// outcome neither kept nor written, and those lookups are refused. Hits are still answered from
// the map as the lock passes them; every other lookup that needs a child is refused.
#pragma once

#include "sdk/base/thread_safety.hpp"
#include "src/contract/contract.hpp"
#include "src/store/run_record.hpp"
#include "src/store/steps.hpp"
#include "src/telemetry/child.hpp"
#include "src/telemetry/telemetry.hpp"

#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace korvalle::store {

using SharedTelemetry = std::shared_ptr<const telemetry::RunTelemetry>;

class TelemetryCache {
public:
    // Runs program for the telemetry of runs.
    explicit TelemetryCache(std::string program) : program_(std::move(program)) {}
    TelemetryCache(const TelemetryCache&) = delete;
    TelemetryCache& operator=(const TelemetryCache&) = delete;

    class Lookup;

    // The outcome kept for the run's signature when the lock is free (the run list asks this of
    // every run it shows); none when it is not kept or the lock is held, and a Lookup must wait.
    std::optional<SharedTelemetry> kept_while_free(const std::string& run, const RunSignature& signature)
        EXCLUDES(mutex_);

    // How long the running child may go on after the stop.
    static constexpr std::chrono::milliseconds stop_grace{5'000};

    // From now on no child is started. The lookups waiting that would need one are resumed now
    // and refused, save those for the run and signature of the lock's holder, whose child may
    // run until grace from now (its thread kills its group then: of_run_from); they are answered
    // from the map once it kept the child's outcome, and refused when it did not. Lookups that
    // find their outcome kept are answered as the lock passes them, never ahead of it.
    // Idempotent (the first stop's deadline holds); safe from any thread; never waits for the
    // child.
    void stop(std::chrono::milliseconds grace = stop_grace) EXCLUDES(mutex_);

private:
    struct Entry {
        RunSignature signature;
        SharedTelemetry telemetry;  // null: unavailable for that signature
    };
    // A lookup queued for the lock, and how to resume it once it has it or is refused.
    struct Waiter {
        Lookup* lookup;
        Resume resume;
    };

    // Gives the lock up. The lookups at the front of the queue whose outcome is kept for their
    // signature are answered in turn as the lock passes them, on this thread (a hit needs no
    // thread of its own, and a crowd of them then costs no hand-over each); the lock goes to the
    // first that needs a child, if any, and after the stop to none: those are refused. Their
    // resumes are added to resumes, to be called once the mutex is let go.
    void hand_over_locked(std::vector<Resume>& resumes) REQUIRES(mutex_);
    // Answers the lookup from the map when its outcome is kept, as its turn of the lock comes.
    bool served_locked(Lookup& lookup) REQUIRES(mutex_);
    // Whether the lookup may wait for the lock once the stop has come: its outcome is kept, or
    // it is for the run and signature whose child the holder may be running.
    bool may_wait_stopped_locked(const Lookup& lookup) const REQUIRES(mutex_);

    const std::string program_;
    // Set once by stop, before it takes the mutex to refuse the lookups waiting. Read under the
    // mutex where a lookup would queue or be handed the lock (so a lookup either sees it or is
    // queued before stop looks), and by the running child's thread between its reads
    // (telemetry::of_run_from).
    telemetry::StopDeadline stopped_;
    sync::Mutex mutex_;  // held only briefly: the lock of lookups is holder_, not this
    Lookup* holder_ GUARDED_BY(mutex_) = nullptr;     // the lookup that has the lock
    std::deque<Waiter> waiting_ GUARDED_BY(mutex_);  // in order of arrival; the front gets it next
    std::unordered_map<std::string, Entry> entries_ GUARDED_BY(mutex_);
};

// One lookup of one run's telemetry, taken in steps so that waiting for the lock holds no thread.
// Its steps are taken one at a time, by whichever thread; the cache outlives it.
class TelemetryCache::Lookup {
public:
    Lookup(TelemetryCache& cache, std::string root, contract::RunId run, RunSignature signature);
    // Gives the lock back (handing it to the next lookup waiting) or leaves the queue, whenever
    // the lookup ends before its last step (a coroutine destroyed while it waits, say).
    ~Lookup();
    Lookup(const Lookup&) = delete;
    Lookup& operator=(const Lookup&) = delete;

    // Done: telemetry() is the outcome (null: unavailable for this signature), the lock given
    // back. The cached outcome when the signature is the one recorded; else that of a fresh child
    // run (its reason written to standard error when it is unavailable), which replaces the entry.
    // Waits: queued for the lock; resume is called once, from whichever thread gives the lock up
    // or stops the cache, and the next step then holds the lock and looks up. A step that holds
    // the lock may run the child on the calling thread: take it where file work may run.
    // Refused: the cache was stopped before this lookup ended, and its outcome was not kept (it
    // needed a child, or its run's child was killed at the stop's deadline); nothing is stored.
    // Running out of descriptors or memory throws files::Exhausted, records nothing and gives the
    // lock back, so the next lookup of the run tries again.
    Step step(const Resume& resume) EXCLUDES(cache_.mutex_);

    const SharedTelemetry& telemetry() const { return telemetry_; }

private:
    friend class TelemetryCache;

    enum class Phase {
        Fresh,   // not yet asked for the lock
        Asked,   // holds it, or queued for it, or refused while it waited
        Ended,   // Done, Refused or thrown; the lock given back
    };

    // The rest of a step that holds the lock: the map looked at, else the child run.
    Step look_up() EXCLUDES(cache_.mutex_);
    Step run_child() EXCLUDES(cache_.mutex_);
    // Stores the child's outcome.
    void keep(const SharedTelemetry& outcome) EXCLUDES(cache_.mutex_);
    // Gives the lock up, or leaves the queue, and ends the lookup.
    void end() EXCLUDES(cache_.mutex_);

    TelemetryCache& cache_;
    const std::string root_;
    const contract::RunId run_;
    const RunSignature signature_;
    Phase phase_ = Phase::Fresh;  // the lookup's own: read and written by its steps only
    // Answered by the lookup that gave the lock up (served_locked), which writes both under the
    // cache's mutex before the next step reads them under it (a lock the analysis cannot name
    // from another lookup).
    bool served_ = false;
    SharedTelemetry telemetry_;
};

}  // namespace korvalle::store
