// The run list entry of one run (state, phase, progress, timing, node counts and launch block),
// and the launch block and node roster that the run detail shows too.
#pragma once

#include "sdk/run/liveness.hpp"
#include "sdk/run/views.hpp"
#include "src/payload/files.hpp"
#include "src/payload/timing.hpp"
#include "src/telemetry/telemetry.hpp"

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvalle::payload {

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
    // The run's directory as the view was read from it (views::RunView::directory): the round
    // result file is read from that directory only, found by the run's entry in the runs root.
    std::filesystem::path run_dir;
    files::FileId directory;
    // The round whose result file's nodes count in place of the derived ones, while the run is
    // between rounds.
    std::optional<std::uint64_t> result_round;
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

    // Reads them now, the state judged with the caller's inputs, the result file from the run's
    // directory reached by its entry beneath runs_root (the runs root held open by a reader of
    // many runs; null when it could not be opened, and then no result file is read).
    static SummaryMoment of(const SummaryFacts& facts, const views::LivenessInputs& inputs,
                            const files::Directory* runs_root);
    // The same with the runs root opened for this run alone (the parent of facts.run_dir).
    static SummaryMoment of(const SummaryFacts& facts, const views::LivenessInputs& inputs);
    friend bool operator==(const SummaryMoment&, const SummaryMoment&) = default;
};

// The same as run_summary with what it reads now already read: equal facts, telemetry and
// moment give an equal summary.
boost::json::value run_summary(const SummaryFacts& facts,
                               const std::shared_ptr<const telemetry::RunTelemetry>& telemetry,
                               const SummaryMoment& moment);

// The run's nodes with their statuses: from the current round's result file (round 1 while
// the round counter is 0) when the run is between rounds and the file lists a usable node,
// otherwise derived from the replayed journal. Reads the file anew on every call.
Roster recorded_statuses(const views::RunView& view);

}  // namespace korvalle::payload
