// Deep equality of JSON values: Boost.JSON's meaning of equal, reached without copies, so that
// values in a sealed arena compare.
#include "sdk/base/json_equal.hpp"

#include "sdk/base/arena.hpp"
#include "sdk/base/json_read.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace korvalle::json {
namespace {

boost::json::value read_into(Arena& arena, std::string_view text) {
    Reader reader(text);
    reader.set_storage(arena.storage());
    return reader.read_value(1, 128);
}

TEST(JsonEqual, AsBoostDefinesItWithoutCopying) {
    Arena arena;
    const boost::json::value a = read_into(arena, R"({"k":[1,{"x":null}],"b":true,"s":"t"})");
    const boost::json::value b = read_into(arena, R"({"s":"t","b":true,"k":[1,{"x":null}]})");
    arena.seal();  // a copy made now throws
    EXPECT_TRUE(equal(a, b));
    EXPECT_TRUE(equal(a.get_object(), b.get_object()));

    // The integer kinds compare by value; a double equals only a double.
    EXPECT_TRUE(equal(boost::json::value(std::int64_t{5}), boost::json::value(std::uint64_t{5})));
    EXPECT_FALSE(equal(boost::json::value(5), boost::json::value(5.0)));

    const std::pair<std::string_view, std::string_view> unequal[] = {
        {R"({"a":1})", R"({"a":1,"b":2})"}, {R"({"a":1})", R"({"b":1})"}, {"[1,2]", "[2,1]"},
        {"[1]", "[1,1]"}, {"[]", "{}"}, {R"({"a":[{}]})", R"({"a":[[]]})"}, {"null", "false"},
    };
    for (const auto& [left, right] : unequal) {
        Arena scratch;
        EXPECT_FALSE(equal(read_into(scratch, left), read_into(scratch, right))) << left << " " << right;
    }
}

}  // namespace
}  // namespace korvalle::json
