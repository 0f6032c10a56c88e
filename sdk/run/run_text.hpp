// Texts of a run read or shown as the pipeline tool writes them: journal timestamps, and the
// planner-context section of task texts.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvalle::views {

// Exactly "YYYY-MM-DDTHH:MM:SS.mmmZ" (24 bytes, UTC), not before the epoch; else none.
std::optional<std::uint64_t> parse_timestamp_ms(std::string_view text);

// task with a "## Planner context" section holding context appended; task unchanged when the
// context is absent or only white space.
std::string with_planner_context(std::string_view task, const std::optional<std::string>& context);
// The same text as the parts that make it up, one after another, viewing task, context and
// constant text: a writer that copies the text anyway need not build it first.
std::array<std::string_view, 4> planner_context_parts(std::string_view task, const std::optional<std::string>& context);

}  // namespace korvalle::views
