// The facts of a journal's agent-graph envelopes, read in one pass.
#include "src/payload/envelope_facts.hpp"

#include "src/contract/contract.hpp"
#include "src/payload/detail/prefetch.hpp"

#include <array>
#include <unordered_map>

namespace korvalle::payload {

using event::ObjectText;

// Session texts are numbered in order of first appearance; a session's envelopes mostly come in
// runs, so the previous text is tried before the table.
class EnvelopeFacts::Sessions {
public:
    Sessions(std::vector<std::string_view>& texts, std::deque<std::string>& escaped) : texts_(texts), escaped_(escaped) {}

    // The number of a session text; plain: a view of the kept label, which lives as long as the
    // facts, else unescaped into scratch and copied when it is a new session.
    std::uint32_t number(std::string_view text, bool plain) {
        if (last_ && texts_[*last_] == text) return *last_;
        auto at = numbers_.find(text);
        if (at == numbers_.end()) {
            const std::string_view kept = plain ? text : std::string_view(escaped_.emplace_back(text));
            at = numbers_.emplace(kept, static_cast<std::uint32_t>(texts_.size())).first;
            texts_.push_back(kept);
            valid_.push_back(contract::validate_run_id(kept).ok());
            turns_.push_back(0);
        }
        last_ = at->second;
        return at->second;
    }

    bool valid(std::uint32_t number) const { return valid_[number]; }
    // The number of the session's turns so far, counting one more.
    std::uint32_t next_turn(std::uint32_t number) { return turns_[number]++; }

private:
    std::vector<std::string_view>& texts_;
    std::deque<std::string>& escaped_;
    std::unordered_map<std::string_view, std::uint32_t> numbers_;
    std::vector<bool> valid_;
    std::vector<std::uint32_t> turns_;
    std::optional<std::uint32_t> last_;
};

// One look at the labels' other members and, for an envelope that counts in turn tallies, one at
// its payload.
AgentFacts EnvelopeFacts::read(const event::Envelope& envelope, Sessions& sessions) {
    AgentFacts facts;
    if (envelope.source != event::EventSource::Morvane) return facts;
    static constexpr std::array<std::string_view, 3> label_keys{"session", "role", "member"};
    std::array<std::string_view, label_keys.size()> labels;
    ObjectText::member_texts(envelope.labels.extra.text(), label_keys, labels);
    std::array<std::string, 3> scratch;
    const std::optional<std::string_view> session = ObjectText::string_of(labels[0], &scratch[0]);
    // The labels' other members write a string with escapes only when it needs them, and such a
    // text fails the identifier rule: it is numbered, but belongs to no conversation.
    const bool plain = session && session->data() != scratch[0].data();
    if (session) {
        facts.session_ = sessions.number(*session, plain);
        facts.flags_ |= AgentFacts::session_flag;
        if (plain && sessions.valid(facts.session_)) facts.flags_ |= AgentFacts::conversation_flag;
    }
    // Compared as a view, the length first: a string against a literal always compares bytes.
    const std::string_view kind = envelope.kind;
    if (kind == "turn-activity") return facts;
    facts.flags_ |= AgentFacts::tallied_flag;
    if (kind != "turn-interrupted") {
        facts.flags_ |= AgentFacts::turn_flag;
        if (facts.conversation()) facts.turn_number_ = sessions.next_turn(facts.session_);
    }
    static constexpr std::array<std::string_view, 2> payload_keys{"role", "usage"};
    std::array<std::string_view, payload_keys.size()> payload;
    ObjectText::member_texts(envelope.payload.text(), payload_keys, payload);
    std::string role_scratch;
    const std::optional<Party> party =
        first_party({ObjectText::string_of(payload[0], &role_scratch), ObjectText::string_of(labels[1], &scratch[1]),
                     ObjectText::string_of(labels[2], &scratch[2]), envelope.labels.persona.optional()});
    if (party) {
        facts.party_ = *party;
        facts.flags_ |= AgentFacts::party_flag;
    }
    if (kind == "turn-completed") {
        if (const std::optional<std::uint64_t> ms = usage_duration_ms(payload[1])) {
            facts.ms_ = *ms;
            facts.flags_ |= AgentFacts::ms_flag;
        }
    }
    return facts;
}

EnvelopeFacts::EnvelopeFacts(const views::EnvelopeList& envelopes)
    : facts_(envelopes.size()) {
    Sessions sessions(sessions_, escaped_sessions_);
    // The envelopes are asked for two distances ahead, so that one distance ahead their texts
    // can be: the labels of each, the payload of those whose payload is read.
    constexpr std::size_t ahead = detail::prefetch_distance;
    for (std::size_t i = 0; i < envelopes.size(); ++i) {
        if (i + 2 * ahead < envelopes.size()) detail::prefetch_envelope(envelopes[i + 2 * ahead]);
        if (i + ahead < envelopes.size()) {
            const event::Envelope& next = envelopes[i + ahead];
            __builtin_prefetch(next.labels.extra.text().data());
            if (next.source == event::EventSource::Morvane && std::string_view(next.kind) != "turn-activity")
                detail::prefetch_text(next.payload.text());
        }
        facts_[i] = read(envelopes[i], sessions);
    }
}

std::uint64_t EnvelopeFacts::held_bytes() const {
    std::uint64_t bytes = sizeof(EnvelopeFacts) + facts_.capacity() * sizeof(AgentFacts) +
                          sessions_.capacity() * sizeof(std::string_view);
    for (const std::string& text : escaped_sessions_) bytes += sizeof(std::string) + text.capacity();
    return bytes;
}

}  // namespace korvalle::payload
