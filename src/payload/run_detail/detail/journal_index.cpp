// The per-document journal index.
#include "src/payload/run_detail/detail/journal_index.hpp"

#include "src/payload/detail/prefetch.hpp"

#include <algorithm>
#include <array>

namespace korvalle::payload::detail {

namespace {

// Numbers session texts in order of first appearance. A session's envelopes mostly come in
// runs: the previous text is tried before the table.
class SessionNumbers {
public:
    explicit SessionNumbers(std::vector<std::string_view>& texts) : texts_(texts) {}

    std::uint32_t operator()(std::string_view text) {
        if (last_ && texts_[*last_] == text) return *last_;
        auto [at, fresh] = numbers_.try_emplace(text, static_cast<std::uint32_t>(texts_.size()));
        if (fresh) texts_.push_back(text);
        last_ = at->second;
        return at->second;
    }

private:
    std::vector<std::string_view>& texts_;
    std::unordered_map<std::string_view, std::uint32_t> numbers_;
    std::optional<std::uint32_t> last_;
};

// The "session" label, found in one walk: a view of the kept labels, or of a copy kept in escaped
// for the rare text written with escapes (the only one unescaped into scratch).
std::optional<std::string_view> session_label(const event::Labels& labels, std::deque<std::string>& escaped) {
    std::array<std::string, 1> scratch;
    const std::optional<std::string_view> session = labels.extra.string_members<1>({"session"}, scratch)[0];
    if (!session || session->data() != scratch[0].data()) return session;
    return escaped.emplace_back(std::move(scratch[0]));
}

AgentFacts agent_facts(const event::Envelope& envelope, SessionNumbers& sessions, std::deque<std::string>& escaped) {
    AgentFacts facts;
    if (envelope.source != event::EventSource::Morvane) return facts;
    if (auto session = session_label(envelope.labels, escaped)) facts.session = sessions(*session);
    // Compared as a view, the length first: a string against a literal always compares bytes.
    const std::string_view kind = envelope.kind;
    if (kind == "turn-activity") return facts;
    facts.tallied = true;
    facts.party = party_of(envelope);
    facts.turn = kind != "turn-interrupted";
    if (kind == "turn-completed") facts.ms = turn_duration_ms(envelope.payload);
    return facts;
}

}  // namespace

JournalIndex::JournalIndex(const views::EnvelopeList& envelopes)
    : slots_(envelopes.slots()), facts_(envelopes.size()) {
    // Envelopes of one node or one round mostly come in runs: the previous envelope's entry is
    // tried before the tables are searched.
    std::pair<const std::string_view, Node>* node = nullptr;
    std::pair<const std::uint64_t, Round>* round = nullptr;
    SessionNumbers sessions(sessions_);
    for (std::size_t i = 0; i < envelopes.size(); ++i) {
        const event::Envelope& envelope = envelopes[i];
        if (i + prefetch_distance < envelopes.size()) prefetch_members(envelopes[i + prefetch_distance]);
        facts_[envelopes.slot_of(envelope)] = agent_facts(envelope, sessions, escaped_sessions_);
        if (const auto& label = envelope.labels.node) {
            if (!node || node->first != *label) node = &*by_node_.try_emplace(*label).first;
            node->second.all.push_back(&envelope);
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
    std::uint64_t bytes = sizeof(JournalIndex) + facts_.capacity() * sizeof(AgentFacts) +
                          sessions_.capacity() * sizeof(std::string_view);
    for (const auto& [id, node] : by_node_)
        bytes += entry + (node.all.capacity() + node.vcs.capacity()) * sizeof(const event::Envelope*);
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
