// The run list entry of one run: state, phase, progress, timing, node counts and launch block.
#include "src/payload/summary.hpp"

#include "sdk/base/memory.hpp"
#include "sdk/run/launch_record.hpp"
#include "sdk/run/liveness.hpp"
#include "sdk/run/run_directory.hpp"
#include "sdk/run/statuses.hpp"
#include "sdk/run/views.hpp"
#include "src/payload/vocabulary.hpp"

#include <boost/json/monotonic_resource.hpp>

#include <algorithm>
#include <array>

namespace korvalle::payload {

namespace {

// Nodes per derived status word, ascending bytewise.
std::vector<std::pair<std::string_view, std::uint64_t>> count_derived(const views::RunView& view) {
    std::map<std::string_view, std::uint64_t> counts;
    for (const auto& [id, status] : views::derived_statuses(view)) ++counts[status.word()];
    return {counts.begin(), counts.end()};
}

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

// The round whose result file counts: none while a round is driven, as its result file is not
// written yet, or is being rewritten.
std::optional<std::uint64_t> current_result_round(const views::RunView& view) {
    if (view.in_round) return std::nullopt;
    return view.round == 0 ? 1 : view.round;
}

// The "nodes" array of a round's result file as read, when it has one.
const boost::json::array* result_nodes(const std::optional<boost::json::value>& result) {
    if (!result || !result->is_object()) return nullptr;
    const boost::json::value* nodes = result->get_object().if_contains("nodes");
    return nodes ? nodes->if_array() : nullptr;
}

// The nodes of a round's result file as read; empty when it holds no usable node.
Roster result_roster(const std::optional<boost::json::value>& result) {
    Roster roster;
    if (const boost::json::array* nodes = result_nodes(result)) {
        for (const boost::json::value& element : *nodes) {
            if (auto entry = recorded_entry(element))
                roster.insert_or_assign(std::move(entry->first), std::move(entry->second));  // later wins
        }
    }
    return roster;
}

// The nodes of result_roster(result) per status text, keys in ascending bytewise order, the
// result file's words counted as they stand; none where that roster is empty. Made from views
// into result without the roster: a list makes one per run.
std::optional<boost::json::object> status_counts(const std::optional<boost::json::value>& result) {
    const boost::json::array* nodes = result_nodes(result);
    if (!nodes) return std::nullopt;
    std::vector<std::pair<std::string_view, std::string_view>> statuses;  // node id, status
    statuses.reserve(nodes->size());
    for (const boost::json::value& element : *nodes) {
        if (auto status = recorded_status(element)) statuses.push_back(*status);
    }
    if (statuses.empty()) return std::nullopt;
    // One status per node, a later entry of a node in place of earlier ones, as in the roster.
    std::stable_sort(statuses.begin(), statuses.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::string_view> words;
    for (std::size_t i = 0; i < statuses.size(); ++i) {
        if (i + 1 == statuses.size() || statuses[i + 1].first != statuses[i].first) words.push_back(statuses[i].second);
    }
    std::sort(words.begin(), words.end());
    boost::json::object counts;
    for (auto word = words.begin(); word != words.end();) {
        const auto end = std::upper_bound(word, words.end(), *word);
        counts[*word] = static_cast<std::uint64_t>(end - word);
        word = end;
    }
    return counts;
}

boost::json::object derived_counts(const SummaryFacts& facts) {
    boost::json::object object;
    for (const auto& [status, count] : facts.derived_counts) object[status] = count;
    return object;
}

// Only a digest of the session text leaves the server, never the text itself.
std::optional<std::string> session_key(const views::LaunchRecord& launch) {
    if (launch.session.empty()) return std::nullopt;
    return sha256_hex(launch.session);
}

boost::json::object launch_block(std::string_view id, std::string_view launcher,
                                 const std::optional<std::string>& session_key) {
    boost::json::object block;
    block["launch_id"] = id;
    block["launcher"] = launcher;
    if (session_key) block["session_key"] = *session_key;
    return block;
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
    if (auto round = current_result_round(view)) {
        // Read from the directory the view was read from, or not at all.
        const views::RunDirectory in(view.paths.dir, view.directory);
        Roster from_file = result_roster(read_json_file(in.file(ledger::round_result_name(*round))));
        if (!from_file.empty()) return from_file;
    }
    return derived_roster(view);
}

boost::json::object launch_identity(const views::RunView& view) {
    return launch_block(view.paths.id, launcher_word(view.launch.launcher), session_key(view.launch));
}

SummaryFacts SummaryFacts::of(const views::RunView& view) { return of(view, sum_turn_durations(view.envelopes.slots())); }

SummaryFacts SummaryFacts::of(const views::RunView& view, const TurnDurations& durations) {
    SummaryFacts facts;
    facts.run_id = view.paths.id;
    facts.liveness = views::LivenessFacts::of(view);
    facts.phase = phase_word(view);
    if (!view.envelopes.empty()) facts.last_event = view.envelopes.back().kind;
    facts.timing_quality = payload::timing_quality(view);
    facts.run_dir = view.paths.dir;
    facts.directory = view.directory;
    facts.result_round = current_result_round(view);
    facts.derived_counts = count_derived(view);
    facts.launcher = launcher_word(view.launch.launcher);
    facts.session_key = payload::session_key(view.launch);
    facts.durations = durations;
    return facts;
}

std::uint64_t SummaryFacts::held_bytes() const {
    using memory::heap_bytes;
    std::uint64_t bytes = sizeof(SummaryFacts) + heap_bytes(run_id) + heap_bytes(liveness.host);
    if (last_event) bytes += heap_bytes(*last_event);
    bytes += heap_bytes(run_dir.native());
    if (session_key) bytes += heap_bytes(*session_key);
    return bytes + derived_counts.capacity() * sizeof(derived_counts[0]);
}

boost::json::value run_summary(const views::RunView& view,
                               const std::shared_ptr<const telemetry::RunTelemetry>& telemetry,
                               const views::LivenessInputs& inputs) {
    return run_summary(SummaryFacts::of(view), telemetry, inputs);
}

SummaryMoment SummaryMoment::of(const SummaryFacts& facts, const views::LivenessInputs& inputs,
                                const files::Directory* runs_root) {
    SummaryMoment moment{state_word(facts.liveness, inputs), std::nullopt};
    if (!facts.result_round || !runs_root) return moment;
    const files::ReadResult read = views::read_run_file(*runs_root, facts.run_id, facts.directory,
                                                        ledger::round_result_name(*facts.result_round));
    // A list reads one such file per run: its values are made in one arena on the stack, enough
    // for a result file of a few dozen nodes, and dropped whole once the counts have copied them.
    std::array<unsigned char, 4096> room;
    boost::json::monotonic_resource memory(room.data(), room.size());
    moment.result_counts = status_counts(json_of_file(read, &memory));
    return moment;
}

SummaryMoment SummaryMoment::of(const SummaryFacts& facts, const views::LivenessInputs& inputs) {
    int error = 0;
    const std::optional<files::Directory> runs_root = files::Directory::open(facts.run_dir.parent_path(), error);
    return of(facts, inputs, runs_root ? &*runs_root : nullptr);
}

boost::json::value run_summary(const SummaryFacts& facts,
                               const std::shared_ptr<const telemetry::RunTelemetry>& telemetry,
                               const views::LivenessInputs& inputs) {
    return run_summary(facts, telemetry, SummaryMoment::of(facts, inputs));
}

boost::json::value run_summary(const SummaryFacts& facts,
                               const std::shared_ptr<const telemetry::RunTelemetry>& telemetry,
                               const SummaryMoment& moment) {
    boost::json::object summary;
    summary["run_id"] = facts.run_id;
    summary["state"] = moment.state;
    summary["phase"] = facts.phase;
    if (facts.last_event)
        summary["last_event"] = *facts.last_event;
    else
        summary["last_event"] = nullptr;
    if (facts.liveness.last_event_at) summary["last_progress_at"] = *facts.liveness.last_event_at / 1000;
    summary["timing_quality"] = facts.timing_quality;
    summary["linkage_quality"] = "labelled";
    summary["timing"] = telemetry_breakdown(telemetry.get(), facts.durations);
    summary["node_counts"] = moment.result_counts ? *moment.result_counts : derived_counts(facts);
    summary["launch"] = launch_block(facts.run_id, facts.launcher, facts.session_key);
    return summary;
}

}  // namespace korvalle::payload
