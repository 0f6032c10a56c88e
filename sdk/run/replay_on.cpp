#include "sdk/run/replay_on.hpp"

#include "sdk/base/clock.hpp"
#include "sdk/run/run_text.hpp"

#include <algorithm>
#include <memory>
#include <string>

namespace korvalle::views {

namespace {

// Envelopes replayed once their read is over are far from the cache (a journal out of order
// visits them out of the order they lie in; a journal parsed in shards was read on other
// threads): the replay asks for those a few positions ahead early, so that their reads overlap.
constexpr std::size_t prefetch_distance = 16;

// Asks for what the replay reads of an envelope: the envelope itself, its node's label and its
// payload.
void prefetch(const event::Envelope& envelope) {
    const char* bytes = reinterpret_cast<const char*>(&envelope);
    for (std::size_t line = 0; line < sizeof(event::Envelope); line += 64) __builtin_prefetch(bytes + line);
    if (envelope.labels.node) __builtin_prefetch((*envelope.labels.node).data());
    __builtin_prefetch(envelope.payload.text().data());
}

// Replays the envelopes at positions [from, to) into state, the state of those before them.
void replay_range(ReplayState& state, const EnvelopeList& envelopes, std::size_t from, std::size_t to) {
    ActivityReports reports;
    replay_span(state, envelopes, from, to, reports);
    reports.settle(state, envelopes);
}

std::size_t checkpoint_at(const RunView& view) { return view.checkpoint ? view.checkpoint->position : 0; }

// Whether a checkpoint at target is worth taking in place of the view's.
bool moves_forward(const RunView& view, std::size_t target) { return target >= checkpoint_at(view) + checkpoint_step; }

// Replays the envelopes from position `from` on, the view's state being that of the ones before
// it, taking a checkpoint where one is due on the way.
void replay_from(RunView& view, std::size_t from) {
    const std::size_t target = checkpoint_target(view.envelopes);
    if (target >= from && moves_forward(view, target)) {
        replay_range(view, view.envelopes, from, target);
        view.checkpoint = std::make_shared<const ReplayCheckpoint>(ReplayCheckpoint{target, view});
        from = target;
    }
    replay_range(view, view.envelopes, from, view.envelopes.size());
}

// Moves the checkpoint forward when it is due, on a copy of its state: the view's own state is
// already that of every envelope.
void advance_checkpoint(RunView& view) {
    if (!view.checkpoint) return;
    const std::size_t target = checkpoint_target(view.envelopes);
    if (!moves_forward(view, target)) return;
    auto moved = std::make_shared<ReplayCheckpoint>(*view.checkpoint);
    replay_range(moved->state, view.envelopes, moved->position, target);
    moved->position = target;
    view.checkpoint = std::move(moved);
}

}  // namespace

void replay_span(ReplayState& state, const EnvelopeList& envelopes, std::size_t from, std::size_t to,
                 ActivityReports& reports) {
    for (std::size_t position = from; position < to; ++position) {
        if (position + prefetch_distance < to) prefetch(envelopes[position + prefetch_distance]);
        state.apply_event(envelopes[position], position, reports);
    }
}

std::size_t checkpoint_target(const EnvelopeList& envelopes) {
    if (envelopes.size() <= held_back_envelopes) return 0;
    const std::size_t limit = envelopes.size() - held_back_envelopes;
    const std::optional<std::uint64_t> newest = parse_timestamp_ms(envelopes.back().ts);
    if (!newest) return limit;
    const std::optional<std::string> cutoff =
        clock::format_utc_ms(static_cast<std::int64_t>(*newest - std::min(*newest, held_back_ms)));
    if (!cutoff) return limit;
    // Envelopes are in the order of their time texts first, and these texts order as times.
    const auto first = envelopes.begin();
    const auto held = std::lower_bound(first, first + static_cast<std::ptrdiff_t>(limit), std::string_view(*cutoff),
                                       [](const event::Envelope& envelope, std::string_view text) {
                                           return envelope.ts.view() < text;
                                       });
    return static_cast<std::size_t>(held - first);
}

void replay_whole(RunView& view) {
    static_cast<ReplayState&>(view) = ReplayState{};
    view.checkpoint.reset();
    replay_from(view, 0);
}

void replay_read_on(RunView& view, std::size_t before) {
    const std::size_t first = view.envelopes.place_since(before);
    if (first >= before) {
        replay_range(view, view.envelopes, before, view.envelopes.size());
        advance_checkpoint(view);
    } else if (view.checkpoint && view.checkpoint->position <= first) {
        static_cast<ReplayState&>(view) = view.checkpoint->state;
        replay_from(view, view.checkpoint->position);
    } else {
        replay_whole(view);
    }
}

}  // namespace korvalle::views
