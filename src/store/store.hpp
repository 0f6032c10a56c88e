// The run store: the server's read model of the runs root. Every operation lists the root
// again and opens its runs through the cache of opened runs, which replays a run only when a
// file its open read has changed. The telemetry cache remembers per run what the pipeline
// tool's telemetry command answered until the run changes. Operations over every run open the
// runs on the store's pool of openers and keep a small record per run.
#pragma once

#include "sdk/run/views.hpp"
#include "src/contract/contract.hpp"
#include "src/contract/error.hpp"
#include "src/store/open_pool.hpp"
#include "src/store/queries.hpp"
#include "src/store/run_cache.hpp"
#include "src/telemetry/telemetry.hpp"

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

namespace korvalle::store {

// A run's change fingerprint: it moves when a round starts, an envelope is appended or the
// last event time moves.
struct RunSignature {
    std::uint64_t round = 0;
    std::uint64_t envelope_count = 0;
    std::uint64_t last_event_ms = 0;  // 0 when the run has no last event time

    static RunSignature of(const views::RunView& view);
    friend bool operator==(const RunSignature&, const RunSignature&) = default;
};

using SharedTelemetry = std::shared_ptr<const telemetry::RunTelemetry>;

// One lock over one map from run id to (signature, outcome). The lock is held across the
// telemetry child's run, so at most one child runs at a time and the standard-error lines of
// two lookups never interleave.
class TelemetryCache {
public:
    // The run's telemetry for this signature: the cached outcome when the signature is the
    // recorded one, else the outcome of a fresh child run (written to standard error when it is
    // unavailable), which replaces the entry. Running out of descriptors or memory throws
    // files::Exhausted and records nothing, so the next lookup tries again.
    SharedTelemetry lookup(std::string_view root, const contract::RunId& run, const RunSignature& signature);

private:
    struct Entry {
        RunSignature signature;
        SharedTelemetry telemetry;  // null: unavailable for that signature
    };
    std::mutex mutex_;
    std::unordered_map<std::string, Entry> entries_;
};

class Frames;

class RunStore {
public:
    // Keeps a copy of the root and the poll interval; reads nothing and cannot fail.
    static RunStore new_polling_every(std::string_view root, std::uint64_t poll_ms);
    // The same with a cache of opened runs of the caller's making (another bound or clock).
    static RunStore new_polling_every(std::string_view root, std::uint64_t poll_ms,
                                      std::shared_ptr<RunCache> run_cache);

    const std::string& root() const { return root_; }
    std::uint64_t poll_ms() const { return poll_ms_; }
    // Ten poll intervals (saturating).
    std::uint64_t transcript_poll_ms() const { return transcript_poll_ms_; }

    // The run's telemetry, or null. A run whose id fails the identifier rule gets none, silently.
    SharedTelemetry cached_telemetry(const views::RunView& view) const;

    // The view of the run whose id equals the requested one byte for byte, or run_not_found.
    // Only that run is looked at: the one entry of that name, taken as the listing would take
    // it, opened through the cache.
    std::variant<SharedView, error::ApiError> find_run(const contract::RunId& id) const;

    // The store's cache of opened runs (shared by its clones).
    RunCache& run_cache() const { return *run_cache_; }

    // One page of the run list: {"runs":[summary…]} plus "next_cursor" when more runs follow.
    boost::json::object run_list(const RunsQuery& query) const;

    // The text of the run detail document of one run, with its telemetry when the cache has it;
    // its conversations only when include_conversations is set. run_not_found when no run has
    // the id.
    std::variant<std::string, error::ApiError> run(const contract::RunId& id, bool include_conversations) const;

    // Opens every run of the root through the cache, on the store's openers, and hands each
    // run to to_record(run, kept) (on an opener thread, several at once); kept tells that the
    // cache keeps the run, so that a record may hold on to it at no cost; the walk itself
    // keeps no view. Gives the records of the runs that opened, in the listing's order
    // (ascending id), as views::RunView::all would give their views. to_record must not walk
    // the runs itself. The cache forgets the runs that are no longer listed.
    template <class ToRecord>
    auto map_every_run(ToRecord to_record) const
        -> std::vector<std::invoke_result_t<ToRecord&, const SharedRun&, bool>>;

    // One conversation of one run: run_not_found, conversation_not_found, or the document's text.
    std::variant<std::string, error::ApiError> conversation(const contract::RunId& run,
                                                            const contract::RunId& id) const;
    // One artifact of one run: run_not_found, artifact_not_found (also when its file cannot be
    // read), or the document.
    std::variant<boost::json::value, error::ApiError> artifact(const contract::RunId& run,
                                                               const contract::RunId& id) const;

    // The text of the timeline document of the run, for the whole run or the scope's node;
    // run_not_found when no run has the id. Looks up no telemetry.
    std::variant<std::string, error::ApiError> timeline(const contract::RunId& run, const TimelineScope& scope) const;

    // The frame source of one event stream (change_feed.hpp): a copy of this store sharing its
    // telemetry cache, the watched run and the first frame id. Reads nothing.
    Frames events(const EventsQuery& query) const;

private:
    RunStore(std::string root, std::uint64_t poll_ms, std::shared_ptr<RunCache> run_cache);

    std::string root_;
    std::uint64_t poll_ms_;
    std::uint64_t transcript_poll_ms_;
    std::shared_ptr<TelemetryCache> telemetry_cache_;
    std::shared_ptr<OpenPool> openers_;
    std::shared_ptr<RunCache> run_cache_;
};

template <class ToRecord>
auto RunStore::map_every_run(ToRecord to_record) const
    -> std::vector<std::invoke_result_t<ToRecord&, const SharedRun&, bool>> {
    using Record = std::invoke_result_t<ToRecord&, const SharedRun&, bool>;
    const std::vector<ledger::RunPaths> runs = ledger::all_runs(root_);
    run_cache_->keep_only(runs);
    std::vector<std::optional<Record>> slots(runs.size());
    openers_->run_each(runs.size(), [&](std::size_t i) {
        bool kept = false;
        if (SharedRun run = run_cache_->open_run(runs[i], &kept)) slots[i].emplace(to_record(std::as_const(run), kept));
    });
    std::vector<Record> records;
    records.reserve(runs.size());
    for (std::optional<Record>& slot : slots) {
        if (slot) records.push_back(std::move(*slot));
    }
    return records;
}


}  // namespace korvalle::store
