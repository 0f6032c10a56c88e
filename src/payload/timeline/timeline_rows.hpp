// The rows the timeline's spans are made of: the turn list, agent sessions, event entries, span
// ids and heads, a node's human wait and its operation spans (verification, publication, lock
// waits).
#pragma once

#include "sdk/base/json_write.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korvalle::event {
struct Envelope;
}

namespace korvalle::payload {

class EnvelopeFacts;

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

// The turn list of a merge-ordered journal, from its envelopes' facts: agent ("morvane")
// envelopes other than "turn-activity" and "turn-interrupted" whose "session" label passes the
// identifier rule get a turn; counts run per session over the whole journal. The turns view
// the session texts of the facts.
Turns turn_list(const EnvelopeFacts& facts);

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
// facts are those of the journal the indexes are positions in; the groups view its texts.
std::vector<SessionGroup> group_by_session(const PlacedList& pairs, const EnvelopeFacts& facts);

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

// Writes the span during which the node waited for a person: only when its settle event says
// "waiting" (nothing is written otherwise); it ends at the journal's first attestation of the
// node (null when none).
void human_waits(json::Writer& out, const NodeRound& node, const event::Envelope* attestation, std::string_view parent,
                 std::uint64_t round);

// Writes the node's operation spans in the round: one verification span per verification
// record, the publication span of its change request, and the rollup of its lock waits, in that
// order.
void timeline_operations(json::Writer& out, const NodeRound& node, std::string_view parent, std::uint64_t round);

}  // namespace korvalle::payload
