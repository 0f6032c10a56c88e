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
    if (view.replayed_on_from == 0) return of(view);
    payload::TurnDurations durations = base.summary.durations;
    for (std::size_t i = view.replayed_on_from; i < view.envelopes.size(); ++i) payload::add_turn(durations, view.envelopes[i]);
    return RunRecord{payload::SummaryFacts::of(view, durations), RunSignature::of(view), view.files_read};
}

std::uint64_t RunRecord::held_bytes() const {
    std::uint64_t bytes = sizeof(RunRecord) - sizeof(summary) + summary.held_bytes();
    bytes += files.files.capacity() * sizeof(files::Seen);
    for (const files::Seen& seen : files.files) bytes += memory::heap_bytes(seen.path.native());
    return bytes;
}

}  // namespace korvalle::store
