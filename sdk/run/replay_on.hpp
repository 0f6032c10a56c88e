// Replaying a view's envelopes once envelopes were read on: from the replay's state when they
// all sort after the earlier ones, and otherwise from a checkpoint of the replay before the
// first that does not. A journal merges several writers, each stamping its envelopes with its
// own clock, so an envelope appended now often sorts a little before the newest ones. The
// checkpoint is held back behind the envelopes of the newest seconds: envelopes late by less
// than that replay only the envelopes after it, and it moves forward as the journal grows.
#pragma once

#include "sdk/run/views.hpp"

#include <cstddef>
#include <cstdint>

namespace korvalle::views {

// The checkpoint stays behind the envelopes stamped within this many milliseconds of the newest
// one, and behind at least held_back_envelopes of them (the times of a journal need not read).
inline constexpr std::uint64_t held_back_ms = 10'000;
inline constexpr std::size_t held_back_envelopes = 1024;
// It moves forward once it lies this many envelopes behind where it would be taken now: each
// envelope is replayed at most once more for it, and its state copied once per so many.
inline constexpr std::size_t checkpoint_step = 1024;

// Replays the view's envelopes from a fresh state, taking a checkpoint on the way.
void replay_whole(RunView& view);

// Folds the envelopes at positions [from, to) into state, the state of those before them, their
// activity reports left to reports (ActivityReports::settle once the replay is done).
void replay_span(ReplayState& state, const EnvelopeList& envelopes, std::size_t from, std::size_t to,
                 ActivityReports& reports);

// Puts the envelopes kept since the view held `before` into merge order
// (EnvelopeList::place_since) and replays the view from where the first of them goes: going on
// from the view's state (that of the earlier envelopes) when that is after them all, else from
// its checkpoint when that lies at or before it, else from the start. A checkpoint there is
// kept moving forward.
void replay_read_on(RunView& view, std::size_t before);

// Where a checkpoint would be taken now: the position of the first envelope stamped within
// held_back_ms of the newest, at most held_back_envelopes before the end (0 for a short list).
std::size_t checkpoint_target(const EnvelopeList& envelopes);

}  // namespace korvalle::views
