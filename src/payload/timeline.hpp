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
// round, first attestation per node), made once per document or, kept with the view
// (indexes.hpp), once per view: no builder scans the whole journal, and only rounds that carry
// envelopes are visited.
#pragma once

#include "sdk/base/json.hpp"
#include "sdk/base/fragments.hpp"

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
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

class ViewIndexes;

inline constexpr std::uint64_t timeline_schema_version = 4;

// One agent turn at a journal position: the conversation it belongs to (a view of the envelope's
// session label) and its number n, the count of the session's earlier turns; its id is
// "<session>.<n>". An envelope that makes no turn has an empty session (a session label that
// passes the identifier rule is never empty).
struct Turn {
    std::string_view session;
    std::uint64_t number = 0;
};
// One turn per journal envelope, at the envelope's index.
using Turns = std::vector<Turn>;

// The turn list of a merge-ordered journal: agent ("morvane") envelopes other than
// "turn-activity" and "turn-interrupted" whose "session" label passes the identifier rule get a
// turn; counts run per session over the whole journal. The turns view the envelopes' labels.
Turns turn_list(std::span<const event::Envelope> envelopes);

// An envelope with its index in the run's merge-ordered journal.
struct Placed {
    std::size_t index;
    const event::Envelope* envelope;
};
using PlacedList = std::vector<Placed>;

// The envelopes of one agent session, in input order; the session id views the envelope's label.
struct SessionGroup {
    std::string_view session;
    PlacedList pairs;
};

// The agent ("morvane") envelopes whose "session" label passes the identifier rule, grouped by
// that label: groups in order of their first envelope, envelopes in input order, indexes kept.
std::vector<SessionGroup> group_by_session(const PlacedList& pairs);

// Writes the event entry of one envelope in a span's "events": "id" (the turn id, else "e" and the
// position), "kind", "at", the "node_id", "step_id" and "round" labels when present, the
// payload's "status" when it is a string, the redirection offered by an interrupted turn or a
// committed context edit, and the reference to follow (conversation, "pr" URL or artifact).
void step_operations(json::Writer& out, std::size_t position, const event::Envelope& envelope, const Turns& turns);

// One node's envelopes in one round, with the pipeline events its spans start and end at.
struct NodeRound {
    std::string_view node;
    PlacedList pairs;                                // journal order
    const event::Envelope* dispatched = nullptr;     // first pipeline "node-dispatched"
    const event::Envelope* settled = nullptr;        // first pipeline "node-settled"
};

// The journal indexed once for every span builder.
class TimelineIndex {
public:
    struct Round {
        PlacedList pairs;             // every envelope labelled with the round, journal order
        std::vector<NodeRound> nodes;  // by node label, in order of first appearance
        std::unordered_map<std::string_view, std::size_t> node_at;  // label -> position in nodes
    };

    // The envelopes must outlive the index: it keeps views of their labels.
    explicit TimelineIndex(std::span<const event::Envelope> envelopes);

    const Turns& turns() const { return turns_; }
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
    Turns turns_;
    std::map<std::uint64_t, Round> rounds_;
    std::unordered_map<std::string_view, const event::Envelope*> attestations_;
};

// The round as span ids write it: decimal, zero-padded to two digits (3 gives "03").
std::string round_key(std::uint64_t round);

// A span id: its kind, the round key and the node or session the span belongs to, joined by
// dots, and one more part when rest is not empty ("rollup.03.build.lock-wait").
std::string span_id(std::string_view kind, std::uint64_t round, std::string_view owner, std::string_view rest = {});

// Writes a span's "ended_at": the time of the event that ends it, or null while none has.
void ended_at(json::Writer& out, const event::Envelope* end);

// Opens a span of a node and writes the head its kinds share, "id" to "round"; the caller adds
// its own members and closes it, with no_events when it names none.
void span_head(json::Writer& out, std::string_view id, std::string_view kind, std::string_view label,
               std::string_view started_at, const event::Envelope* end, std::string_view parent,
               std::string_view node, std::uint64_t round);
// Closes a span that names no events, with an empty "events".
void no_events(json::Writer& out);

// Writes the "reference" member that a reader follows from a span or an event entry:
// {"kind","value"}.
void reference_member(json::Writer& out, std::string_view kind, std::string_view value);

// Writes the node span of one node in one round: from its first envelope to its first settle
// event, with the settled status and every envelope as an event; "parent_id" only with a parent.
void node_span(json::Writer& out, const NodeRound& node, std::uint64_t round, std::optional<std::string_view> parent,
               const Turns& turns);

// Writes the span during which the node waited for a person: only when its settle event says
// "waiting" (nothing is written otherwise); it ends at the journal's first attestation of the
// node (null when none).
void human_waits(json::Writer& out, const NodeRound& node, const event::Envelope* attestation, std::string_view parent,
                 std::uint64_t round);

// Writes the node's operation spans in the round: one verification span per verification
// record, the publication span of its change request, and the rollup of its lock waits, in that
// order.
void timeline_operations(json::Writer& out, const NodeRound& node, std::string_view parent, std::uint64_t round);

// Writes the dispatch rollups of a dispatched node: one span per (transport role, agent role) of
// its agent sessions with the number of sessions; the dispatch envelope's roles when no session
// counts. None for a node that was not dispatched in the round.
void rollup_spans(json::Writer& out, const NodeRound& node, std::string_view parent, std::uint64_t round);

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
