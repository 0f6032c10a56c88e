// The run detail document, its head with the node entries, and the rounds it shows.
#include "src/payload/run_detail/run_detail.hpp"

#include "sdk/base/json_write.hpp"
#include "sdk/run/liveness.hpp"
#include "sdk/run/run_directory.hpp"
#include "sdk/run/views.hpp"
#include "src/payload/indexes.hpp"
#include "src/payload/run_detail/detail/journal_index.hpp"
#include "src/payload/summary.hpp"
#include "src/payload/timing.hpp"
#include "src/payload/vocabulary.hpp"

#include <boost/json/array.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <set>
#include <system_error>

namespace korvalle::payload {

namespace {

using detail::JournalIndex;

boost::json::value optional_value(const std::optional<std::uint64_t>& value) {
    if (value) return *value;
    return nullptr;
}

// ---- Node entries. ----

std::string_view failure_class(const views::RunView& view, const std::string& node,
                               const std::optional<std::string>& outcome) {
    if (outcome) {
        if (*outcome == "timed-out") return "timeout";
        if (*outcome == "gate-failed") return "gate";
        if (*outcome == "publication-failed") return "publication";
        if (*outcome == "checks-failed") return "checks";
    }
    return view.dispatched_at.contains(node) ? "agent" : "unknown";
}

// The node's agent sessions, ascending by session text: each named by its first envelope,
// its role by the first envelope that has a party (as the index keeps them).
void sessions(json::Writer& out, const std::vector<JournalIndex::Session>& node_sessions) {
    out.begin_array();
    for (const JournalIndex::Session& session : node_sessions) {
        out.begin_object();
        out.member("session_id", session.text);
        out.member("role", party_word(session.party.value_or(Party::Agent)));
        const auto& persona = session.first->labels.persona;
        if (auto role = role_word(persona ? std::optional<std::string_view>(*persona) : std::nullopt))
            out.member("agent_role", *role);
        out.member("started_at", session.first->ts.view());
        out.end_object();
    }
    out.end_array();
}

void node_entry(json::Writer& out, const views::RunView& view, const std::string& node, const Recorded& recorded,
                std::string_view quality, const JournalIndex& index) {
    const JournalIndex::Node& of_node = index.node(node);
    out.begin_object();
    out.member("node", node);
    std::string_view status = status_word(recorded.status);
    out.member("status", status);
    if (recorded.outcome) out.member("outcome", *recorded.outcome);
    if (auto branch = view.branches.find(node); branch != view.branches.end()) out.member("branch", branch->second);
    if (status == "failed" || status == "cancelled" || status == "not-completed") {
        out.key("failure");
        out.begin_object();
        out.member("class", failure_class(view, node, recorded.outcome));
        out.end_object();
    }
    out.key("sessions");
    sessions(out, of_node.sessions);
    out.member("turns", of_node.turns.count);
    out.member("lint", of_node.turns.durations.llmlint_events);
    out.member("timing_quality", quality);
    out.member("linkage_quality", "labelled");
    out.member("timing_presence", model_ms(of_node.turns.durations));
    out.end_object();
}

void head(json::Writer& out, const views::RunView& view, const telemetry::RunTelemetry* telemetry,
          const JournalIndex& index, const views::LivenessInputs& liveness) {
    // The sums of the whole journal, those of the turns some node is named for, and the turn
    // count, as the index tallied them.
    const TurnDurations& sums = index.turns().durations;
    const TurnDurations& node_tally = index.node_turns().durations;
    const std::string_view quality = timing_quality(view);

    out.begin_object();
    out.member("run_id", view.id());
    out.member("state", state_word(view, liveness));
    out.member("phase", phase_word(view));
    if (view.envelopes.empty())
        out.member("last_event", nullptr);
    else
        out.member("last_event", view.envelopes.back().kind);
    if (view.last_event_at) out.member("last_progress_at", *view.last_event_at / 1000);
    out.member("timing", telemetry_breakdown(telemetry, sums));
    out.key("nodes");
    out.begin_array();
    for (const auto& [id, recorded] : recorded_statuses(view)) node_entry(out, view, id, recorded, quality, index);
    out.end_array();
    out.key("usage");
    out.begin_object();
    for (auto party : {telemetry::UsageParty::Agent, telemetry::UsageParty::Judge, telemetry::UsageParty::Llmlint,
                       telemetry::UsageParty::Total})
        out.member(telemetry::party_name(party), token_usage_object(telemetry, party));
    out.end_object();
    out.member("timing_quality", quality);
    out.member("linkage_quality", "labelled");
    out.member("timing_presence", model_ms(sums));
    out.key("sources");
    out.begin_array();
    out.value("events.jsonl");
    out.value("launch.json");
    out.end_array();
    out.key("node_work_ms");
    out.begin_object();
    out.member("agent_model_ms", optional_value(node_tally.agent_ms));
    out.member("judge_model_ms", optional_value(node_tally.judge_ms));
    out.member("llmlint_model_ms", optional_value(node_tally.llmlint_ms));
    out.member("tool_ms", nullptr);
    out.key("wall_ms");
    if (telemetry)
        out.value(telemetry->wall_ms);
    else
        out.value(nullptr);
    out.end_object();
    out.member("turns", index.turns().count);
    out.member("lint", sums.llmlint_events);
    out.end_object();
}

// ---- Rounds. ----

// n when name is exactly the directory name of round n ("round-" and at least two digits,
// zero-padded only to two).
std::optional<std::uint64_t> round_of_dir_name(std::string_view name) {
    constexpr std::string_view prefix = "round-";
    if (!name.starts_with(prefix)) return std::nullopt;
    std::string_view digits = name.substr(prefix.size());
    if (digits.size() < 2 || (digits.size() > 2 && digits.front() == '0')) return std::nullopt;
    std::uint64_t round = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), round);
    if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return round;
}

