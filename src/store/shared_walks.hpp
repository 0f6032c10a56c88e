// Walks over every run, shared by their callers: a caller is answered by the first walk that
// begins after it asked, begun by one of the callers waiting for it. Any number of callers at
// once then cost one walk, and no caller is answered from files read before it asked. The
// pages of the run list built from one walk are kept with it, by query, so that the callers
// of one walk with one query cost one page too.
//
// Nobody holds a thread while waiting for a walk: callers are told by a callback, and a walk
// ends on whichever thread ends its last read (walks park the reads that wait, for another
// caller's open or for the budget for opens, and the open pool takes them on).
#pragma once

#include "sdk/base/thread_safety.hpp"
#include "src/store/run_record.hpp"
#include "src/store/steps.hpp"

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
    // The end of one walk: the records found, or what failed it. Called once, from any thread.
    using Finish = std::function<void(std::exception_ptr, std::vector<SharedRecord>)>;
    // Whether a caller still wants the walk it waits for (an event stream's snapshot no longer
    // does once the server stops). Asked without a lock held; it must not block.
    using Wanted = std::function<bool()>;
    // Begins a walk, which calls finish once, from any thread. Where the walk starts (on its
    // thread), it first asks wanted: the callers that no longer want it are told so then, and
    // when none is left (false) it reads nothing and calls finish with no records. What it
    // throws fails the walk.
    using Begin = std::function<void(Finish, Wanted)>;

    // Calls done with the first walk that begins after this call. When none is running, one is
    // begun by begin now; else the callers that asked meanwhile share the next, which the end of
    // the running one begins through the first of their begins. Whatever fails (a walk, its
    // beginning, a caller's done), every caller is answered and the next walk can begin. wanted,
    // if given, is asked as the walk begins and as it starts: a caller that no longer wants it is
    // told so at once (done with neither walk nor error) and costs no walk.
    void after_now(Done done, Begin begin, Wanted wanted = nullptr) EXCLUDES(mutex_);

private:
    struct Waiter {
        Done done;
        Begin begin;
        Wanted wanted;
    };
    using Batch = std::vector<Waiter>;

    // Begins the walk of a batch through its first caller's begin; a batch that nobody wants
    // any more gives its turn to those that asked meanwhile.
    void begin(Batch batch) EXCLUDES(mutex_);
    // Answers the batch, then begins the walk of those that asked meanwhile, if any.
    void ended(Batch& batch, std::exception_ptr error, std::vector<SharedRecord> records) EXCLUDES(mutex_);
    // The callers that asked meanwhile, now the next batch; none, and no walk running, when
    // nobody did.
    Batch next_batch() EXCLUDES(mutex_);
    // Tells the callers of the batch that no longer want its walk, and leaves only the others
    // in it; false when none is left.
    static bool let_go_unwanted(Batch& batch);

    sync::Mutex mutex_;
    bool running_ GUARDED_BY(mutex_) = false;
    Batch waiting_ GUARDED_BY(mutex_);  // for the next walk
};

}  // namespace korvalle::store
