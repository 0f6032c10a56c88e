// The query records the store's operations take. Reading them from a request lives with the
// routes; the store only receives records that have passed those rules.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace korvalle::store {

// The run list's query.
struct RunsQuery {
    std::optional<std::string> cursor;  // a run id that passed the identifier rule
    std::uint64_t limit = 50;           // 1 to 50
    bool include_settled = false;
};

inline constexpr std::uint64_t max_page = 50;

// The change feed's query.
struct EventsQuery {
    std::optional<std::string> run_id;  // the watched run, an id that passed the identifier rule
    std::optional<std::uint64_t> after;  // the resume point: the id of the stream's first frame
};

// The timeline's scope: the whole run, or the one node named (an id that passed the identifier
// rule; it need not be a node of the run).
struct TimelineScope {
    std::optional<std::string> node;  // none: the whole run
};

}  // namespace korvalle::store
