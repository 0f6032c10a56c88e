// The store's work taken to its end while the calling thread blocks: for tests and benchmarks
// only, which call the store from threads of their own. The server never blocks a thread to
// wait (steps.hpp): tests/include_direction.cmake lets no library include this header.
#pragma once

#include "src/store/change_feed.hpp"
#include "src/store/store.hpp"

#include <boost/json/object.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvalle::store::blocking {

// Takes step(resume) again and again until it does not wait, blocking the calling thread while
// it waits; returns how the last step ended.
Step until_done(const std::function<Step(const Resume&)>& step);

// Blocks until bytes fit the budget (in order of arrival; alone when bytes exceed the limit)
// and takes them. Never refused.
MemoryBudget::Lease acquire(MemoryBudget& budget, std::uint64_t bytes);

// The run at paths read through the cache for documents, never refused; null when it does not
// open. And its view.
SharedRun open_run(RunCache& cache, const ledger::RunPaths& paths);
SharedView open(RunCache& cache, const ledger::RunPaths& paths);
// The run's record as a walk reads it (RunCache::record_reading); null when it does not open.
SharedRecord open_record(RunCache& cache, const ledger::RunPaths& paths);

// The run's telemetry through the store's cache (a lookup in steps taken to its end); null when
// it is unavailable or the id fails the identifier rule.
SharedTelemetry telemetry(const RunStore& store, const views::RunView& view);

// The outcome of a document taken to its end.
template <class Document>
Result<Document, error::ApiError> made(RunDocument<Document> document) {
    until_done([&](const Resume& resume) { return document.step(resume); });
    return std::move(document.outcome());
}

// The store's documents, as their routes have them made (with no budget of answers).
Result<text::Fragments, error::ApiError> run(const RunStore& store, const contract::RunId& id,
                                             bool include_conversations);
Result<text::Fragments, error::ApiError> timeline(const RunStore& store, const contract::RunId& run,
                                                  const TimelineScope& scope);
Result<std::string, error::ApiError> conversation(const RunStore& store, const contract::RunId& run,
                                                  const contract::RunId& id);
Result<boost::json::value, error::ApiError> artifact(const RunStore& store, const contract::RunId& run,
                                                     const contract::RunId& id);

// The run whose id equals the requested one byte for byte, as opened, or run_not_found; and
// its view.
Result<SharedRun, error::ApiError> find_opened(const RunStore& store, const contract::RunId& id);
Result<SharedView, error::ApiError> find_run(const RunStore& store, const contract::RunId& id);

// The first walk over the root that begins after the call, walked on a thread of its own when
// it falls to this caller; rethrows what failed it. Its records.
SharedWalks::SharedWalk walk(const RunStore& store);
std::vector<SharedRecord> every_run_record(const RunStore& store);

// One page of the run list from a walk begun after the call, as a document, and as the text
// the run list sends (of the walk given).
boost::json::object run_list(const RunStore& store, const RunsQuery& query);
std::shared_ptr<const std::string> run_list_text(const RunStore& store, const SharedWalks::SharedWalk& walked,
                                                 const RunsQuery& query);

// One look at the runs as the event streams' polls take it: the watched run found by name, or
// the whole root from a walk begun after the call.
Observation observe(const RunStore& store, const std::optional<std::string>& watched, bool with_conversation,
                    const Observation* last = nullptr);
// The signatures of a look at the frames' root (or watched run).
Signatures run_signatures(const Frames& frames);

// A stream's snapshot as its route makes it: its look, then the first page of the run list.
Frame snapshot(Frames& frames);
// One poll of a stream with a look of its own; out of descriptors or memory it makes none.
void poll(Frames& frames);

}  // namespace korvalle::store::blocking
