// The live activity of a run: one row per (node, round) pair that agents reported turn activity
// for, holding the pair's latest report and how many reports it has had.
#include "src/payload/live_activity.hpp"

#include "sdk/base/clock.hpp"
#include "sdk/run/views.hpp"
#include "src/contract/contract.hpp"

#include <boost/json/object.hpp>

#include <algorithm>
#include <array>
#include <string>

namespace korvalle::payload {

std::vector<boost::json::value> live_activity(const views::RunView& view) { return LiveActivity(view).rows(); }

LiveActivity::LiveActivity(const views::RunView& view) : lineage_(view.envelopes.lineage()) {
    count(view.envelopes, 0);
    write_rows(view.envelopes);
}

LiveActivity::LiveActivity(const LiveActivity& base, const views::RunView& view)
    : pairs_(base.pairs_), lineage_(base.lineage_), counted_(base.counted_) {
    count(view.envelopes, counted_);
    write_rows(view.envelopes);
}

bool LiveActivity::carries_to(const views::RunView& view) const {
    return view.envelopes.shares_slots(lineage_, counted_);
}

std::uint64_t LiveActivity::held_bytes() const {
    // A map node, and a row of seven members with their texts.
    constexpr std::uint64_t pair_bytes = 96;
    constexpr std::uint64_t row_bytes = 512;
    return sizeof(LiveActivity) + pairs_.size() * pair_bytes + rows_.capacity() * row_bytes;
}

void LiveActivity::count(const views::EnvelopeList& envelopes, std::size_t from) {
    const views::EnvelopeList::Slots slots = envelopes.slots();
    for (std::size_t slot = from; slot < slots.size(); ++slot) {
        const event::Envelope& envelope = slots[slot];
        if (envelope.source != event::EventSource::Morvane || envelope.kind != "turn-activity") continue;
        const auto& node = envelope.labels.node;
        if (!node || !contract::validate_run_id(*node)) continue;
        const std::optional<std::int64_t> at_ms = clock::parse_rfc3339_ms(envelope.ts);
        if (!at_ms || !envelope.labels.round) continue;
        const auto at = static_cast<std::uint32_t>(slot);
        auto [entry, fresh] = pairs_.try_emplace({*node, *envelope.labels.round}, Pair{0, at, at, *at_ms});
        Pair& pair = entry->second;
        ++pair.events;
        if (fresh) continue;
        if (envelopes.slot_before(pair.last, at)) {
            pair.last = at;
            pair.last_ms = *at_ms;
        }
        if (envelopes.slot_before(at, pair.first)) pair.first = at;
    }
    counted_ = slots.size();
}

void LiveActivity::write_rows(const views::EnvelopeList& envelopes) {
    // Rows are placed by the time of the report they hold; equal times keep first-seen order.
    std::vector<const std::pair<const std::pair<std::string_view, std::uint64_t>, Pair>*> ordered;
    ordered.reserve(pairs_.size());
    for (const auto& entry : pairs_) ordered.push_back(&entry);
    std::sort(ordered.begin(), ordered.end(), [&](const auto* a, const auto* b) {
        if (a->second.last_ms != b->second.last_ms) return a->second.last_ms < b->second.last_ms;
        return envelopes.slot_before(a->second.first, b->second.first);
    });
    rows_.clear();
    rows_.reserve(ordered.size());
    const views::EnvelopeList::Slots slots = envelopes.slots();
    for (const auto* entry : ordered) {
        const auto& [key, pair] = *entry;
        const event::Envelope& last = slots[pair.last];
        boost::json::object fields;
        fields.reserve(7);
        fields.emplace("round", std::to_string(key.second));
        fields.emplace("node", key.first);
        fields.emplace("at", static_cast<double>(pair.last_ms));
        std::array<std::string, 3> scratch;
        const auto [kind, name, detail] = last.payload.string_members<3>({"kind", "name", "detail"}, scratch);
        fields.emplace("kind", kind.value_or(""));
        fields.emplace("name", name.value_or(""));
        fields.emplace("detail", detail.value_or(""));
        fields.emplace("events", pair.events);
        rows_.emplace_back(std::move(fields));
    }
}

}  // namespace korvalle::payload
