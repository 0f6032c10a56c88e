// Deep equality of JSON values, member by member, without copies.
#include "sdk/base/json_equal.hpp"

namespace korvalle::json {

bool equal(const boost::json::object& a, const boost::json::object& b) noexcept {
    if (a.size() != b.size()) return false;
    for (const auto& member : a) {
        const boost::json::value* other = b.if_contains(member.key());
        if (other == nullptr || !equal(member.value(), *other)) return false;
    }
    return true;
}

bool equal(const boost::json::value& a, const boost::json::value& b) noexcept {
    if (a.is_object()) return b.is_object() && equal(a.get_object(), b.get_object());
    if (!a.is_array()) return a == b;  // scalars and strings compare without copying
    if (!b.is_array() || a.get_array().size() != b.get_array().size()) return false;
    const boost::json::array& left = a.get_array();
    const boost::json::array& right = b.get_array();
    for (std::size_t i = 0; i < left.size(); ++i) {
        if (!equal(left[i], right[i])) return false;
    }
    return true;
}

}  // namespace korvalle::json
