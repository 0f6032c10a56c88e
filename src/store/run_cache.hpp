// The store's cache of opened runs: a run whose files did not change is not replayed again.
//
// An entry is the view of one run directory together with the identity of every file its open
// read (views::RunView::files_read). It is handed out only while stat of each of those paths
// still gives the recorded identity, and a recorded absence is still absent; otherwise the run
// is opened again and the entry replaced. A view whose files changed less than two seconds
// before they were read is used by its own caller only and never kept: two writes within one
// tick of the file system's clock can leave size and times as they were.
//
// Views hold nothing that depends on the clock, a process, the host or the environment
// (liveness and the rest are computed from a view when a document is built), so a kept view
// answers exactly what a fresh open would.
#pragma once

#include "sdk/run/ledger.hpp"
#include "sdk/run/views.hpp"
#include "src/payload/payload.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace korvalle::store {

using SharedView = std::shared_ptr<const views::RunView>;

// An opened run: its view, and what every run list needs of it that its envelopes alone decide
// (so that a kept run is not walked again for it).
struct OpenedRun {
    views::RunView view;
    payload::TurnDurations turn_durations;  // payload::sum_turn_durations of its envelopes
};
using SharedRun = std::shared_ptr<const OpenedRun>;

class RunCache {
public:
    // Nanoseconds since the Unix epoch, on the clock that file times are taken from.
    using Clock = std::function<std::int64_t()>;

    static constexpr std::uint64_t default_max_bytes = std::uint64_t{1} << 30;
    // Files changed less than this before they were read may change again unseen.
    static constexpr std::int64_t settle_ns = 2'000'000'000;

    // At most max_bytes of views (by estimated_bytes), the least recently used dropped first.
    // clock is the realtime clock unless a test gives another.
    explicit RunCache(std::uint64_t max_bytes = default_max_bytes, Clock clock = realtime_ns);
    RunCache(const RunCache&) = delete;
    RunCache& operator=(const RunCache&) = delete;

    // The view of the run at paths, or null when it does not open (views::RunView::open fails);
    // kept, when given, tells whether the cache keeps that view. Safe to call from any number
    // of threads; files are looked at and runs opened outside the cache's lock.
    SharedRun open_run(const ledger::RunPaths& paths, bool* kept = nullptr);
    // The view of open_run.
    SharedView open(const ledger::RunPaths& paths, bool* kept = nullptr);

    // Drops the entries of runs that are not among these (a listing of the whole runs root):
    // their directories are gone or are no runs any more.
    void keep_only(const std::vector<ledger::RunPaths>& listed);

    // What the cache holds and has done, for tests and benchmarks.
    struct Figures {
        std::size_t entries = 0;
        std::uint64_t bytes = 0;     // estimated bytes of the views held
        std::uint64_t hits = 0;      // opens answered from an entry
        std::uint64_t replays = 0;   // opens that read and replayed the run
    };
    Figures figures() const;

    // The memory a view takes, estimated from the bytes of its launch record and journal (see
    // bytes_per_journal_byte) plus a fixed part.
    static std::uint64_t estimated_bytes(const views::RunView& view);
    // A view takes about this many bytes per journal byte: measured by bench/run_cache_bench
    // (heap in use after opening, over the journal's size) on generated runs.
    static constexpr std::uint64_t bytes_per_journal_byte = 2;

    static std::int64_t realtime_ns();

private:
    struct Entry {
        SharedRun run;
        std::uint64_t bytes = 0;
        std::list<std::string>::iterator recent;  // its place in recent_
    };

    SharedRun kept_run(const std::string& key);
    void touch(const std::string& key, const SharedRun& run);
    bool keep(const std::string& key, SharedRun run);  // true when it stays
    void forget(const std::string& key);
    void erase_locked(std::unordered_map<std::string, Entry>::iterator entry);

    const std::uint64_t max_bytes_;
    const Clock clock_;
    mutable std::mutex mutex_;
    std::unordered_map<std::string, Entry> entries_;  // by run directory
    std::list<std::string> recent_;                   // keys, most recently used first
    std::uint64_t bytes_ = 0;
    std::uint64_t hits_ = 0;
    std::uint64_t replays_ = 0;
};

}  // namespace korvalle::store
