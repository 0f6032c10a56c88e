// The order in which a journal's envelopes are replayed.
#pragma once

#include "sdk/journal/event.hpp"

#include <span>
#include <vector>

namespace korvalle::journal {

// True when a comes strictly before b: by ts, then stream (both as unsigned bytes), then seq.
bool before_in_merge_order(const event::Envelope& a, const event::Envelope& b);

// Merge order: a stable sort by ts, then stream (both as unsigned bytes), then seq. Equal
// keys keep file order. Timestamps are ordered as text, never parsed.
void merge_order(std::span<event::Envelope> envelopes);

}  // namespace korvalle::journal
