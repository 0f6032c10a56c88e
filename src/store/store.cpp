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

// Run order: runs with a last event time first, later times first, then by id as bytes.
bool runs_before(const views::RunView* a, const views::RunView* b) {
    if (a->last_event_at.has_value() != b->last_event_at.has_value()) return a->last_event_at.has_value();
    if (a->last_event_at && *a->last_event_at != *b->last_event_at) return *a->last_event_at > *b->last_event_at;
    return a->id() < b->id();
}

using RunRefs = std::vector<const views::RunView*>;

// Up to limit runs from start on, settled ones left out unless asked for, and whether more
// runs follow them.
std::pair<RunRefs, bool> page_from(RunRefs::const_iterator start, RunRefs::const_iterator end,
                                   const RunsQuery& query) {
    RunRefs page;
    for (auto it = start; it != end; ++it) {
        if (!query.include_settled && views::is_settled(**it)) continue;
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

RunStore::RunStore(std::string root, std::uint64_t poll_ms)
    : root_(std::move(root)),
      poll_ms_(poll_ms),
      transcript_poll_ms_(poll_ms > std::numeric_limits<std::uint64_t>::max() / 10
                              ? std::numeric_limits<std::uint64_t>::max()
                              : poll_ms * 10),
      telemetry_cache_(std::make_shared<TelemetryCache>()) {}

RunStore RunStore::new_polling_every(std::string_view root, std::uint64_t poll_ms) {
    return RunStore(std::string(root), poll_ms);
}

SharedTelemetry RunStore::cached_telemetry(const views::RunView& view) const {
    auto id = contract::RunId::make(view.id());
    if (!id) return nullptr;
    return telemetry_cache_->lookup(root_, *id, RunSignature::of(view));
}

boost::json::object RunStore::run_list(const RunsQuery& query) const {
    std::vector<views::RunView> views = views::RunView::all(root_);
    RunRefs ordered;
    ordered.reserve(views.size());
    for (const auto& view : views) ordered.push_back(&view);
    std::sort(ordered.begin(), ordered.end(), runs_before);

    auto start = ordered.begin();
    if (query.cursor) {
        auto at = std::find_if(ordered.begin(), ordered.end(),
                               [&](const views::RunView* v) { return v->id() == *query.cursor; });
        if (at != ordered.end()) start = at + 1;
    }
    auto [page, more] = page_from(start, ordered.end(), query);

    boost::json::array runs;
    runs.reserve(page.size());
    for (const auto* view : page) {
        SharedTelemetry telemetry = cached_telemetry(*view);
        runs.push_back(payload::run_summary(*view, telemetry));
    }
    boost::json::object document;
    document.emplace("runs", std::move(runs));
    if (more) document.emplace("next_cursor", page.back()->id());
    return document;
}

std::variant<boost::json::object, error::ApiError> RunStore::run(const contract::RunId& id,
                                                                 bool include_conversations) const {
    auto found = find_run(root_, id);
    if (auto* error = std::get_if<error::ApiError>(&found)) return std::move(*error);
    const auto& view = std::get<views::RunView>(found);
    SharedTelemetry telemetry = cached_telemetry(view);
    return payload::run_detail(view, include_conversations, telemetry.get());
}

std::variant<boost::json::object, error::ApiError> RunStore::timeline(const contract::RunId& run,
                                                                      const TimelineScope& scope) const {
    auto found = find_run(root_, run);
    if (auto* error = std::get_if<error::ApiError>(&found)) return std::move(*error);
    const auto& view = std::get<views::RunView>(found);
    return payload::timeline(view, scope.node ? std::optional<std::string_view>(*scope.node) : std::nullopt);
}

std::variant<views::RunView, error::ApiError> find_run(std::string_view root, const contract::RunId& id) {
    auto views = views::RunView::all(std::filesystem::path(std::string(root)));
    for (auto& view : views) {
        if (view.id() == id.str()) return std::move(view);
    }
    return error::ApiError::run_not_found(id);
}

}  // namespace korvalle::store
