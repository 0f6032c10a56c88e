#include "src/store/run_record.hpp"

#include "sdk/base/memory.hpp"

namespace korvalle::store {

RunSignature RunSignature::of(const views::RunView& view) {
    return RunSignature{view.round, static_cast<std::uint64_t>(view.envelopes.size()),
                        view.last_event_at.value_or(0)};
}

RunRecord RunRecord::of(const views::RunView& view) {
    return RunRecord{payload::SummaryFacts::of(view), RunSignature::of(view), view.files_read};
}

RunRecord RunRecord::of_grown(const views::RunView& view, const RunRecord& base) {
    if (view.appended_from == 0) return of(view);
    // The sums do not depend on the order of what they add up.
    payload::TurnDurations durations = base.summary.durations;
    const views::EnvelopeList::Slots slots = view.envelopes.slots();
    for (std::size_t slot = view.appended_from; slot < slots.size(); ++slot) payload::add_turn(durations, slots[slot]);
    return RunRecord{payload::SummaryFacts::of(view, durations), RunSignature::of(view), view.files_read};
}

std::uint64_t RunRecord::held_bytes() const {
    std::uint64_t bytes = sizeof(RunRecord) - sizeof(summary) + summary.held_bytes();
    bytes += files.files.capacity() * sizeof(files::Seen);
    for (const files::Seen& seen : files.files) bytes += memory::heap_bytes(seen.path.native());
    return bytes;
}

}  // namespace korvalle::store
