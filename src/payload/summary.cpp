// The run list entry of one run: state, phase, progress, timing, node counts and launch block.
#include "src/payload/payload.hpp"

#include "sdk/run/views.hpp"

namespace korvalle::payload {

namespace {

Roster derived_roster(const views::RunView& view) {
    Roster roster;
    for (const auto& [id, status] : views::derived_statuses(view)) {
        Recorded recorded{std::string(status.word()), std::nullopt};
        if (auto outcome = view.outcomes.find(id); outcome != view.outcomes.end())
            recorded.outcome = outcome->second;
        roster.emplace(id, std::move(recorded));
    }
    return roster;
}

// The nodes of a round result file; empty when the file holds no usable node.
Roster result_roster(const std::filesystem::path& path) {
    Roster roster;
    std::optional<boost::json::value> result = read_json_file(path);
    if (!result || !result->is_object()) return roster;
    const boost::json::value* nodes = result->get_object().if_contains("nodes");
    if (!nodes || !nodes->is_array()) return roster;
    for (const boost::json::value& element : nodes->get_array()) {
        if (auto entry = recorded_entry(element))
            roster.insert_or_assign(std::move(entry->first), std::move(entry->second));  // later wins
    }
    return roster;
}

// Nodes per status text, keys in ascending bytewise order. Texts are counted as they stand:
// a derived "ready" stays "ready", a result file's own words stay as written.
boost::json::object node_counts(const Roster& roster) {
    std::map<std::string, std::uint64_t> counts;
    for (const auto& [id, recorded] : roster) ++counts[recorded.status];
    boost::json::object object;
    for (const auto& [status, count] : counts) object[status] = count;
    return object;
}

std::string_view launcher_word(std::string_view launcher) {
    if (launcher == "codex") return "codex";
    if (launcher == "claude-code") return "claude-code";
    return "unknown";
}

}  // namespace

std::string_view phase_word(const views::RunView& view) {
    if (view.stopped) return "finished";
    if (view.in_round) return "driving-round";
    if (view.round > 0) return view.surface_queued > view.surfaced ? "surfacing" : "reviewing-results";
    return "starting";
}

std::string_view timing_quality(const views::RunView& view) {
    if (view.envelopes.empty()) return "legacy";
    return view.in_round ? "partial" : "complete";
}

Roster recorded_statuses(const views::RunView& view) {
    // While a round is driven its result file is not written yet, or is being rewritten.
    if (!view.in_round) {
        Roster from_file = result_roster(view.paths.round_result(view.round == 0 ? 1 : view.round));
        if (!from_file.empty()) return from_file;
    }
    return derived_roster(view);
}

boost::json::object launch_identity(const views::RunView& view) {
    boost::json::object block;
    block["launch_id"] = view.paths.id;
    block["launcher"] = launcher_word(view.launch.launcher);
    // Only a digest of the session text leaves the server, never the text itself.
    if (!view.launch.session.empty()) block["session_key"] = sha256_hex(view.launch.session);
    return block;
}

boost::json::value run_summary(const views::RunView& view,
                               const std::shared_ptr<const telemetry::RunTelemetry>& telemetry) {
    return run_summary(view, telemetry, sum_turn_durations(view.envelopes));
}

boost::json::value run_summary(const views::RunView& view,
                               const std::shared_ptr<const telemetry::RunTelemetry>& telemetry,
                               const TurnDurations& durations) {
    boost::json::object summary;
    summary["run_id"] = view.paths.id;
    summary["state"] = state_word(view);
    summary["phase"] = phase_word(view);
    if (view.envelopes.empty())
        summary["last_event"] = nullptr;
    else
        summary["last_event"] = view.envelopes.back().kind;
    if (view.last_event_at) summary["last_progress_at"] = *view.last_event_at / 1000;
    summary["timing_quality"] = timing_quality(view);
    summary["linkage_quality"] = "labelled";
    summary["timing"] = telemetry_breakdown(telemetry.get(), durations);
    summary["node_counts"] = node_counts(recorded_statuses(view));
    summary["launch"] = launch_identity(view);
    return summary;
}

}  // namespace korvalle::payload
