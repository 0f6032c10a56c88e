// Grouping a run's agent envelopes by session.
#include "src/payload/session_groups.hpp"

#include "sdk/run/views.hpp"
#include "src/payload/envelope_facts.hpp"

#include <optional>

namespace korvalle::payload {

SessionGroups session_groups(const views::RunView& view) {
    return session_groups(view.envelopes, EnvelopeFacts(view.envelopes));
}

SessionGroups session_groups(std::span<const event::Envelope> envelopes, const EnvelopeFacts& facts) {
    SessionGroups sessions;
    constexpr std::size_t none = static_cast<std::size_t>(-1);
    std::vector<std::size_t> position(facts.sessions().size(), none);
    for (std::size_t i = 0; i < envelopes.size(); ++i) {
        const AgentFacts& of = facts.at(i);
        if (!of.conversation()) continue;
        std::size_t& at = position[*of.session()];
        if (at == none) {
            at = sessions.size();
            // The group's text views its first envelope's label, which is written plainly: the
            // groups live as long as the envelopes, whether or not the facts do.
            const std::optional<std::string_view> session = envelopes[i].labels.extra.plain_string_member("session");
            sessions.push_back(SessionEnvelopes{session.value_or(facts.sessions()[*of.session()]), {}});
        }
        sessions[at].envelopes.push_back(&envelopes[i]);
    }
    return sessions;
}

}  // namespace korvalle::payload
