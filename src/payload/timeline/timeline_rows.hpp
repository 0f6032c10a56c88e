// The rows the timeline's spans are made of: agent sessions, event entries, span
// ids and heads, a node's human wait and its operation spans (verification, publication, lock
// waits).
#pragma once

#include "sdk/base/json_write.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace korvalle::event {
struct Envelope;
}

namespace korvalle::payload {

class EnvelopeFacts;

// An envelope with its index in the run's merge-ordered journal.
struct Placed {
    std::size_t index;
    const event::Envelope* envelope;
};
using PlacedList = std::vector<Placed>;

// The envelopes of one agent session, in input order, and the session's id.
struct SessionGroup {
    std::string_view session;
    PlacedList pairs;
};

// The agent ("morvane") envelopes whose "session" label passes the identifier rule, grouped by
// that label: groups in order of their first envelope, envelopes in input order, indexes kept.
// facts are those of the envelopes' journal, found by the pairs' indexes; the ids view its
// session texts.
std::vector<SessionGroup> group_by_session(const PlacedList& pairs, const EnvelopeFacts& facts);

// Writes the event entry of one envelope in a span's "events": "id" (the turn id, else "e" and the
// position), "kind", "at", the "node_id", "step_id" and "round" labels when present, the
// payload's "status" when it is a string, the redirection offered by an interrupted turn or a
// committed context edit, and the reference to follow (conversation, "pr" URL or artifact).
// position is the envelope's in the merge-ordered journal whose facts are given. Agent
// ("morvane") envelopes other than "turn-activity" and "turn-interrupted" whose "session" label
// passes the identifier rule are turns, named "{session}.{n}" for the session's n-th turn.
void step_operations(json::Writer& out, std::size_t position, const event::Envelope& envelope,
                     const EnvelopeFacts& facts);

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
