// Deep equality of JSON values.
#pragma once

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

namespace korvalle::json {

// Equality as Boost.JSON's operator== defines it (numbers of the integer kinds compare by value,
// a double only equals a double), without its copies: Boost 1.81 compares two objects by
// copying every member of the left one into its storage, inside a noexcept function. Copies
// of a view's values are refused by its sealed arena, and any failed allocation there ends
// the process.
bool equal(const boost::json::value& a, const boost::json::value& b) noexcept;
bool equal(const boost::json::object& a, const boost::json::object& b) noexcept;

}  // namespace korvalle::json
