// Members of boost::json objects, read by their kind.
#pragma once

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <optional>
#include <string_view>

namespace korvalle::json {

// The member key of an object when it is a string; none when absent or of another kind. The
// text views the object's string.
inline std::optional<std::string_view> string_member(const boost::json::object& object, std::string_view key) {
    const boost::json::value* value = object.if_contains(key);
    if (!value || !value->is_string()) return std::nullopt;
    return std::string_view(value->get_string());
}

}  // namespace korvalle::json
