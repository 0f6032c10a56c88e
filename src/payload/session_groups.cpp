// Grouping a run's agent envelopes by session.
#include "src/payload/session_groups.hpp"

#include "sdk/run/views.hpp"
#include "src/contract/contract.hpp"
#include "src/payload/envelope_facts.hpp"

#include <optional>

namespace korvalle::payload {

std::optional<std::string_view> session_of(const event::Envelope& envelope) {
    if (envelope.source != event::EventSource::Morvane) return std::nullopt;
    // A text written with escapes is no view, and fails the identifier rule anyway.
    std::optional<std::string_view> session = envelope.labels.extra.plain_string_member("session");
    if (session && !contract::validate_run_id(*session)) return std::nullopt;  // fails the identifier rule
    return session;
}

SessionGroups session_groups(const views::RunView& view) {
    return session_groups(view.envelopes, EnvelopeFacts(view.envelopes));
}

SessionGroups session_groups(const views::EnvelopeList& envelopes, const EnvelopeFacts& facts) {
    SessionGroups sessions;
    constexpr std::size_t none = static_cast<std::size_t>(-1);
    std::vector<std::size_t> position(facts.sessions().size(), none);
    for (std::size_t i = 0; i < envelopes.size(); ++i) {
        const AgentFacts& of = facts.at(i);
        if (!of.conversation()) continue;
        const event::Envelope& envelope = envelopes[i];
        std::size_t& at = position[*of.session()];
        if (at == none) {
            at = sessions.size();
            // The group's text views its first envelope's label, which is written plainly: the
            // groups live as long as the envelopes, whether or not the facts do.
            const std::optional<std::string_view> session = envelope.labels.extra.plain_string_member("session");
            sessions.push_back(SessionEnvelopes{session.value_or(facts.sessions()[*of.session()]), {}});
        }
        sessions[at].envelopes.push_back(&envelope);
    }
    return sessions;
}

}  // namespace korvalle::payload
