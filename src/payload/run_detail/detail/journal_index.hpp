// The run detail's indexes of one run's journal, built once per document so that no member of
// the document scans the whole journal once per node or once per round.
#pragma once

#include "sdk/journal/event.hpp"
#include "sdk/run/envelope_list.hpp"
#include "src/payload/envelope_facts.hpp"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
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

    // The envelopes whose node label equals id, of every round; empty when there are none.
    const EnvelopeRefs& of_node(std::string_view id) const;
    // The positions of those envelopes in the list's order, one for one.
    const std::vector<std::uint32_t>& positions_of_node(std::string_view id) const;
    // Those of them from the version-control source.
    const EnvelopeRefs& vcs_of_node(std::string_view id) const;
    // The envelopes of one node label, of every round, with their positions in the list's order
    // (for their facts), and those of them from version control.
    struct Node {
        EnvelopeRefs all;
        std::vector<std::uint32_t> positions;  // of all's envelopes, one for one
        EnvelopeRefs vcs;
    };
    // Every node label some envelope carries, in no order.
    const std::unordered_map<std::string_view, Node>& nodes() const { return by_node_; }
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
    // The facts of the envelope at a position of the indexed list's order (EnvelopeFacts::at).
    const AgentFacts& facts(std::size_t position) const { return facts_->at(position); }
    // The texts of the "session" labels by their numbers (EnvelopeFacts::sessions).
    const std::vector<std::string_view>& sessions() const { return facts_->sessions(); }
    // The bytes the index holds, its tables' entries counted at their size; not its facts'.
    std::uint64_t held_bytes() const;

private:
    const Node* node(std::string_view id) const;

    std::shared_ptr<const EnvelopeFacts> facts_;
    std::unordered_map<std::string_view, Node> by_node_;
    std::map<std::uint64_t, Round> by_round_;
};

}  // namespace korvalle::payload::detail
