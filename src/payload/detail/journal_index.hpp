// Indexes of one run's journal, built once per document so that no part of a document scans
// the whole journal once per node or once per round.
#pragma once

#include "sdk/journal/event.hpp"

#include <cstdint>
#include <map>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace korvalle::payload::detail {

// Envelopes in merge order; the pointers stay valid while the view that owns them lives.
using EnvelopeRefs = std::vector<const event::Envelope*>;

class JournalIndex {
public:
    explicit JournalIndex(const std::vector<event::Envelope>& envelopes);

    // The envelopes whose node label equals id, of every round; empty when there are none.
    const EnvelopeRefs& of_node(std::string_view id) const;
    // The envelopes whose round label equals round, of every node.
    const EnvelopeRefs& of_round(std::uint64_t round) const;
    // Every round number some envelope is labelled with, ascending.
    const std::map<std::uint64_t, EnvelopeRefs>& rounds() const { return by_round_; }

private:
    std::unordered_map<std::string_view, EnvelopeRefs> by_node_;
    std::map<std::uint64_t, EnvelopeRefs> by_round_;
};

inline JournalIndex::JournalIndex(const std::vector<event::Envelope>& envelopes) {
    for (const event::Envelope& envelope : envelopes) {
        if (envelope.labels.node) by_node_[*envelope.labels.node].push_back(&envelope);
        if (envelope.labels.round) by_round_[*envelope.labels.round].push_back(&envelope);
    }
}

inline const EnvelopeRefs& JournalIndex::of_node(std::string_view id) const {
    static const EnvelopeRefs none;
    auto it = by_node_.find(id);
    return it == by_node_.end() ? none : it->second;
}

inline const EnvelopeRefs& JournalIndex::of_round(std::uint64_t round) const {
    static const EnvelopeRefs none;
    auto it = by_round_.find(round);
    return it == by_round_.end() ? none : it->second;
}

}  // namespace korvalle::payload::detail
