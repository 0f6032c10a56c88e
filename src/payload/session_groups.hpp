// The agent sessions of a run: the harness labels each envelope it reports with the session it
// belongs to, and the envelopes are grouped by that label (agent-graph envelopes whose "session"
// label is a text that passes the identifier rule). Each group becomes one conversation, and the
// run detail shows them all.
#pragma once

#include "sdk/journal/event.hpp"
#include "sdk/run/envelope_list.hpp"

#include <optional>
#include <string_view>
#include <vector>

namespace korvalle::views {
struct RunView;
}

namespace korvalle::payload {

class EnvelopeFacts;

// The envelopes of each session, built in one pass over the journal. The texts are views into
// the view's envelopes and live as long as the view.
struct SessionEnvelopes {
    std::string_view session;
    std::vector<const event::Envelope*> envelopes;  // in merge order
};
// Groups in order of their first envelope in the journal.
using SessionGroups = std::vector<SessionEnvelopes>;

SessionGroups session_groups(const views::RunView& view);
// The same from the facts of the envelopes (envelope_facts.hpp, made from this list), which tell
// each envelope's session: no label is read again but the first of each group's.
SessionGroups session_groups(const views::EnvelopeList& envelopes, const EnvelopeFacts& facts);

// The session an envelope belongs to (a view of its label), else none.
std::optional<std::string_view> session_of(const event::Envelope& envelope);

}  // namespace korvalle::payload
