// The per-document journal index.
#include "src/payload/detail/journal_index.hpp"

#include <algorithm>

namespace korvalle::payload::detail {

namespace {

AgentFacts agent_facts(const event::Envelope& envelope) {
    AgentFacts facts;
    if (envelope.source != event::EventSource::Morvane) return facts;
    if (const boost::json::value* session = envelope.labels.extra.if_contains("session"))
        if (session->is_string()) facts.session = std::string_view(session->get_string());
    if (envelope.kind == "turn-activity") return facts;
    facts.tallied = true;
    facts.party = party_of(envelope);
    facts.turn = envelope.kind != "turn-interrupted";
    if (envelope.kind == "turn-completed") facts.ms = turn_duration_ms(envelope.payload);
    return facts;
}

}  // namespace

JournalIndex::JournalIndex(const std::vector<event::Envelope>& envelopes) : first_(envelopes.data()) {
    facts_.reserve(envelopes.size());
    for (const event::Envelope& envelope : envelopes) {
        facts_.push_back(agent_facts(envelope));
        if (envelope.labels.node) by_node_[*envelope.labels.node].push_back(&envelope);
        if (const auto& round = envelope.labels.round) {
            by_round_[*round].push_back(&envelope);
            std::uint64_t& last = last_seq_[*round];
            last = std::max(last, envelope.seq);
        }
    }
}

const EnvelopeRefs& JournalIndex::of_node(std::string_view id) const {
    static const EnvelopeRefs none;
    auto it = by_node_.find(id);
    return it == by_node_.end() ? none : it->second;
}

std::uint64_t JournalIndex::last_seq(std::uint64_t round) const {
    auto it = last_seq_.find(round);
    return it == last_seq_.end() ? 0 : it->second;
}

const EnvelopeRefs& JournalIndex::of_round(std::uint64_t round) const {
    static const EnvelopeRefs none;
    auto it = by_round_.find(round);
    return it == by_round_.end() ? none : it->second;
}

}  // namespace korvalle::payload::detail
