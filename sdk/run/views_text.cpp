// Journal timestamps and the planner-context section of task texts.
#include "sdk/base/clock.hpp"
#include "sdk/base/text.hpp"
#include "sdk/run/views.hpp"

namespace korvalle::views {

std::optional<std::uint64_t> parse_timestamp_ms(std::string_view text) {
    const std::optional<std::int64_t> ms = clock::parse_journal_ts(text);
    if (!ms || *ms < 0) return std::nullopt;
    return static_cast<std::uint64_t>(*ms);
}

std::string with_planner_context(std::string_view task, const std::optional<std::string>& context) {
    if (!context) return std::string(task);
    const std::string_view note = text::trim(*context);
    if (note.empty()) return std::string(task);
    // trim() returns a view into its argument, so its end is where trailing white space starts.
    const std::string_view trimmed = text::trim(task);
    const std::string_view head =
        trimmed.empty() ? std::string_view() : task.substr(0, trimmed.data() + trimmed.size() - task.data());
    std::string out;
    out.reserve(head.size() + note.size() + 96);
    out += head;
    out += "\n\n## Planner context\nThis reports observed state and adds no acceptance criteria.\n\n";
    out += note;
    out += '\n';
    return out;
}

}  // namespace korvalle::views
