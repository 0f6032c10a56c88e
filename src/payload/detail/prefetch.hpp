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

// Asks for every cache line of a text of the view's arena (a payload's).
inline void prefetch_text(std::string_view text) {
    constexpr std::size_t line = 64;
    for (std::size_t at = 0; at < text.size(); at += line) __builtin_prefetch(text.data() + at);
}

}  // namespace korvalle::payload::detail
