// The facts of a journal's agent-graph envelopes, read in one pass.
#include "src/payload/envelope_facts.hpp"

#include "src/contract/contract.hpp"
#include "src/payload/detail/prefetch.hpp"

#include <array>
#include <unordered_map>

namespace korvalle::payload {

namespace {

using event::ObjectText;

// Numbers session texts in order of first appearance, and tells which pass the identifier rule.
// A session's envelopes mostly come in runs: the previous text is tried before the table.
class SessionNumbers {
public:
    SessionNumbers(std::vector<std::string_view>& texts, std::deque<std::string>& escaped)
        : texts_(texts), escaped_(escaped) {}

    // The number of a session text; plain: a view of the kept label, which lives as long as the
    // facts, else unescaped into scratch and copied when it is a new session.
    std::uint32_t operator()(std::string_view text, bool plain) {
        if (last_ && texts_[*last_] == text) return *last_;
        auto at = numbers_.find(text);
        if (at == numbers_.end()) {
            const std::string_view kept = plain ? text : std::string_view(escaped_.emplace_back(text));
            at = numbers_.emplace(kept, static_cast<std::uint32_t>(texts_.size())).first;
            texts_.push_back(kept);
            valid_.push_back(contract::validate_run_id(kept).ok());
        }
        last_ = at->second;
        return at->second;
    }

    bool valid(std::uint32_t number) const { return valid_[number]; }

private:
    std::vector<std::string_view>& texts_;
    std::deque<std::string>& escaped_;
    std::unordered_map<std::string_view, std::uint32_t> numbers_;
    std::vector<bool> valid_;
    std::optional<std::uint32_t> last_;
};

// One look at the labels' other members and, for an envelope that counts in turn tallies, one at
// its payload.
AgentFacts agent_facts(const event::Envelope& envelope, SessionNumbers& sessions) {
    AgentFacts facts;
    if (envelope.source != event::EventSource::Morvane) return facts;
    static constexpr std::array<std::string_view, 3> label_keys{"session", "role", "member"};
    std::array<std::string_view, 3> labels;
    ObjectText::member_texts(envelope.labels.extra.text(), label_keys, labels);
    std::array<std::string, 3> scratch;
    if (const std::optional<std::string_view> session = ObjectText::string_of(labels[0], &scratch[0])) {
        const bool plain = session->data() != scratch[0].data();
        facts.session = sessions(*session, plain);
        // A text written with escapes belongs to no conversation, whatever it reads as.
        facts.conversation = plain && sessions.valid(*facts.session);
    }
    // Compared as a view, the length first: a string against a literal always compares bytes.
    const std::string_view kind = envelope.kind;
    if (kind == "turn-activity") return facts;
    facts.tallied = true;
    facts.turn = kind != "turn-interrupted";
    static constexpr std::array<std::string_view, 2> payload_keys{"role", "usage"};
    std::array<std::string_view, 2> payload;
    ObjectText::member_texts(envelope.payload.text(), payload_keys, payload);
    std::string role_scratch;
    facts.party = first_party({ObjectText::string_of(payload[0], &role_scratch),
                               ObjectText::string_of(labels[1], &scratch[1]),
                               ObjectText::string_of(labels[2], &scratch[2]), envelope.labels.persona.optional()});
    if (kind == "turn-completed") facts.ms = usage_duration_ms(payload[1]);
    return facts;
}

}  // namespace

EnvelopeFacts::EnvelopeFacts(std::span<const event::Envelope> envelopes) : first_(envelopes.data()) {
    facts_.reserve(envelopes.size());
    SessionNumbers sessions(sessions_, escaped_sessions_);
    for (std::size_t i = 0; i < envelopes.size(); ++i) {
        if (i + detail::prefetch_distance < envelopes.size())
            detail::prefetch_members(envelopes[i + detail::prefetch_distance]);
        facts_.push_back(agent_facts(envelopes[i], sessions));
    }
}

std::uint64_t EnvelopeFacts::held_bytes() const {
    std::uint64_t bytes = sizeof(EnvelopeFacts) + facts_.capacity() * sizeof(AgentFacts) +
                          sessions_.capacity() * sizeof(std::string_view);
    for (const std::string& text : escaped_sessions_) bytes += sizeof(std::string) + text.capacity();
    return bytes;
}

}  // namespace korvalle::payload
