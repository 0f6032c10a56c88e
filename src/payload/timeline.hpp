// The timeline document: the work of one run over time as a flat list of spans, each with an
// id, a kind, a label, a start and an end, most naming the span they hang under in "parent_id",
// for the whole run or for one task node.
//
// Span times are the journal's "ts" texts copied as written (only the lock-wait rollup computes
// one). The whole-run timeline shows, round by round, the round span, the run's own agent
// sessions, and under each node its node span, human wait, dispatch rollups and operations; the
// node timeline shows the node's spans round by round with one dispatch span per agent session.
//
// Span builders allocate their values from the storage they are given (the document's).
//
// Every document is built from one index of the journal (envelopes by round, by node within a
// round, first attestation per node), made once per call: no builder scans the whole journal,
// and only rounds that carry envelopes are visited.
#pragma once

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <cstddef>
#include <cstdint>
#include <map>
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

inline constexpr std::uint64_t timeline_schema_version = 4;

// One agent turn at a journal position: the conversation it belongs to (the envelope's session
// label) and its own id, "<session>.<n>" with n the number of the session's earlier turns.
struct Turn {
    std::string session;
    std::string id;
};
// One optional turn per journal envelope, at the envelope's index.
using Turns = std::vector<std::optional<Turn>>;

// The turn list of a merge-ordered journal: agent ("morvane") envelopes other than
// "turn-activity" and "turn-interrupted" whose "session" label passes the identifier rule get a
// turn; counts run per session over the whole journal.
Turns turn_list(const std::vector<event::Envelope>& envelopes);

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

// The event entry of one envelope in a span's "events": "id" (the turn id, else "e" and the
// position), "kind", "at", the "node_id", "step_id" and "round" labels when present, the
// payload's "status" when it is a string, the redirection offered by an interrupted turn or a
// committed context edit, and the reference to follow (conversation, "pr" URL or artifact).
boost::json::object step_operations(std::size_t position, const event::Envelope& envelope, const Turns& turns,
                                    const boost::json::storage_ptr& sp = {});

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
    explicit TimelineIndex(const std::vector<event::Envelope>& envelopes);

    const Turns& turns() const { return turns_; }
    // Rounds that carry at least one envelope, ascending; a round label beyond the run's round
    // counter is kept here and left out by the readers.
    const std::map<std::uint64_t, Round>& rounds() const { return rounds_; }
    // The node's envelopes in the round, or null when it has none there.
    const NodeRound* node_round(const Round& round, std::string_view node) const;
    // The journal's first pipeline "human-attested" envelope labelled with the node, or null.
    const event::Envelope* first_attestation(std::string_view node) const;

private:
    Turns turns_;
    std::map<std::uint64_t, Round> rounds_;
    std::unordered_map<std::string_view, const event::Envelope*> attestations_;
};

// The round as span ids write it: decimal, zero-padded to two digits (3 gives "03").
std::string round_key(std::uint64_t round);

// The node span of one node in one round: from its first envelope to its first settle event,
// with the settled status and every envelope as an event; "parent_id" only with a parent.
boost::json::object node_span(const NodeRound& node, std::uint64_t round, std::optional<std::string_view> parent,
                              const Turns& turns, const boost::json::storage_ptr& sp = {});

// The span during which the node waited for a person: only when its settle event says
// "waiting"; it ends at the journal's first attestation of the node (null when none).
std::optional<boost::json::object> human_waits(const NodeRound& node, const event::Envelope* attestation,
                                               std::string_view parent, std::uint64_t round,
                                               const boost::json::storage_ptr& sp = {});

// The node's operation spans in the round: one verification span per verification record, the
// publication span of its change request, and the rollup of its lock waits, in that order.
std::vector<boost::json::object> timeline_operations(const NodeRound& node, std::string_view parent,
                                                     std::uint64_t round, const boost::json::storage_ptr& sp = {});

// The dispatch rollups of a dispatched node: one span per (transport role, agent role) of its
// agent sessions with the number of sessions; the dispatch envelope's roles when no session
// counts. None for a node that was not dispatched in the round.
std::vector<boost::json::object> rollup_spans(const NodeRound& node, std::string_view parent, std::uint64_t round,
                                              const boost::json::storage_ptr& sp = {});

// The spans of the whole-run timeline, round by round for the rounds 1 to the larger of the
// run's round and 1 that carry envelopes.
boost::json::array timeline_phases(const views::RunView& view, const TimelineIndex& index,
                                   const boost::json::storage_ptr& sp = {});

// The timeline document {"timeline_schema_version":4,"run_id":…,"spans":[…]} of the whole run
// (no node) or of one node (its spans round by round). Reads no file and never fails; a node
// that no envelope names gives no spans.
boost::json::object timeline(const views::RunView& view, std::optional<std::string_view> node);

}  // namespace korvalle::payload
