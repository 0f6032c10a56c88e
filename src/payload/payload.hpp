// Projections of run views into the JSON documents of the read API.
//
// Every function here is synchronous and fails only when the process runs out of descriptors
// or memory (files::Exhausted, std::bad_alloc): a missing or malformed run file or
// journal value only changes what a document shows (a fallback word, a null value, a key left
// out), as each document says. Documents are boost::json trees whose objects keep insertion
// order, going out through json::write, or, for the large ones (run detail, conversation,
// timeline), texts written member by member by json::Writer; either way the order of members
// is part of each document's format.
#pragma once

#include "sdk/journal/event.hpp"
#include "sdk/plan/plan.hpp"
#include "sdk/run/views.hpp"
#include "src/telemetry/telemetry.hpp"

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvalle::payload {

// ---- Vocabulary. Word functions return one of their table's constant words. ----

// Who spent a turn's time or tokens.
enum class Party { Agent, Judge, Llmlint };
// "agent", "judge", "llmlint".
std::string_view party_word(Party party);

// The role word equal to the input when it is exactly "orchestrator", "worker", "check-in",
// "judge" or "pr-author"; none otherwise (an absent input included).
std::optional<std::string_view> role_word(std::optional<std::string_view> text);

// Display word of a node status text: "ready" shows as "pending"; "not-completed" and
// "unknown" pass through; anything unrecognised is "unknown".
std::string_view status_word(std::string_view status);

// "conversation", "pr", "tandrel_session", "worker_report", or "gate_log" for anything else.
std::string_view artifact_kind_word(std::string_view kind);

// The member key of a JSON object when it is a string; none when absent or of another kind.
std::optional<std::string_view> string_member(const boost::json::object& object, std::string_view key);

// Whether an envelope comes from the source and is of the kind.
inline bool is_event(const event::Envelope& envelope, event::EventSource source, std::string_view kind) {
    return envelope.source == source && envelope.kind == kind;
}

// The first of payload "role", label "role", label "member" and the persona label that is
// exactly "agent", "judge" or "llmlint"; none when no source names one.
std::optional<Party> party_of(const event::Envelope& envelope);

// The run's liveness word lower-cased with "-" for the blank: "settled", "active",
// "driver-dead", "parked". Reads the process table.
std::string state_word(const views::RunView& view, const views::LivenessInputs& inputs);
std::string state_word(const views::LivenessFacts& facts, const views::LivenessInputs& inputs);

// The first six bytes of the SHA-256 digest of the bytes, as 12 lowercase hex digits.
std::string sha256_hex(std::string_view bytes);

// The current UTC time as RFC 3339 ending in "Z", the fraction of a second trimmed of
// trailing zeros; "1970-01-01T00:00:00Z" when the year cannot be written with four digits.
std::string now_rfc3339();

// ---- Run files. ----

// One JSON value of any type from a whole file that is valid UTF-8, with only JSON white
// space after the value and at most 127 levels of nesting; none on any failure (missing,
// not a regular file, unreadable, not UTF-8, not exactly one value). The value is made in
// storage. When trace is given, it receives how the file's read went.
std::optional<boost::json::value> read_json_file(const std::filesystem::path& path,
                                                 boost::json::storage_ptr storage = {},
                                                 files::ReadTrace* trace = nullptr);

// Reserves the room of a document that grows with the journal: the bytes of the view's values,
// which such a document copies from. It rarely outgrows them, and room never written costs no
// memory, while a text of tens of megabytes grown step by step is copied, and its pages faulted
// in afresh, at every step. (The files' sizes would not do: a sparse journal can claim
// terabytes.)
void reserve_document(std::string& text, const views::RunView& view);

// ---- Node roster. ----

// One node's entry: its status text (a result file's text as written, or a derived status
// word) and its outcome when one is known.
struct Recorded {
    std::string status;
    std::optional<std::string> outcome;

    bool operator==(const Recorded&) const = default;
};

// Node id to entry, ascending bytewise by node id.
using Roster = std::map<std::string, Recorded>;

// One element of a round result's "nodes" array: none unless it is an object whose "id" and
// "status" are strings; the outcome is "outcome" when that is a string.
std::optional<std::pair<std::string, Recorded>> recorded_entry(const boost::json::value& entry);

// The step rows of a node: {"id","kind","persona","status"} per step in plan order, status
// "done" when the completed list holds the step id exactly, else "pending". Empty when the
// node has no step list.
boost::json::array step_rows(const std::optional<std::vector<plan::Step>>& steps,
                             const std::vector<std::string>& completed);

// The run's nodes with their statuses: from the current round's result file (round 1 while
// the round counter is 0) when the run is between rounds and the file lists a usable node,
// otherwise derived from the replayed journal. Reads the file anew on every call.
Roster recorded_statuses(const views::RunView& view);

// ---- Timing. ----

// Model time per party summed over the completed turns of the journal, in milliseconds. A sum
// is set once one duration of its party has been added (0 differs from none); sums saturate.
struct TurnDurations {
    std::optional<std::uint64_t> agent_ms;
    std::optional<std::uint64_t> judge_ms;
    std::optional<std::uint64_t> llmlint_ms;
    std::optional<std::uint64_t> tool_ms;  // never set by the journal sums
    std::uint64_t llmlint_events = 0;      // counted agent-graph envelopes of the llmlint party

    bool operator==(const TurnDurations&) const = default;
};

TurnDurations sum_turn_durations(std::span<const event::Envelope> envelopes);

// A turn's duration in whole milliseconds: the payload's "usage" object, its "duration" number
// of seconds, when finite and not negative (truncated; saturating). None otherwise.
std::optional<std::uint64_t> turn_duration_ms(const boost::json::object& payload);
std::optional<std::uint64_t> turn_duration_ms(const event::ObjectText& payload);

// Adds one envelope to a tally by the rule of sum_turn_durations: agent-graph envelopes other
// than "turn-activity" count, an envelope without a party counts as agent, and a completed
// turn adds its usable duration.
void add_turn(TurnDurations& tally, const event::Envelope& envelope);

// The timing block: telemetry buckets in seconds, journal model sums, unattributed time and
// the shares of the wall-clock time. telemetry may be null (unavailable).
boost::json::object telemetry_breakdown(const telemetry::RunTelemetry* telemetry,
                                        const TurnDurations& durations);

// ---- Launch block and run summary. ----

// The pipeline driver's phase: "finished", "driving-round", "starting", "surfacing" or
// "reviewing-results".
std::string_view phase_word(const views::RunView& view);

// "legacy" without journal envelopes, "partial" while a round is driven, else "complete".
std::string_view timing_quality(const views::RunView& view);

// {"launch_id","launcher"[,"session_key"]} of the run.
boost::json::object launch_identity(const views::RunView& view);

// What a run list entry takes from the view alone: kept in place of the view by those that
// list many runs. The state word, the round result file and the telemetry are read anew for
// every entry made from it.
struct SummaryFacts {
    std::string run_id;
    views::LivenessFacts liveness;
    std::string_view phase;           // phase_word
    std::optional<std::string> last_event;  // the kind of the last envelope
    std::string_view timing_quality;  // timing_quality
    // The round result file whose nodes count in place of the derived ones, while the run is
    // between rounds.
    std::optional<std::filesystem::path> result_file;
    std::vector<std::pair<std::string_view, std::uint64_t>> derived_counts;  // by status word, ascending
    std::string_view launcher;                                                // launch_identity's word
    std::optional<std::string> session_key;
    TurnDurations durations;  // sum_turn_durations of the envelopes

    static SummaryFacts of(const views::RunView& view);
    // The same with the journal sums already made.
    static SummaryFacts of(const views::RunView& view, const TurnDurations& durations);
    // The bytes it holds, its own size included.
    std::uint64_t held_bytes() const;
};

// The run list entry of one run, its liveness judged with inputs. telemetry is null when the
// run's telemetry is unavailable.
boost::json::value run_summary(const views::RunView& view,
                               const std::shared_ptr<const telemetry::RunTelemetry>& telemetry,
                               const views::LivenessInputs& inputs);
// The same from the facts of the view.
boost::json::value run_summary(const SummaryFacts& facts,
                               const std::shared_ptr<const telemetry::RunTelemetry>& telemetry,
                               const views::LivenessInputs& inputs);

// What a run's summary reads when it is made, beside its facts and telemetry: the run's state
// word (the process table, and the inputs of its liveness) and, while the run is between
// rounds, the node counts of its round result file when that file names nodes.
struct SummaryMoment {
    std::string state;
    std::optional<boost::json::object> result_counts;  // none: the counts derived from the journal

    // Reads them now, the state judged with the caller's inputs.
    static SummaryMoment of(const SummaryFacts& facts, const views::LivenessInputs& inputs);
    friend bool operator==(const SummaryMoment&, const SummaryMoment&) = default;
};

// The same as run_summary with what it reads now already read: equal facts, telemetry and
// moment give an equal summary.
boost::json::value run_summary(const SummaryFacts& facts,
                               const std::shared_ptr<const telemetry::RunTelemetry>& telemetry,
                               const SummaryMoment& moment);

// ---- Live activity. ----

// One row per (node, round) pair of the run's agent "turn-activity" envelopes whose node label
// passes the identifier rule, whose round label is set and whose time reads as RFC 3339:
// {"round" (decimal text), "node", "at" (ms as a double), "kind", "name", "detail" (payload
// texts, "" when not a string), "events" (the pair's count so far)} from the pair's last
// envelope in journal order, rows ordered by that envelope's time, then by first appearance.
// Reads only the view's envelopes.
std::vector<boost::json::value> live_activity(const views::RunView& view);

}  // namespace korvalle::payload
