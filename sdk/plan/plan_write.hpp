// Writing a plan's nodes back as JSON: a node (with its steps and resume point) as a JSON
// object value.
#pragma once

#include "sdk/plan/plan.hpp"

#include <boost/json/object.hpp>

namespace korvalle::plan {

// Keys come in declared order; defaults and absent optional fields are left out and null is
// never written, so node_from_value reads the object back into an equal node.
boost::json::object node_to_value(const Node& node);
boost::json::object step_to_value(const Step& step);

}  // namespace korvalle::plan
