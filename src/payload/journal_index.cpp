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

void prefetch_members(const event::Envelope& envelope) {
    // The member tables sit in the view's arena, apart from the envelope: asking for them a few
    // envelopes ahead overlaps their cache misses instead of waiting on each in turn.
    __builtin_prefetch(envelope.labels.extra.begin());
    __builtin_prefetch(envelope.payload.begin());
}

JournalIndex::JournalIndex(const std::vector<event::Envelope>& envelopes) : first_(envelopes.data()) {
    facts_.reserve(envelopes.size());
    // Envelopes of one node or one round mostly come in runs: the previous envelope's entry is
    // tried before the tables are searched.
    std::pair<const std::string_view, EnvelopeRefs>* node = nullptr;
    std::pair<const std::uint64_t, Round>* round = nullptr;
    for (std::size_t i = 0; i < envelopes.size(); ++i) {
        const event::Envelope& envelope = envelopes[i];
        if (i + prefetch_distance < envelopes.size()) prefetch_members(envelopes[i + prefetch_distance]);
        facts_.push_back(agent_facts(envelope));
        if (const auto& label = envelope.labels.node) {
            if (!node || node->first != *label) node = &*by_node_.try_emplace(*label).first;
            node->second.push_back(&envelope);
        }
        if (const auto& label = envelope.labels.round) {
            if (!round || round->first != *label) round = &*by_round_.try_emplace(*label).first;
            round->second.envelopes.push_back(&envelope);
            round->second.last_seq = std::max(round->second.last_seq, envelope.seq);
        }
    }
}

const EnvelopeRefs& JournalIndex::of_node(std::string_view id) const {
    static const EnvelopeRefs none;
    auto it = by_node_.find(id);
    return it == by_node_.end() ? none : it->second;
}

std::uint64_t JournalIndex::last_seq(std::uint64_t round) const {
    auto it = by_round_.find(round);
    return it == by_round_.end() ? 0 : it->second.last_seq;
}

const EnvelopeRefs& JournalIndex::of_round(std::uint64_t round) const {
    static const EnvelopeRefs none;
    auto it = by_round_.find(round);
    return it == by_round_.end() ? none : it->second.envelopes;
}

}  // namespace korvalle::payload::detail
