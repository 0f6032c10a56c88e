// Journal timestamps and the planner-context section of task texts.
#include "sdk/run/run_text.hpp"

#include "sdk/base/clock.hpp"
#include "sdk/base/text.hpp"

namespace korvalle::views {

std::optional<std::uint64_t> parse_timestamp_ms(std::string_view text) {
    const std::optional<std::int64_t> ms = clock::parse_journal_ts(text);
    if (!ms || *ms < 0) return std::nullopt;
    return static_cast<std::uint64_t>(*ms);
}

std::array<std::string_view, 4> planner_context_parts(std::string_view task,
                                                      const std::optional<std::string>& context) {
    const std::string_view note = context ? text::trim(*context) : std::string_view();
    if (note.empty()) return {task, {}, {}, {}};
    // trim() returns a view into its argument, so its end is where trailing white space starts.
    const std::string_view trimmed = text::trim(task);
    const std::string_view head =
        trimmed.empty() ? std::string_view() : task.substr(0, trimmed.data() + trimmed.size() - task.data());
    return {head, "\n\n## Planner context\nThis reports observed state and adds no acceptance criteria.\n\n", note,
            "\n"};
}

std::string with_planner_context(std::string_view task, const std::optional<std::string>& context) {
    const auto parts = planner_context_parts(task, context);
    std::string out;
    out.reserve(parts[0].size() + parts[1].size() + parts[2].size() + parts[3].size());
    for (std::string_view part : parts) out += part;
    return out;
}

}  // namespace korvalle::views