std::vector<std::uint64_t> rounds_to_visit(const views::RunView& view, const JournalIndex& index) {
    const std::uint64_t last = view.round >= 1 ? view.round : 1;
    std::set<std::uint64_t> rounds;
    if (view.round >= 1) rounds.insert(view.round);
    // The directory the view was read from is listed, or none; its round files are read from
    // it alone (round_detail).
    const views::RunDirectory directory(view.paths.dir, view.directory);
    if (const files::Directory* listed = directory.get()) {
        listed->list([&](std::string_view name) {
            auto round = round_of_dir_name(name);
            if (round && *round >= 1 && *round <= last) rounds.insert(*round);
        });
    }
    // A directory that cannot be listed may still hold round files that can be opened; the
    // rounds the journal names are asked for too.
    for (const auto& [round, labelled] : index.rounds())
        if (round >= 1 && round <= last) rounds.insert(round);
    return {rounds.begin(), rounds.end()};
}

}  // namespace

boost::json::object token_usage_object(const telemetry::RunTelemetry* telemetry, telemetry::UsageParty party) {
    const telemetry::WireUsage* usage = nullptr;
    if (telemetry) {
        if (auto it = telemetry->usage.find(party); it != telemetry->usage.end()) usage = &it->second;
    }
    boost::json::object object;
    object["input_tokens"] = optional_value(usage ? usage->input : std::nullopt);
    object["output_tokens"] = optional_value(usage ? usage->output : std::nullopt);
    object["cache_read_tokens"] = optional_value(usage ? usage->cache_read : std::nullopt);
    object["cache_write_tokens"] = optional_value(usage ? usage->cache_write : std::nullopt);
    if (usage && usage->cost_usd && std::isfinite(*usage->cost_usd))
        object["cost_usd"] = *usage->cost_usd;
    else
        object["cost_usd"] = nullptr;
    return object;
}

boost::json::object model_ms(const TurnDurations& tally) {
    boost::json::object object;
    object["agent_model_ms"] = tally.agent_ms.has_value();
    object["judge_model_ms"] = tally.judge_ms.has_value();
    object["llmlint_model_ms"] = tally.llmlint_ms.has_value();
    object["tool_ms"] = tally.tool_ms.has_value();
    return object;
}

std::string run_detail_head(const views::RunView& view, const telemetry::RunTelemetry* telemetry,
                            const views::LivenessInputs& liveness) {
    std::string text;
    json::Writer out(text);
    head(out, view, telemetry, JournalIndex(view.envelopes), liveness);
    return text;
}

std::vector<std::uint64_t> detail_rounds(const views::RunView& view) {
    return rounds_to_visit(view, JournalIndex(view.envelopes));
}

namespace {

// Writes the document, its rounds, conversations and node details taken whole from indexes.
void write_run_detail(json::Writer& out, const views::RunView& view, bool include_conversations,
                      const telemetry::RunTelemetry* telemetry, const ViewIndexes& indexes,
                      const views::LivenessInputs& liveness) {
    const JournalIndex& index = indexes.journal();
    out.begin_object();
    out.key("run");
    head(out, view, telemetry, index, liveness);
    out.key("rounds");
    out.begin_array();
    for (std::uint64_t round : rounds_to_visit(view, index)) {
        if (const std::shared_ptr<const RoundObject> object = indexes.round(round); object->text) out.kept(object->text);
    }
    out.end_array();
    out.key("conversations");
    // Without the flag the conversations are not projected at all.
    if (include_conversations) {
        out.kept(indexes.conversations());
    } else {
        out.begin_array();
        out.end_array();
    }
    out.key("node_details");
    out.kept(indexes.node_details());
    out.member("launch", launch_identity(view));
    out.end_object();
}

}  // namespace

std::string run_detail(const views::RunView& view, bool include_conversations,
                       const telemetry::RunTelemetry* telemetry, const views::LivenessInputs& liveness) {
    return text::joined(run_detail_fragments(view, include_conversations, telemetry, OwnIndexes(view), liveness));
}

text::Fragments run_detail_fragments(const views::RunView& view, bool include_conversations,
                                     const telemetry::RunTelemetry* telemetry, const ViewIndexes& indexes,
                                     const views::LivenessInputs& liveness) {
    text::FragmentedText text;
    json::Writer out(text);
    write_run_detail(out, view, include_conversations, telemetry, indexes, liveness);
    return std::move(text).finish();
}

}  // namespace korvalle::payload
