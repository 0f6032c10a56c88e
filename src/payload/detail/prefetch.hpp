// Asking for an envelope's texts ahead of reading them. The texts sit in the view's arena, apart
// from the envelopes; walks over a large journal ask for them a few envelopes ahead, so that
// their cache misses overlap instead of coming one after another.
#pragma once

#include "sdk/journal/event.hpp"

#include <cstddef>
#include <string_view>

namespace korvalle::payload::detail {

// How many envelopes ahead a walk asks for the member tables of the one it will read.
inline constexpr std::size_t prefetch_distance = 16;

// Asks for the envelope's label and payload member tables.
inline void prefetch_members(const event::Envelope& envelope) {
    __builtin_prefetch(envelope.labels.extra.text().data());
    __builtin_prefetch(envelope.payload.text().data());
}

// Asks for the envelope's node label, which walks that group envelopes by node compare.
inline void prefetch_node_label(const event::Envelope& envelope) {
    if (envelope.labels.node) __builtin_prefetch((*envelope.labels.node).data());
}

// Asks for every cache line of a text of the view's arena (a payload's).
inline void prefetch_text(std::string_view text) {
    constexpr std::size_t line = 64;
    for (std::size_t at = 0; at < text.size(); at += line) __builtin_prefetch(text.data() + at);
}

// Asks for the envelope itself.
inline void prefetch_envelope(const event::Envelope& envelope) {
    constexpr std::size_t line = 64;
    const char* at = reinterpret_cast<const char*>(&envelope);
    for (std::size_t offset = 0; offset < sizeof(event::Envelope); offset += line) __builtin_prefetch(at + offset);
}

// Asks for everything an event entry reads of an envelope: the envelope itself, its node label
// and its whole payload, which a look for a member reads to its end.
inline void prefetch_entry(const event::Envelope& envelope) {
    prefetch_envelope(envelope);
    prefetch_node_label(envelope);
    prefetch_text(envelope.payload.text());
}

}  // namespace korvalle::payload::detail
