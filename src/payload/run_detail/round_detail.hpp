// One round of a run as the run detail shows it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace korvalle::views {
struct RunView;
}

namespace korvalle::payload {

// The text of one round's object, or none when the round's plan cannot be had: the view's
// replayed plan for the current round, the round's "plan.json" for any other.
std::optional<std::string> round_detail(const views::RunView& view, std::uint64_t round);

}  // namespace korvalle::payload
