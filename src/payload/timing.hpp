// The timing block: where a run's time went, from the journal's turn durations and the pipeline
// tool's telemetry.
#pragma once

#include "sdk/journal/event.hpp"
#include "src/payload/vocabulary.hpp"
#include "src/telemetry/telemetry.hpp"

#include <boost/json/object.hpp>

#include <cstdint>
#include <optional>
#include <string_view>

namespace korvalle::payload {

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

// A turn's duration in whole milliseconds: the payload's "usage" object, its "duration" number
// of seconds, when finite and not negative (truncated; saturating). None otherwise.
std::optional<std::uint64_t> turn_duration_ms(const boost::json::object& payload);
std::optional<std::uint64_t> turn_duration_ms(const event::ObjectText& payload);
// The same from the text of the payload's "usage" value, as ObjectText::member_texts finds it
// (empty when there is none).
std::optional<std::uint64_t> usage_duration_ms(std::string_view usage);

// Adds one envelope to a tally by the rule of sum_turn_durations: agent-graph envelopes other
// than "turn-activity" count, an envelope without a party counts as agent, and a completed
// turn adds its usable duration.
void add_turn(TurnDurations& tally, const event::Envelope& envelope);
// The same once the envelope is known to count: its party, and the usable duration of a
// completed turn (none for any other envelope).
void add_turn(TurnDurations& tally, Party party, std::optional<std::uint64_t> completed_ms);

// The sums of a range of envelopes, in any order (a saturating sum of durations does not depend
// on it).
template <typename Envelopes>
TurnDurations sum_turn_durations(const Envelopes& envelopes) {
    TurnDurations sums;
    for (const event::Envelope& envelope : envelopes) add_turn(sums, envelope);
    return sums;
}

// The timing block: telemetry buckets in seconds, journal model sums, unattributed time and
// the shares of the wall-clock time. telemetry may be null (unavailable).
boost::json::object telemetry_breakdown(const telemetry::RunTelemetry* telemetry,
                                        const TurnDurations& durations);

}  // namespace korvalle::payload
