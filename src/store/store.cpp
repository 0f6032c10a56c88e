#include "src/store/store.hpp"

#include "src/payload/payload.hpp"
#include "src/payload/run_detail.hpp"
#include "src/payload/timeline.hpp"
#include "sdk/base/files.hpp"

#include <unistd.h>

#include <algorithm>
#include <limits>

namespace korvalle::store {

namespace {

// What the run list keeps of each run while it walks the root: the sort key, the settled flag,
// the telemetry key, the journal sums, and either the run, when the cache of opened runs keeps
// it (holding on to it costs nothing then, and its summary is built only if it lands on the
// page), or the run's summary built without telemetry. The telemetry reaches only the summary's "timing" block,
// which is made again for the runs of the page that have telemetry; every other run never gets
// its telemetry asked for.
struct ListedRun {
    std::string id;
    std::optional<std::uint64_t> last_event_at;
    bool settled = false;
    RunSignature signature;
    SharedRun kept;
    payload::TurnDurations durations;
    boost::json::object summary;
};

ListedRun listed_run(const SharedRun& opened, bool kept) {
    const views::RunView& view = opened->view;
    ListedRun run{view.id(), view.last_event_at, views::is_settled(view), RunSignature::of(view), nullptr,
                  opened->turn_durations, {}};
    if (kept) {
        run.kept = opened;
    } else {
        run.summary = std::move(payload::run_summary(view, nullptr, run.durations).as_object());
    }
    return run;
}

// Run order: runs with a last event time first, later times first, then by id as bytes.
bool runs_before(const ListedRun* a, const ListedRun* b) {
    if (a->last_event_at.has_value() != b->last_event_at.has_value()) return a->last_event_at.has_value();
    if (a->last_event_at && *a->last_event_at != *b->last_event_at) return *a->last_event_at > *b->last_event_at;
    return a->id < b->id;
}

using RunRefs = std::vector<ListedRun*>;

// Up to limit runs from start on, settled ones left out unless asked for, and whether more
// runs follow them.
std::pair<RunRefs, bool> page_from(RunRefs::const_iterator start, RunRefs::const_iterator end,
                                   const RunsQuery& query) {
    RunRefs page;
    for (auto it = start; it != end; ++it) {
        if (!query.include_settled && (*it)->settled) continue;
        if (page.size() == query.limit) return {std::move(page), true};
        page.push_back(*it);
    }
    return {std::move(page), false};
}

}  // namespace

RunSignature RunSignature::of(const views::RunView& view) {
    return RunSignature{view.round, static_cast<std::uint64_t>(view.envelopes.size()),
                        view.last_event_at.value_or(0)};
}

SharedTelemetry TelemetryCache::lookup(std::string_view root, const contract::RunId& run,
                                       const RunSignature& signature) {
    std::lock_guard lock(mutex_);
    if (auto it = entries_.find(run.str()); it != entries_.end() && it->second.signature == signature) {
        return it->second.telemetry;
    }
    auto outcome = telemetry::of_run_from(telemetry::telemetry_binary(), root, run);
    SharedTelemetry result;
    if (auto* unavailable = std::get_if<telemetry::Unavailable>(&outcome)) {
        files::write_whole(STDERR_FILENO, "korvalle-api: no telemetry for " + run.str() + ": " + unavailable->message() + "\n");
    } else {
        result = std::make_shared<const telemetry::RunTelemetry>(std::get<telemetry::RunTelemetry>(std::move(outcome)));
    }
    entries_.insert_or_assign(run.str(), Entry{signature, result});
    return result;
}

RunStore::RunStore(std::string root, std::uint64_t poll_ms, std::shared_ptr<RunCache> run_cache)
    : root_(std::move(root)),
      poll_ms_(poll_ms),
      transcript_poll_ms_(poll_ms > std::numeric_limits<std::uint64_t>::max() / 10
                              ? std::numeric_limits<std::uint64_t>::max()
                              : poll_ms * 10),
      telemetry_cache_(std::make_shared<TelemetryCache>()),
      openers_(std::make_shared<OpenPool>(OpenPool::core_count())),
      run_cache_(std::move(run_cache)) {}

RunStore RunStore::new_polling_every(std::string_view root, std::uint64_t poll_ms) {
    return RunStore(std::string(root), poll_ms, std::make_shared<RunCache>());
}

RunStore RunStore::new_polling_every(std::string_view root, std::uint64_t poll_ms,
                                     std::shared_ptr<RunCache> run_cache) {
    return RunStore(std::string(root), poll_ms, std::move(run_cache));
}

SharedTelemetry RunStore::cached_telemetry(const views::RunView& view) const {
    auto id = contract::RunId::make(view.id());
    if (!id) return nullptr;
    return telemetry_cache_->lookup(root_, *id, RunSignature::of(view));
}

boost::json::object RunStore::run_list(const RunsQuery& query) const {
    std::vector<ListedRun> listed = map_every_run(listed_run);
    RunRefs ordered;
    ordered.reserve(listed.size());
    for (ListedRun& run : listed) ordered.push_back(&run);
    std::sort(ordered.begin(), ordered.end(), runs_before);

    auto start = ordered.begin();
    if (query.cursor) {
        auto at = std::find_if(ordered.begin(), ordered.end(),
                               [&](const ListedRun* run) { return run->id == *query.cursor; });
        if (at != ordered.end()) start = at + 1;
    }
    auto [page, more] = page_from(start, ordered.end(), query);

    boost::json::array runs;
    runs.reserve(page.size());
    // Telemetry is asked for in page order, one run after another, as the cache expects.
    for (ListedRun* run : page) {
        SharedTelemetry telemetry;
        if (auto id = contract::RunId::make(run->id)) telemetry = telemetry_cache_->lookup(root_, *id, run->signature);
        if (run->kept) {
            runs.push_back(payload::run_summary(run->kept->view, telemetry, run->durations));
            continue;
        }
        if (telemetry) run->summary["timing"] = payload::telemetry_breakdown(telemetry.get(), run->durations);
        runs.push_back(std::move(run->summary));
    }
    boost::json::object document;
    document.emplace("runs", std::move(runs));
    if (more) document.emplace("next_cursor", page.back()->id);
    return document;
}

std::variant<std::string, error::ApiError> RunStore::run(const contract::RunId& id, bool include_conversations) const {
    auto found = find_run(id);
    if (auto* error = std::get_if<error::ApiError>(&found)) return std::move(*error);
    const views::RunView& view = *std::get<SharedView>(found);
    SharedTelemetry telemetry = cached_telemetry(view);
    return payload::run_detail(view, include_conversations, telemetry.get());
}

std::variant<std::string, error::ApiError> RunStore::timeline(const contract::RunId& run,
                                                              const TimelineScope& scope) const {
    auto found = find_run(run);
    if (auto* error = std::get_if<error::ApiError>(&found)) return std::move(*error);
    const views::RunView& view = *std::get<SharedView>(found);
    return payload::timeline(view, scope.node ? std::optional<std::string_view>(*scope.node) : std::nullopt);
}

std::variant<SharedView, error::ApiError> RunStore::find_run(const contract::RunId& id) const {
    // Only the named entry is looked at, by the listing's own rule, so the answer is the one a
    // walk over every run would give, at the cost of one run.
    std::optional<ledger::RunPaths> paths = ledger::run_dir_entry(std::filesystem::path(root_), id.str());
    if (!paths) return error::ApiError::run_not_found(id);
    SharedView view = run_cache_->open(*paths);
    if (!view) return error::ApiError::run_not_found(id);
    return view;
}

}  // namespace korvalle::store
