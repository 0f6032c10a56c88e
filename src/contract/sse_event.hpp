// The kinds of change-feed events, in code order, and their event names on the wire.
#pragma once

#include <cstdint>
#include <string_view>

namespace korvalle::contract {

enum class SseEvent : std::uint8_t { Snapshot, RunChanged, ConversationChanged, ActivityChanged, RunRemoved };

// "snapshot", "run.changed", "conversation.changed", "activity.changed", "run.removed".
constexpr std::string_view event_name(SseEvent kind) {
    switch (kind) {
    case SseEvent::Snapshot: return "snapshot";
    case SseEvent::RunChanged: return "run.changed";
    case SseEvent::ConversationChanged: return "conversation.changed";
    case SseEvent::ActivityChanged: return "activity.changed";
    case SseEvent::RunRemoved: return "run.removed";
    }
    return "snapshot";
}

}  // namespace korvalle::contract
