// The store's cache of opened runs: a run whose files did not change is not replayed again.
//
// It keeps two things per run directory, each beside the identity of every file the run's open
// read (views::RunView::files_read), and hands either out only while stat of each of those
// paths still gives the recorded identity (a recorded absence still absent):
// - views, for the documents of one run, bounded by the bytes they really hold (arena blocks
//   and envelope list, and the indexes and texts kept beside them) and dropped least recently
//   used first. A view is kept while it fits the bound alone; beside it, only what fits there
//   too is kept, and the rest is made again for each document (kept_indexes.hpp). Only the
//   documents' own reads keep and order them: a walk over every run reads a kept view but never
//   keeps or moves one, so no walk over a root larger than the bound can flush the views the
//   documents use.
// - records (run_record.hpp), for the walks over every run, in a bound of their own, so that a
//   walk over unchanged runs opens none of them whatever the size of the root.
// Neither is trusted when its files changed less than two seconds before they were read (two
// writes within one tick of the file system's clock can leave size and times as they were).
// Such a view is still kept, by walks too, as the base that a later read grows from: a journal
// that only grew is read on from where the view's read stopped (views::RunView::grown), so a
// run being written costs what was appended. A read on checks samples of the bytes before the
// old end; a view read on whose files have settled is trusted only once its journal is checked
// whole (views::RunView::journal_intact). A view is handed out only while the run's name leads
// to the directory it was read from. The view of a journal that is not UTF-8 for good is kept by
// walks too: it holds no envelopes, and lets reads after appends read nothing more of it.
//
// One open per run at a time: concurrent opens of one run, by documents or walks, share one.
// Every open takes its share of a budget for opens first (reserved from its journal's size and
// corrected to the bytes of its view), and holds it until its view is kept or dropped; past the
// budget, opens wait their turn. A document's read (Reading) waits for either, another caller's
// open or its own open's share, without holding a thread: it is taken in steps (steps.hpp).
// Opens take their memory from the blocks that freed views left (block_reserve.hpp), kept for a
// while within a share of that budget.
//
// Views hold nothing that depends on the clock, a process, the host or the environment
// (liveness and the rest are computed from a view when a document is built), so a kept view
// answers exactly what a fresh open would.
#pragma once

#include "sdk/base/thread_safety.hpp"
#include "sdk/run/ledger.hpp"
#include "sdk/run/views.hpp"
#include "src/store/block_reserve.hpp"
#include "src/store/kept_indexes.hpp"
#include "src/store/lru.hpp"
#include "src/store/memory_budget.hpp"
#include "src/store/run_record.hpp"
#include "src/store/steps.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace korvalle::store {

// An opened run: its view and record, how far it may be trusted, and its share of the budget
// for opens, given back once the cache keeps the view (the cache's bound counts it then) or
// the view is dropped. room: the bytes its indexes may keep beside it; answers: the budget that
// counts the texts they keep once the cache lets the view go (KeptIndexes).
struct OpenedRun {
    OpenedRun(views::RunView view, SharedRecord record, std::uint64_t bytes, std::int64_t read_from, bool trusted,
              MemoryBudget::Lease lease, std::uint64_t room, std::shared_ptr<MemoryBudget> answers = nullptr)
        : view(std::move(view)), record(std::move(record)), bytes(bytes), read_from(read_from), trusted(trusted),
          lease(std::move(lease)), indexes(room, std::move(answers)) {}

    views::RunView view;
    SharedRecord record;         // RunRecord::of(view)
    std::uint64_t bytes = 0;     // view.held_bytes()
    std::int64_t read_from = 0;  // the clock when its read began
    // Read completely, from files settled before the read: it answers any request while its
    // files are unchanged. An untrusted view answers only requests that began before its read;
    // later ones read its journal on from where it stopped.
    bool trusted = false;
    // Released by the cache under its lock, once, when it keeps the view; else ends with it.
    mutable MemoryBudget::Lease lease;
    KeptIndexes indexes;                // the cache counts their bytes once told (count_indexes)

    // read_from: the clock when the document began (RunCache::now); see KeptIndexes::Of.
    KeptIndexes::Of indexes_of(std::optional<std::int64_t> read_from = std::nullopt) const {
        return KeptIndexes::Of(indexes, view, read_from);
    }
};
using SharedRun = std::shared_ptr<const OpenedRun>;
using SharedView = std::shared_ptr<const views::RunView>;

// Room for the record of a typical run (measured on generated runs; README).
inline constexpr std::uint64_t record_room = 1024;

