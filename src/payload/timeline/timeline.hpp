// The timeline document: the work of one run over time as a flat list of spans, each with an
// id, a kind, a label, a start and an end, most naming the span they hang under in "parent_id",
// for the whole run or for one task node.
//
// Span times are the journal's "ts" texts copied as written (only the lock-wait rollup computes
// one). The whole-run timeline shows, round by round, the round span, the run's own agent
// sessions, and under each node its node span, human wait, dispatch rollups and operations; the
// node timeline shows the node's spans round by round with one dispatch span per agent session.
//
// Span builders write their spans as they make them, onto the document's text: a whole-run
// timeline holds one event entry per envelope, and a tree of them would cost more to build and
// release than the text costs to write.
//
// Every document is built from one index of the journal (envelopes by round, by node within a
// round, first attestation per node) over the facts of its envelopes (their sessions and turns,
// envelope_facts.hpp), made once per document or, kept with the view (indexes.hpp), once per
// view: no builder scans the whole journal, and only rounds that carry envelopes are visited.
#pragma once

#include "sdk/base/fragments.hpp"
#include "sdk/base/json_write.hpp"
#include "sdk/run/envelope_list.hpp"
#include "src/payload/timeline/timeline_rows.hpp"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace korvalle::views {
struct RunView;
}
namespace korvalle::event {
struct Envelope;
}

namespace korvalle::payload {

class EnvelopeFacts;
class ViewIndexes;

inline constexpr std::uint64_t timeline_schema_version = 4;

// The journal indexed once for every span builder.
class TimelineIndex {
public:
    struct Round {
        PlacedList pairs;             // every envelope labelled with the round, journal order
        std::vector<NodeRound> nodes;  // by node label, in order of first appearance
        std::unordered_map<std::string_view, std::size_t> node_at;  // label -> position in nodes
    };

    // The index over facts made from the same envelopes, which it keeps. The envelopes must
    // outlive the index: it keeps views of their labels.
    TimelineIndex(const views::EnvelopeList& envelopes, std::shared_ptr<const EnvelopeFacts> facts);

    // The facts of the indexed envelopes.
    const EnvelopeFacts& facts() const { return *facts_; }
    // Rounds that carry at least one envelope, ascending; a round label beyond the run's round
    // counter is kept here and left out by the readers.
    const std::map<std::uint64_t, Round>& rounds() const { return rounds_; }
    // The node's envelopes in the round, or null when it has none there.
    const NodeRound* node_round(const Round& round, std::string_view node) const;
    // The journal's first pipeline "human-attested" envelope labelled with the node, or null.
    const event::Envelope* first_attestation(std::string_view node) const;
    // The bytes the index holds, its tables' entries counted at their size.
    std::uint64_t held_bytes() const;

private:
    std::shared_ptr<const EnvelopeFacts> facts_;
    std::map<std::uint64_t, Round> rounds_;
    std::unordered_map<std::string_view, const event::Envelope*> attestations_;
};

// Writes the node span of one node in one round: from its first envelope to its first settle
// event, with the settled status and every envelope as an event; "parent_id" only with a parent.
void node_span(json::Writer& out, const NodeRound& node, std::uint64_t round, std::optional<std::string_view> parent,
               const EnvelopeFacts& facts);

// Writes the dispatch rollups of a dispatched node: one span per (transport role, agent role) of
// its agent sessions with the number of sessions; the dispatch envelope's roles when no session
// counts. None for a node that was not dispatched in the round. facts: the journal's.
void rollup_spans(json::Writer& out, const NodeRound& node, std::string_view parent, std::uint64_t round,
                  const EnvelopeFacts& facts);

// Writes the array of the whole-run timeline's spans, round by round for the rounds 1 to the
// larger of the run's round and 1 that carry envelopes.
void timeline_phases(json::Writer& out, const views::RunView& view, const TimelineIndex& index);

// Appends the text of the timeline document {"timeline_schema_version":4,"run_id":…,"spans":[…]}
// of the whole run (no node) or of one node (its spans round by round) to text. Reads no file
// and never fails; a node that no envelope names gives no spans.
void write_timeline(std::string& text, const views::RunView& view, std::optional<std::string_view> node,
                    const TimelineIndex& index);

// The timeline document's text (write_timeline).
std::string timeline(const views::RunView& view, std::optional<std::string_view> node);
// The same from indexes kept with the view (indexes.hpp): the whole run's is a copy of the text
// they keep.
std::string timeline(const views::RunView& view, std::optional<std::string_view> node, const ViewIndexes& indexes);
// The same as one fragment: the whole run's is the text the indexes keep, shared and not copied.
text::Fragments timeline_fragments(const views::RunView& view, std::optional<std::string_view> node,
                                   const ViewIndexes& indexes);

}  // namespace korvalle::payload
