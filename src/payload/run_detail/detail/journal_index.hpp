// The run detail's indexes of one run's journal, built once per document (or kept with the
// view) so that no member of the document scans the whole journal once per node or once per
// round; with them, in the same pass, the turn tallies and sessions the head and its node entries
// write, so that a document made from a kept index walks no envelope.
#pragma once

#include "sdk/journal/event.hpp"
#include "sdk/run/envelope_list.hpp"
#include "src/payload/envelope_facts.hpp"
#include "src/payload/timing.hpp"
#include "src/payload/vocabulary.hpp"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace korvalle::payload::detail {

// Envelopes in merge order; the pointers stay valid while the view that owns them lives.
using EnvelopeRefs = std::vector<const event::Envelope*>;

class JournalIndex {
public:
    // The index over facts made from the same envelopes, which it keeps.
    JournalIndex(const views::EnvelopeList& envelopes, std::shared_ptr<const EnvelopeFacts> facts);
    // The same with facts of its own.
    explicit JournalIndex(const views::EnvelopeList& envelopes);

    // What the run detail tallies of some envelopes' facts: how many are turns, and the
    // durations of all that count in turn tallies, added in the journal's order.
    struct Turns {
        std::uint64_t count = 0;
        TurnDurations durations;

        void add(const AgentFacts& facts);
    };
    // An agent session of one node: its "session" label's text (never empty), the node's first
    // envelope of it, and the party of the first of them that has one (party_of).
    struct Session {
        std::string_view text;
        const event::Envelope* first = nullptr;
        std::optional<Party> party;
    };
    // The envelopes of one node label, of every round, those of them from version control, and
    // what the run detail's node entry reads of their facts: kept, so that a document made from
    // a kept index walks no node's envelopes.
    struct Node {
        EnvelopeRefs all;
        EnvelopeRefs vcs;
        Turns turns;                    // of all
        std::vector<Session> sessions;  // of all, ascending by text
    };

    // The node of a label; one without envelopes when none carries it.
    const Node& node(std::string_view id) const;
    // The envelopes whose node label equals id, of every round; empty when there are none.
    const EnvelopeRefs& of_node(std::string_view id) const { return node(id).all; }
    // Those of them from the version-control source.
    const EnvelopeRefs& vcs_of_node(std::string_view id) const { return node(id).vcs; }
    // Every node label some envelope carries, in no order.
    const std::unordered_map<std::string_view, Node>& nodes() const { return by_node_; }
    // The turns of the whole journal, and of its envelopes that carry a node label.
    const Turns& turns() const { return turns_; }
    const Turns& node_turns() const { return node_turns_; }
    // The envelopes of one round label, and the largest sequence number among them.
    struct Round {
        EnvelopeRefs envelopes;
        std::uint64_t last_seq = 0;
    };

    // The envelopes whose round label equals round, of every node.
    const EnvelopeRefs& of_round(std::uint64_t round) const;
    // Every round number some envelope is labelled with, ascending.
    const std::map<std::uint64_t, Round>& rounds() const { return by_round_; }
    // The largest sequence number of the envelopes of a round; 0 without any.
    std::uint64_t last_seq(std::uint64_t round) const;
    // The bytes the index holds, its tables' entries counted at their size; not its facts'.
    std::uint64_t held_bytes() const;

private:
    // Notes an envelope of a node's session (facts' session number) among the node's sessions.
    class NodeSessions;

    std::shared_ptr<const EnvelopeFacts> facts_;  // the session texts live there
    std::unordered_map<std::string_view, Node> by_node_;
    std::map<std::uint64_t, Round> by_round_;
    Turns turns_;
    Turns node_turns_;
};

}  // namespace korvalle::payload::detail
