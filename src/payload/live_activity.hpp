// The live activity of a run: one row per (node, round) pair that agents reported turn activity
// for, holding the pair's latest report and how many reports it has had.
#pragma once

#include <boost/json/value.hpp>

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

}  // namespace korvalle::payload