struct CacheBounds {
    std::uint64_t view_bytes = std::uint64_t{1} << 30;   // views kept for documents and growth
    std::uint64_t record_bytes = 100'000 * record_room;  // records kept for walks
    std::uint64_t open_budget = std::uint64_t{1} << 30;  // opens in progress
};

class RunCache {
    enum class Want { View, Record };
    struct Flight;

public:
    // Nanoseconds since the Unix epoch, on the clock that file times are taken from.
    using Clock = std::function<std::int64_t()>;

    using Bounds = CacheBounds;
    // Bounds that keep no view and no record: every read replays its run.
    static constexpr Bounds keeping_nothing() { return Bounds{0, 0, Bounds{}.open_budget}; }

    // Files changed less than this before they were read may change again unseen.
    static constexpr std::int64_t settle_ns = files::settle_ns;

    // clock is the realtime clock unless a test gives another.
    explicit RunCache(Bounds bounds = {}, Clock clock = realtime_ns);
    RunCache(const RunCache&) = delete;
    RunCache& operator=(const RunCache&) = delete;

    // For the documents of one run: the read of the run at paths, in steps that never block.
    // Begun when it is made: a view read before that answers it only while its files are
    // unchanged. The cache must outlive it.
    class Reading {
    public:
        // may_be_refused: the read may be refused its wait for the budget for opens (a request's).
        Reading(RunCache& cache, ledger::RunPaths paths, bool may_be_refused = true)
            : Reading(cache, std::move(paths), Want::View, may_be_refused) {}
        // A read that leads an open it never began (its caller gave up) lets those that joined
        // it look again.
        ~Reading() EXCLUDES(cache_.mutex_);
        Reading(const Reading&) = delete;
        Reading& operator=(const Reading&) = delete;

        // Done: run() is the run, or null when it does not open (views::RunView::open fails).
        // Waits: for another caller's open of the run, or for this open's share of the budget
        // for opens; resume is called once the wait ends. Refused: the budget for opens refused
        // the wait (refuse_waiting). Reads files: call it where file work may run. Throws
        // files::Exhausted when the open runs out of descriptors or memory.
        Step step(const Resume& resume) EXCLUDES(cache_.mutex_);
        const SharedRun& run() const { return got_.run; }
        // The run's record once done: null when the run does not open.
        const SharedRecord& record() const { return got_.record; }

    private:
        friend class RunCache;
        struct Got {
            SharedRun run;        // null when the run did not open, or a kept record answered
            SharedRecord record;  // null when the run did not open
        };

        Reading(RunCache& cache, ledger::RunPaths paths, Want want, bool may_be_refused);
        bool kept() EXCLUDES(cache_.mutex_);
        bool join_or_lead() EXCLUDES(cache_.mutex_);
        bool took_landed() EXCLUDES(cache_.mutex_);
        Step lead(const Resume& resume) EXCLUDES(cache_.mutex_);

        RunCache& cache_;
        const ledger::RunPaths paths_;
        const std::string key_;
        const Want want_;
        const bool may_be_refused_;
        const std::int64_t begun_;
        // A Reading is taken step by step by one caller at a time (each step may run on another
        // thread, after the last one's resume): what follows is its own, and takes no lock.
        SharedRun base_;                  // a kept view that did not answer: what an open grows from
        std::shared_ptr<Flight> flight_;  // the open joined, or led
        bool leading_ = false;
        std::optional<std::uint64_t> reserved_;  // the lead's share of the budget for opens, once known
        BudgetShare share_;
        Got got_;
    };

    // For walks: the kept record of each run while its files are unchanged, else null. Opens
    // nothing: its cost is the stat calls, made outside the cache's lock, from root (the runs
    // root held open) for the files beneath it.
    std::vector<SharedRecord> kept_records(const std::vector<ledger::RunPaths>& runs,
                                           const files::OpenDirectory& root) EXCLUDES(mutex_);
    // For walks, when kept_records gave none: the read of the run's record in steps, made from a
    // kept view or from an open (keeping the record, never the view), never refused.
    std::unique_ptr<Reading> record_reading(ledger::RunPaths paths);

    // Counts the bytes of the run's indexes built since it was kept, when the cache keeps it.
    void count_indexes(const ledger::RunPaths& paths, const SharedRun& run) EXCLUDES(mutex_);

    // From now on refuses to let the documents' reads wait for the budget for opens, and refuses
    // those waiting (at the stop). Walks still wait their turn.
    void refuse_waiting() { open_budget_->refuse_waiting(); }

