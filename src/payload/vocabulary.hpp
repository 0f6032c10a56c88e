// The words the documents share (each word function returns one of its table's constant words),
// the party of an envelope, the run's state word, and the short content digest and current time
// that documents write.
#pragma once

#include "sdk/journal/event.hpp"

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace korvalle::views {
struct RunView;
struct LivenessFacts;
struct LivenessInputs;
}  // namespace korvalle::views

namespace korvalle::payload {

// Who spent a turn's time or tokens.
enum class Party { Agent, Judge, Llmlint };
// "agent", "judge", "llmlint".
std::string_view party_word(Party party);

// The role word equal to the input when it is exactly "orchestrator", "worker", "check-in",
// "judge" or "pr-author"; none otherwise (an absent input included).
std::optional<std::string_view> role_word(std::optional<std::string_view> text);

// Display word of a node status text: "ready" shows as "pending"; "not-completed" and
// "unknown" pass through; anything unrecognised is "unknown".
std::string_view status_word(std::string_view status);

// "conversation", "pr", "tandrel_session", "worker_report", or "gate_log" for anything else.
std::string_view artifact_kind_word(std::string_view kind);

// Whether an envelope comes from the source and is of the kind.
inline bool is_event(const event::Envelope& envelope, event::EventSource source, std::string_view kind) {
    return envelope.source == source && envelope.kind == kind;
}

// The first of payload "role", label "role", label "member" and the persona label that is
// exactly "agent", "judge" or "llmlint"; none when no source names one.
std::optional<Party> party_of(const event::Envelope& envelope);
// The same over those texts once looked up, in that order (none: not there, or not a string).
std::optional<Party> first_party(std::initializer_list<std::optional<std::string_view>> texts);

// The run's liveness word lower-cased with "-" for the blank: "settled", "active",
// "driver-dead", "parked". Reads the process table.
std::string state_word(const views::RunView& view, const views::LivenessInputs& inputs);
std::string state_word(const views::LivenessFacts& facts, const views::LivenessInputs& inputs);

// The first six bytes of the SHA-256 digest of the bytes, as 12 lowercase hex digits
// (digest::sha256_hex).
std::string sha256_hex(std::string_view bytes);

// The current UTC time as RFC 3339 ending in "Z", the fraction of a second trimmed of
// trailing zeros (clock::now_rfc3339).
std::string now_rfc3339();

}  // namespace korvalle::payload
