// The per-document journal index.
#include "src/payload/run_detail/detail/journal_index.hpp"

#include "src/payload/detail/prefetch.hpp"

#include <algorithm>
#include <utility>

namespace korvalle::payload::detail {

JournalIndex::JournalIndex(const views::EnvelopeList& envelopes)
    : JournalIndex(envelopes, std::make_shared<const EnvelopeFacts>(envelopes)) {}

JournalIndex::JournalIndex(const views::EnvelopeList& envelopes, std::shared_ptr<const EnvelopeFacts> facts)
    : facts_(std::move(facts)) {
    // Envelopes of one node or one round mostly come in runs: the previous envelope's entry is
    // tried before the tables are searched.
    std::pair<const std::string_view, Node>* node = nullptr;
    std::pair<const std::uint64_t, Round>* round = nullptr;
    for (std::size_t i = 0; i < envelopes.size(); ++i) {
        const event::Envelope& envelope = envelopes[i];
        if (i + prefetch_distance < envelopes.size()) prefetch_node_label(envelopes[i + prefetch_distance]);
        if (const auto& label = envelope.labels.node) {
            if (!node || node->first != *label) node = &*by_node_.try_emplace(*label).first;
            node->second.all.push_back(&envelope);
            node->second.positions.push_back(static_cast<std::uint32_t>(i));
            if (envelope.source == event::EventSource::Vcs) node->second.vcs.push_back(&envelope);
        }
        if (const auto& label = envelope.labels.round) {
            if (!round || round->first != *label) round = &*by_round_.try_emplace(*label).first;
            round->second.envelopes.push_back(&envelope);
            round->second.last_seq = std::max(round->second.last_seq, envelope.seq);
        }
    }
}

std::uint64_t JournalIndex::held_bytes() const {
    constexpr std::uint64_t entry = 64;  // a table entry's own room
    std::uint64_t bytes = sizeof(JournalIndex);
    for (const auto& [id, node] : by_node_)
        bytes += entry + (node.all.capacity() + node.vcs.capacity()) * sizeof(const event::Envelope*) +
                 node.positions.capacity() * sizeof(std::uint32_t);
    for (const auto& [number, round] : by_round_) bytes += entry + round.envelopes.capacity() * sizeof(const event::Envelope*);
    return bytes;
}

const JournalIndex::Node* JournalIndex::node(std::string_view id) const {
    auto it = by_node_.find(id);
    return it == by_node_.end() ? nullptr : &it->second;
}

const EnvelopeRefs& JournalIndex::of_node(std::string_view id) const {
    static const EnvelopeRefs none;
    const Node* found = node(id);
    return found ? found->all : none;
}

const std::vector<std::uint32_t>& JournalIndex::positions_of_node(std::string_view id) const {
    static const std::vector<std::uint32_t> none;
    const Node* found = node(id);
    return found ? found->positions : none;
}

const EnvelopeRefs& JournalIndex::vcs_of_node(std::string_view id) const {
    static const EnvelopeRefs none;
    const Node* found = node(id);
    return found ? found->vcs : none;
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