    // From now on opens and reads on parse their journals in shards run by runner, shards of
    // about shard_bytes (views::JournalFanout); until then on the opening thread alone. Called
    // once, before any read and before the cache is shared between threads (by the store that
    // is made with it): what it sets is read without a lock.
    void fan_out(std::shared_ptr<shards::Runner> runner, std::uint64_t shard_bytes);

    // From now on the texts kept with the views of the runs it opens are counted by answers (the
    // budget of answers) once the cache lets their view go, for as long as answers still send
    // them (kept_texts.hpp). Until then, and without it, nothing counts them then.
    void count_let_go_texts_in(std::shared_ptr<MemoryBudget> answers) EXCLUDES(mutex_);

    // Drops the views and records of runs that are not among these (a listing of the whole
    // runs root): their directories are gone or are no runs any more.
    void keep_only(const std::vector<ledger::RunPaths>& listed) EXCLUDES(mutex_);

    // What the cache holds and has done, for tests and benchmarks.
    struct Figures {
        std::size_t entries = 0;       // views held
        std::uint64_t bytes = 0;       // bytes of the views held
        std::size_t records = 0;       // records held
        std::uint64_t record_bytes = 0;
        std::uint64_t hits = 0;        // reads answered from a kept view or record
        std::uint64_t replays = 0;     // reads of a run: opens, and journals read on
        std::uint64_t grown = 0;       // of those, journals read on from where a view stopped
        std::uint64_t joined = 0;      // reads answered by another caller's open
        MemoryBudget::Figures opens;   // the budget for opens
        BlockReserve::Figures blocks;  // the blocks kept for opens
    };
    Figures figures() const EXCLUDES(mutex_);

    // A view takes about this many bytes per journal byte: what an open reserves of the budget
    // before it has read anything (bench/run_cache_bench measures it).
    static constexpr std::uint64_t bytes_per_journal_byte = 2;

    static std::int64_t realtime_ns();
    // The cache's clock now.
    std::int64_t now() const { return clock_(); }

private:
    // What an open that ended read, for those that joined it.
    struct Landed {
        std::int64_t read_from = 0;  // the clock when the open began to read
        SharedRun run;               // null when the run did not open
    };

    // Looks at the run's files (stat): called outside the lock.
    bool answers(const SharedRun& run, std::int64_t begun) const;
    // The run opened for the flight, null when it did not open; the flight has landed.
    SharedRun lead(const std::string& key, const ledger::RunPaths& paths, Want want, SharedRun base, Flight& flight,
                   MemoryBudget::Lease lease) EXCLUDES(mutex_);
    // landed: none when the open threw or never began.
    void land(const std::string& key, Flight& flight, std::optional<Landed> landed, bool replayed) EXCLUDES(mutex_);
    void keep(const std::string& key, const SharedRun& run, Want want, bool replaces_view) EXCLUDES(mutex_);
    void forget(const std::string& key) EXCLUDES(mutex_);
    // Nulls the records whose files changed; the stat calls of a root of at least twice
    // runs_per_check runs are cut in parts for the openers.
    void drop_changed(std::vector<SharedRecord>& records, const files::OpenDirectory& root) const;
    static constexpr std::size_t runs_per_check = 64;

    const Clock clock_;
    // Set by fan_out before the cache is shared, read without a lock from then on.
    std::shared_ptr<shards::Runner> runner_;
    views::JournalFanout fanout_;
    const std::shared_ptr<MemoryBudget> open_budget_;
    const std::shared_ptr<BlockReserve> blocks_;
    const std::uint64_t view_bound_;  // views_'s bound, which opens read outside the lock
    // Taken before the locks of the budget for opens and of the block reserve: a lease is
    // released, and a view evicted (its blocks given back), under it. Taken before the locks of
    // a view's kept texts and of the answers' budget too: a view dropped lets its texts go under
    // it (KeptIndexes::let_go). Never held with a flight's lock.
    mutable sync::Mutex mutex_;
    // Each view dropped from it, whichever way, lets its kept texts go.
    BoundedLru<SharedRun> views_ GUARDED_BY(mutex_);
    std::shared_ptr<MemoryBudget> answers_ GUARDED_BY(mutex_);
    BoundedLru<SharedRecord> records_ GUARDED_BY(mutex_);
    std::unordered_map<std::string, std::shared_ptr<Flight>> flights_ GUARDED_BY(mutex_);  // opens in progress
    std::uint64_t hits_ GUARDED_BY(mutex_) = 0;
    std::uint64_t replays_ GUARDED_BY(mutex_) = 0;
    std::uint64_t joined_ GUARDED_BY(mutex_) = 0;
    std::uint64_t grown_ GUARDED_BY(mutex_) = 0;
};

}  // namespace korvalle::store
