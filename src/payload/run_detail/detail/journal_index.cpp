// The per-document journal index.
#include "src/payload/run_detail/detail/journal_index.hpp"

#include "src/payload/detail/prefetch.hpp"

#include <algorithm>
#include <cstdint>
#include <map>
#include <utility>

namespace korvalle::payload::detail {

void JournalIndex::Turns::add(const AgentFacts& facts) {
    if (facts.turn()) ++count;
    add_turn(durations, facts);
}

// A node's sessions are found by (node, session number); a session's envelopes mostly come in
// runs, so the last one met is tried before the table.
class JournalIndex::NodeSessions {
public:
    explicit NodeSessions(const EnvelopeFacts& facts) : texts_(facts.sessions()) {}

    void add(Node& node, std::uint32_t number, const event::Envelope& envelope) {
        const std::string_view text = texts_[number];
        if (text.empty()) return;
        if (last_node_ != &node || last_number_ != number) {
            const std::pair key(reinterpret_cast<std::uintptr_t>(&node), number);
            const auto [at, added] = at_.try_emplace(key, node.sessions.size());
            if (added) node.sessions.push_back(Session{text, &envelope, std::nullopt});
            last_node_ = &node;
            last_number_ = number;
            last_ = at->second;
        }
        Session& session = node.sessions[last_];
        if (!session.party) session.party = party_of(envelope);
    }

private:
    const std::vector<std::string_view>& texts_;
    std::map<std::pair<std::uintptr_t, std::uint32_t>, std::size_t> at_;  // (node, number) -> the node's sessions
    const Node* last_node_ = nullptr;
    std::uint32_t last_number_ = 0;
    std::size_t last_ = 0;
};

JournalIndex::JournalIndex(const views::EnvelopeList& envelopes)
    : JournalIndex(envelopes, std::make_shared<const EnvelopeFacts>(envelopes)) {}

JournalIndex::JournalIndex(const views::EnvelopeList& envelopes, std::shared_ptr<const EnvelopeFacts> facts)
    : facts_(std::move(facts)) {
    NodeSessions sessions(*facts_);
    // Envelopes of one node or one round mostly come in runs: the previous envelope's entry is
    // tried before the tables are searched.
    std::pair<const std::string_view, Node>* node = nullptr;
    std::pair<const std::uint64_t, Round>* round = nullptr;
    for (std::size_t i = 0; i < envelopes.size(); ++i) {
        const event::Envelope& envelope = envelopes[i];
        const AgentFacts& facts = facts_->at(i);
        if (i + prefetch_distance < envelopes.size()) prefetch_node_label(envelopes[i + prefetch_distance]);
        turns_.add(facts);
        if (const auto& label = envelope.labels.node) {
            if (!node || node->first != *label) node = &*by_node_.try_emplace(*label).first;
            Node& entry = node->second;
            entry.all.push_back(&envelope);
            if (envelope.source == event::EventSource::Vcs) entry.vcs.push_back(&envelope);
            entry.turns.add(facts);
            node_turns_.add(facts);
            if (const std::optional<std::uint32_t> number = facts.session()) sessions.add(entry, *number, envelope);
        }
        if (const auto& label = envelope.labels.round) {
            if (!round || round->first != *label) round = &*by_round_.try_emplace(*label).first;
            round->second.envelopes.push_back(&envelope);
            round->second.last_seq = std::max(round->second.last_seq, envelope.seq);
        }
    }
    for (auto& [id, entry] : by_node_) {
        std::sort(entry.sessions.begin(), entry.sessions.end(),
                  [](const Session& a, const Session& b) { return a.text < b.text; });
    }
}

std::uint64_t JournalIndex::held_bytes() const {
    constexpr std::uint64_t entry = 32;  // a table entry's key and links
    std::uint64_t bytes = sizeof(JournalIndex);
    for (const auto& [id, node] : by_node_) {
        bytes += entry + sizeof(Node) + (node.all.capacity() + node.vcs.capacity()) * sizeof(const event::Envelope*) +
                 node.sessions.capacity() * sizeof(Session);
    }
    for (const auto& [number, round] : by_round_)
        bytes += entry + sizeof(Round) + round.envelopes.capacity() * sizeof(const event::Envelope*);
    return bytes;
}

const JournalIndex::Node& JournalIndex::node(std::string_view id) const {
    static const Node none;
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
