// Conversations: the agent sessions of a run (session_groups.hpp), one document per session: the
// session's turns with the tool activity reported before each, and an attribution block tying
// the session to its run, round, node, launcher and roles. Conversation documents use camelCase
// keys.
//
// Everything here is a pure function of a run view: no file is read, and the clock only for a
// group without envelopes, which the grouping never makes.
#pragma once

#include "sdk/base/json_write.hpp"
#include "sdk/journal/event.hpp"
#include "src/payload/session_groups.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvalle::views {
struct RunView;
}

namespace korvalle::payload {

class ViewIndexes;

// Writes an array of one conversation document per group, in order.
void write_session_groups(json::Writer& out, const SessionGroups& groups, const views::RunView& view);
// Room for that text: a little more than it takes for the journals the harness writes, so that
// a text of tens of megabytes is written once into room made for it rather than copied each
// time it outgrows its room.
std::size_t conversations_room(const SessionGroups& groups, const views::RunView& view);

// Writes the conversation document of one session: {"conversation":{…},"attribution":{…}}.
// Never fails. The long texts of a session are written from its envelopes, never copied.
void write_conversation(json::Writer& out, const views::RunView& view, std::string_view session,
                        const std::vector<const event::Envelope*>& envelopes);

// Writes the id of a session's turn, "{session}.{number}" with number the count of its earlier
// turns: the conversation's turn and the timeline's event entry of it share it.
void write_turn_id(json::Writer& out, std::string_view session, std::uint64_t number);

// Every conversation of the run as the text of one array, in order of each session's first
// envelope; "[]" without any.
std::string conversations(const views::RunView& view);

// The text of the conversation whose id equals the text byte for byte, or none. The id is not
// checked here: the route checks it before asking.
std::optional<std::string> conversation(const views::RunView& view, std::string_view id);
// The same from indexes kept with the view (indexes.hpp).
std::optional<std::string> conversation(const views::RunView& view, std::string_view id, const ViewIndexes& indexes);

// A short fingerprint of all the run's conversations: the first 8 bytes of the SHA-256 digest of
// their compact texts, one after the other, as 16 lowercase hex digits. Compared, never parsed.
std::string conversation_signature(const views::RunView& view);
std::string conversation_signature(const views::RunView& view, const ViewIndexes& indexes);

}  // namespace korvalle::payload
