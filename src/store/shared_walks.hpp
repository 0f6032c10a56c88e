// Walks over every run, shared by their callers: a caller is answered by the first walk that
// starts looking at the root after it asked, begun by one of the callers waiting for it. A walk
// takes every caller that asks until its thread starts it, not only those there when it was
// handed to that thread, so that a crowd shares as few walks as it can; and no caller is answered
// from files read before it asked. The pages of the run list built from one walk are kept with
// it, by query, so that the callers of one walk with one query cost one page too.
//
// Nobody holds a thread while waiting for a walk: callers are told by a callback, and a walk
// ends on whichever thread ends its last read (walks park the reads that wait, for another
// caller's open or for the budget for opens, and the open pool takes them on).
#pragma once

#include "sdk/base/thread_safety.hpp"
#include "src/store/run_record.hpp"
#include "src/store/steps.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvalle::store {

class SharedWalks : public std::enable_shared_from_this<SharedWalks> {
public:
    // What one walk found, in the listing's order.
    class Walk {
    public:
        explicit Walk(std::vector<SharedRecord> records) : records_(std::move(records)) {}
        const std::vector<SharedRecord>& records() const { return records_; }
        // Who makes the page of key: it is made once per walk, by the first caller that asks for
        // it, while the others wait for it without a thread.
        enum class Turn {
            Made,   // made: text is the page
            Waits,  // another caller makes it: resume is called once it is made or given up, and
                    // the caller asks again then
            Makes,  // this caller makes it: it ends its turn with keep, or give_up
        };
        Turn page_turn(const std::string& key, const Resume& resume, std::shared_ptr<const std::string>& text) const
            EXCLUDES(mutex_);
        // Ends the maker's turn: keeps the page made and resumes those waiting for it.
        void keep(const std::string& key, std::shared_ptr<const std::string> text) const EXCLUDES(mutex_);
        // Ends the maker's turn without a page (it failed, or was refused): those waiting ask again.
        void give_up(const std::string& key) const EXCLUDES(mutex_);

    private:
        struct Page {
            std::shared_ptr<const std::string> text;  // null until made
            bool making = false;
            std::vector<Resume> waiting;
        };
        // The resumes of those waiting for the page, its turn ended (text: null when given up).
        std::vector<Resume> end_turn(const std::string& key, std::shared_ptr<const std::string> text) const
            EXCLUDES(mutex_);

        const std::vector<SharedRecord> records_;
        mutable sync::Mutex mutex_;
        mutable std::map<std::string, Page> pages_ GUARDED_BY(mutex_);
    };
    using SharedWalk = std::shared_ptr<const Walk>;

    // Told the walk, or what failed it (then the walk is null), or neither when the caller no
    // longer wanted it (Wanted). Called once, from any thread, outside every lock of the walks;
    // it must not block. What it throws is dropped: it must hand the walk to its caller, or give
    // the caller up.
    using Done = std::function<void(std::exception_ptr, SharedWalk)>;
    // Whether a caller still wants the walk it waits for (an event stream's snapshot no longer
    // does once the server stops). Asked under the walks' lock: it must take no lock and not
    // block.
    using Wanted = std::function<bool()>;
    // The start of a walk, on its own thread, before it looks at the root: the callers that ask
    // from then on wait for the next walk, and those that no longer want it are told so (done
    // with neither walk nor error). False when none is left: the walk then reads nothing and
    // finishes with no records. Called at most once.
    using Start = std::function<bool()>;
    // The end of one walk: the records found, or what failed it. Called once, from any thread.
    using Finish = std::function<void(std::exception_ptr, std::vector<SharedRecord>)>;
    // Begins a walk, which calls start, then finish once, from any thread. What it throws fails
    // the walk, with every caller that asked until then.
    using Begin = std::function<void(Start, Finish)>;
    // Calls go once, from any thread, after at most the time given; it must not block. What it
    // throws begins the walk at once.
    using Gather = std::function<void(std::chrono::steady_clock::duration, std::function<void()> go)>;

