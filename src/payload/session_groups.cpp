// Grouping a run's agent envelopes by session.
#include "src/payload/session_groups.hpp"

#include "sdk/run/views.hpp"
#include "src/contract/contract.hpp"

#include <optional>
#include <unordered_map>

namespace korvalle::payload {

std::optional<std::string_view> session_of(const event::Envelope& envelope) {
    if (envelope.source != event::EventSource::Morvane) return std::nullopt;
    // A text written with escapes is no view, and fails the identifier rule anyway.
    std::optional<std::string_view> session = envelope.labels.extra.plain_string_member("session");
    if (session && !contract::validate_run_id(*session)) return std::nullopt;  // fails the identifier rule
    return session;
}

SessionGroups session_groups(const views::RunView& view) {
    SessionGroups sessions;
    std::unordered_map<std::string_view, std::size_t> position;
    for (const event::Envelope& envelope : view.envelopes) {
        std::optional<std::string_view> session = session_of(envelope);
        if (!session) continue;
        auto [at, fresh] = position.try_emplace(*session, sessions.size());
        if (fresh) sessions.push_back(SessionEnvelopes{*session, {}});
        sessions[at->second].envelopes.push_back(&envelope);
    }
    return sessions;
}

}  // namespace korvalle::payload
