// The live activity of a run: one row per (node, round) pair that agents reported turn activity
// for, holding the pair's latest report and how many reports it has had.
#include "src/payload/live_activity.hpp"

#include "sdk/base/clock.hpp"
#include "sdk/run/views.hpp"
#include "src/contract/contract.hpp"

#include <algorithm>
#include <array>
#include <map>

namespace korvalle::payload {

namespace {

struct Row {
    std::int64_t at_ms;
    boost::json::object fields;
};

}  // namespace

std::vector<boost::json::value> live_activity(const views::RunView& view) {
    using Key = std::pair<std::string_view, std::uint64_t>;  // node label, round
    std::map<Key, Row> rows;
    std::vector<Key> first_seen;
    for (const auto& envelope : view.envelopes) {
        if (envelope.source != event::EventSource::Morvane || envelope.kind != "turn-activity") continue;
        const auto& node = envelope.labels.node;
        if (!node || !contract::validate_run_id(*node)) continue;
        auto at_ms = clock::parse_rfc3339_ms(envelope.ts);
        if (!at_ms || !envelope.labels.round) continue;

        Key key{*node, *envelope.labels.round};
        std::uint64_t count = 1;
        auto it = rows.find(key);
        if (it == rows.end()) {
            first_seen.push_back(key);
        } else {
            count = it->second.fields.at("events").as_uint64() + 1;
        }
        boost::json::object fields;
        fields.reserve(7);
        fields.emplace("round", std::to_string(key.second));
        fields.emplace("node", *node);
        fields.emplace("at", static_cast<double>(*at_ms));
        std::array<std::string, 3> scratch;
        const auto [kind, name, detail] = envelope.payload.string_members<3>({"kind", "name", "detail"}, scratch);
        fields.emplace("kind", kind.value_or(""));
        fields.emplace("name", name.value_or(""));
        fields.emplace("detail", detail.value_or(""));
        fields.emplace("events", count);
        rows.insert_or_assign(key, Row{*at_ms, std::move(fields)});
    }

    // Rows are placed by the time of the report they hold; equal times keep first-seen order.
    std::vector<Row*> ordered;
    ordered.reserve(first_seen.size());
    for (const auto& key : first_seen) ordered.push_back(&rows.at(key));
    std::stable_sort(ordered.begin(), ordered.end(), [](const Row* a, const Row* b) { return a->at_ms < b->at_ms; });
    std::vector<boost::json::value> out;
    out.reserve(ordered.size());
    for (Row* row : ordered) out.emplace_back(std::move(row->fields));
    return out;
}

}  // namespace korvalle::payload
