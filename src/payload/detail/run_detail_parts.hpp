// The run detail's members over the indexes that the document builds once.
#pragma once

#include "src/payload/detail/journal_index.hpp"

#include <boost/json/object.hpp>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace korvalle::views {
struct RunView;
}

namespace korvalle::payload::detail {

// Display words of the derived statuses, by node id in byte order. The same for every round of
// one document, so it is computed once.
using StatusWords = std::map<std::string, std::string_view>;
StatusWords derived_status_words(const views::RunView& view);

boost::json::object node_details(const views::RunView& view, const JournalIndex& index);

std::optional<boost::json::object> round_detail(const views::RunView& view, std::uint64_t round,
                                                const JournalIndex& index, const StatusWords& derived);

}  // namespace korvalle::payload::detail
