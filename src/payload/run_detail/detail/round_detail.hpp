// The run detail's round objects over the journal index that the document builds once.
#pragma once

#include "sdk/base/file_identity.hpp"
#include "sdk/base/json_write.hpp"

#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>

#include <cstdint>
#include <functional>
#include <string_view>

namespace korvalle::plan {
struct Plan;
}

namespace korvalle::views {
struct RunView;
}

namespace korvalle::payload::detail {

class JournalIndex;

// Tables of node ids, made for every round and holding thousands of ids in a large plan: kept
// flat, in one allocation, rather than in one allocation per id.
using IdSet = boost::unordered_flat_set<std::string_view, std::hash<std::string_view>>;
template <class Value>
using IdMap = boost::unordered_flat_map<std::string_view, Value, std::hash<std::string_view>>;

// Display words of node statuses, by node id, in no order. The ids are views into texts that
// outlive the table (the view's graph, a round's result file).
struct StatusWords : IdMap<std::string_view> {
    using IdMap<std::string_view>::IdMap;
};

// The words of the derived statuses: the same for every round of one document, so computed once.
StatusWords derived_status_words(const views::RunView& view);

// Writes one round's object; writes nothing and returns false when the round's plan cannot be had.
// The plan is read into `plan`, over the one it held: the rounds of one document reuse the room
// of one plan's texts and lists instead of allocating and freeing every plan's anew. Every round
// file it reads or looks for is noted in `read`.
bool write_round_detail(json::Writer& out, const views::RunView& view, std::uint64_t round, const JournalIndex& index,
                        const StatusWords& derived, plan::Plan& plan, files::SeenFiles& read);

}  // namespace korvalle::payload::detail
