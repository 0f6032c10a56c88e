// The run detail's "node_details" member.
#pragma once

#include <string>

namespace korvalle::views {
struct RunView;
}

namespace korvalle::payload {

// The text of the "node_details" member: per node with a branch or current-round
// version-control or artifact activity, its checks, gate verdict, verification records and
// publication.
std::string node_details(const views::RunView& view);

}  // namespace korvalle::payload