    // A walk gathers its callers for at most as long as the last walk took, and never longer
    // than this.
    static constexpr std::chrono::steady_clock::duration max_gather = std::chrono::milliseconds(2);

    // Calls done with the first walk that starts after this call. When none is begun, one is
    // begun by begin now; a walk begun and not yet started takes this caller too; else the
    // callers that asked meanwhile share the next, which the end of the running one begins
    // through the first of their begins. Whatever fails (a walk, its beginning, a caller's
    // done), every caller is answered and the next walk can begin.
    //
    // The callers a walk answered come back soon when they are a crowd asking again: when the
    // first caller of the next walk gives a gather, that walk is begun once as many callers
    // wait for it as the last walk answered and the next had then (the last walk's alone, for a
    // walk none waited for within max_gather of its end), or once the gather's time is up (as
    // long as the last walk took, at most max_gather), whichever comes first. A lone caller
    // begins its walk at once.
    // wanted, if given, is asked as the walk starts: a caller that no longer wants it costs no
    // walk.
    void after_now(Done done, Begin begin, Gather gather = {}, Wanted wanted = nullptr) EXCLUDES(mutex_);

    // The walks started so far, for tests and benchmarks that count what a crowd cost.
    std::uint64_t walks_started() const EXCLUDES(mutex_);

private:
    struct Waiter {
        Done done;
        Begin begin;
        Gather gather;
        Wanted wanted;
    };
    using Batch = std::vector<Waiter>;
    enum class State {
        Idle,       // no walk begun
        Gathering,  // the next walk waits for its callers to gather: waiting_ are its callers
        Begun,      // a walk begun and not yet started: waiting_ are its callers
        Walking,    // a walk started: walking_ are its callers, waiting_ the next walk's
    };
    // What to do once the lock is let go: begin the walk through begin (when gather is empty;
    // an empty begin fails the walk), or time the gather numbered.
    struct Next {
        Begin begin;
        Gather gather;
        std::uint64_t gather_number = 0;
        std::chrono::steady_clock::duration most{};
    };

    // With callers waiting and no walk begun: gathers them until expected callers wait, or
    // begins their walk at once.
    Next next_locked(std::size_t expected) REQUIRES(mutex_);
    // Their walk is begun: through the first one's begin.
    Next begun_locked() REQUIRES(mutex_);
    void go(Next next) EXCLUDES(mutex_);
    void begin_walk(const Begin& begin) EXCLUDES(mutex_);
    // The gather numbered has timed out: its walk is begun, unless its callers came first.
    void gathered(std::uint64_t number) EXCLUDES(mutex_);
    // The walk starts: its callers are those waiting; false when none still wants it.
    bool started() EXCLUDES(mutex_);
    // Answers the walk's callers, then begins the walk of those that asked meanwhile, if any.
    void ended(std::exception_ptr error, std::vector<SharedRecord> records) EXCLUDES(mutex_);
    static void tell(Batch& batch, std::exception_ptr error, std::vector<SharedRecord> records);

    mutable sync::Mutex mutex_;
    State state_ GUARDED_BY(mutex_) = State::Idle;
    Batch waiting_ GUARDED_BY(mutex_);
    Batch walking_ GUARDED_BY(mutex_);
    std::uint64_t started_ GUARDED_BY(mutex_) = 0;
    std::chrono::steady_clock::time_point started_at_ GUARDED_BY(mutex_);  // of the walk running
    std::chrono::steady_clock::duration last_took_ GUARDED_BY(mutex_){};   // from its start to its end
    std::size_t answered_ GUARDED_BY(mutex_) = 0;                          // the last walk's callers
    std::chrono::steady_clock::time_point ended_at_ GUARDED_BY(mutex_);    // and when they were told
    std::uint64_t gathers_ GUARDED_BY(mutex_) = 0;                         // the last one's number
    std::size_t gather_for_ GUARDED_BY(mutex_) = 0;  // the callers that end the gather
};

}  // namespace korvalle::store
