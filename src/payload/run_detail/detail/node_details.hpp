// The run detail's node details over the journal index that the document builds once.
#pragma once

#include "sdk/base/json_write.hpp"

namespace korvalle::views {
struct RunView;
}

namespace korvalle::payload::detail {

class JournalIndex;

// Writes the value of the "node_details" member (payload::node_details).
void node_details(json::Writer& out, const views::RunView& view, const JournalIndex& index);

}  // namespace korvalle::payload::detail
