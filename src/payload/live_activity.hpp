// The live activity of a run: one row per (node, round) pair that agents reported turn activity
// for, holding the pair's latest report and how many reports it has had.
#pragma once

#include "sdk/run/envelope_list.hpp"

#include <boost/json/value.hpp>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string_view>
#include <utility>
#include <vector>

namespace korvalle::views {
struct RunView;
}

namespace korvalle::payload {

// One row per (node, round) pair of the run's agent "turn-activity" envelopes whose node label
// passes the identifier rule, whose round label is set and whose time reads as RFC 3339:
// {"round" (decimal text), "node", "at" (ms as a double), "kind", "name", "detail" (payload
// texts, "" when not a string), "events" (the pair's count so far)} from the pair's last
// envelope in journal order, rows ordered by that envelope's time, then by first appearance.
// Reads only the view's envelopes.
std::vector<boost::json::value> live_activity(const views::RunView& view);

// The live activity of a view, kept in a form that a view read on from it carries over the
// envelopes read since, without walking the earlier ones again: per pair, its count and its first
// and last envelope (as slots of the envelope list), none of which depends on the order the
// envelopes are met in.
class LiveActivity {
public:
    // Of every envelope of the view.
    explicit LiveActivity(const views::RunView& view);
    // base's, carried over the envelopes of view in the slots base did not count; only for a
    // view that base carries_to.
    LiveActivity(const LiveActivity& base, const views::RunView& view);

    // Whether view holds the envelopes this counted, in the same slots.
    bool carries_to(const views::RunView& view) const;
    // The rows of live_activity.
    const std::vector<boost::json::value>& rows() const { return rows_; }
    // About the bytes it holds.
    std::uint64_t held_bytes() const;

private:
    struct Pair {
        std::uint64_t events = 0;
        std::uint32_t first = 0;  // slots
        std::uint32_t last = 0;
        std::int64_t last_ms = 0;
    };
    // Counts the envelopes in the slots from `from` on.
    void count(const views::EnvelopeList& envelopes, std::size_t from);
    void write_rows(const views::EnvelopeList& envelopes);

    // Keyed by views of the node labels: carried only to views that hold the same envelopes.
    std::map<std::pair<std::string_view, std::uint64_t>, Pair> pairs_;
    views::EnvelopeList::Lineage lineage_;
    std::size_t counted_ = 0;
    std::vector<boost::json::value> rows_;
};

}  // namespace korvalle::payload
