// The run detail's indexes of one run's journal, built once per document so that no member of
// the document scans the whole journal once per node or once per round.
#pragma once

#include "sdk/journal/event.hpp"
#include "sdk/run/envelope_list.hpp"
#include "src/payload/timing.hpp"
#include "src/payload/vocabulary.hpp"

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace korvalle::payload::detail {

// Envelopes in merge order; the pointers stay valid while the view that owns them lives.
using EnvelopeRefs = std::vector<const event::Envelope*>;

// What the document reads of one agent-graph envelope's labels and payload, read once per
// document: the member tables of a large journal are out of cache, and the head's tallies, its
// node entries and the session groups would otherwise each look them up again.
struct AgentFacts {
    bool tallied = false;                     // counts in a turn tally (not an activity report)
    bool turn = false;                        // tallied and not an interruption
    std::optional<Party> party;               // party_of, of a tallied envelope
    std::optional<std::uint64_t> ms;          // a completed turn's usable duration
    std::optional<std::uint32_t> session;     // the "session" label, when a text: its number
};

class JournalIndex {
public:
    explicit JournalIndex(const views::EnvelopeList& envelopes);

    // The envelopes whose node label equals id, of every round; empty when there are none.
    const EnvelopeRefs& of_node(std::string_view id) const;
    // Those of them from the version-control source.
    const EnvelopeRefs& vcs_of_node(std::string_view id) const;
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
    // The facts of an envelope of the indexed journal; all unset for other sources.
    const AgentFacts& facts(const event::Envelope& envelope) const { return facts_[slots_.slot_of(envelope)]; }
    // The texts of the "session" labels, numbered in order of their first envelope: the facts
    // name a session by number, so that later walks compare numbers, not texts in cold memory.
    const std::vector<std::string_view>& sessions() const { return sessions_; }
    // The bytes the index holds, its tables' entries counted at their size.
    std::uint64_t held_bytes() const;

private:
    views::EnvelopeList::Slots slots_;
    std::vector<AgentFacts> facts_;  // by the envelopes' slots
    std::vector<std::string_view> sessions_;
    // The session texts written with escapes, which are no views of the kept labels.
    std::deque<std::string> escaped_sessions_;
    struct Node {
        EnvelopeRefs all;
        EnvelopeRefs vcs;
    };
    const Node* node(std::string_view id) const;

    std::unordered_map<std::string_view, Node> by_node_;
    std::map<std::uint64_t, Round> by_round_;
};

// add_turn over an envelope's facts.
inline void add_turn(TurnDurations& tally, const AgentFacts& facts) {
    if (facts.tallied) payload::add_turn(tally, facts.party.value_or(Party::Agent), facts.ms);
}

}  // namespace korvalle::payload::detail
