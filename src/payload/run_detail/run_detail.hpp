// The run detail document: everything the read API answers about one run in one object, its
// head with node entries, its rounds (round_detail.hpp), its conversations, its node details
// (node_details.hpp) and its launch block.
#pragma once

#include "sdk/base/fragments.hpp"
#include "src/payload/timing.hpp"
#include "src/telemetry/telemetry.hpp"

#include <boost/json/object.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace korvalle::views {
struct RunView;
}

namespace korvalle::payload {

class ViewIndexes;

// The text of {"run","rounds","conversations","node_details","launch"}, always all five.
// Conversations are projected only when include_conversations is set, else the member is [].
// telemetry is null when the run's telemetry is unavailable; the run's state is judged with
// liveness. Reads the run's round files; never fails. The document is written as it is made,
// never held as a tree: on a large run most of it is round plans and conversation texts, which
// would otherwise be copied twice.
std::string run_detail(const views::RunView& view, bool include_conversations,
                       const telemetry::RunTelemetry* telemetry, const views::LivenessInputs& liveness);
// The same text in fragments, from indexes kept with the view (indexes.hpp): the texts that the
// indexes keep (round objects, conversations, node details) are fragments of their own, shared
// and not copied, between the fragments written for it.
text::Fragments run_detail_fragments(const views::RunView& view, bool include_conversations,
                                     const telemetry::RunTelemetry* telemetry, const ViewIndexes& indexes,
                                     const views::LivenessInputs& liveness);

// The text of the "run" member: state, phase, timing, one entry per roster node, usage, timing
// indicators and counts.
std::string run_detail_head(const views::RunView& view, const telemetry::RunTelemetry* telemetry,
                            const views::LivenessInputs& liveness);

// One party's token usage from the telemetry: {"input_tokens","output_tokens",
// "cache_read_tokens","cache_write_tokens","cost_usd"}, null where unknown.
boost::json::object token_usage_object(const telemetry::RunTelemetry* telemetry, telemetry::UsageParty party);

// Which model times a tally holds: four booleans, presence only.
boost::json::object model_ms(const TurnDurations& tally);

// The rounds whose objects the document asks for, ascending: 1 up to the current round (at
// least 1), restricted to the current round and the rounds that exist as a directory or in
// the journal. Every other round has no plan file and would yield nothing, so the document
// is the same as asking for every round, and a journal line naming round 10^15 costs nothing.
std::vector<std::uint64_t> detail_rounds(const views::RunView& view);

}  // namespace korvalle::payload
