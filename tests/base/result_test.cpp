#include "sdk/base/result.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace korvalle {
namespace {

// Every message with a place is written through place_in; the JSON reader tests pin the texts, this
// the counting across lines.
TEST(Fault, PlaceCountsLinesFromOneAndColumnsInBytes) {
    const struct {
        std::string_view text;
        std::size_t offset;
        TextPlace place;
    } cases[] = {
        {"", 0, {1, 0}},             // the end of an empty text
        {"abc", 0, {1, 1}},          // a byte counts itself
        {"abc", 2, {1, 3}},
        {"abc", 3, {1, 3}},          // the end counts the last line's bytes
        {"abc", 9, {1, 3}},          // past the end, as at the end
        {"a\nb", 1, {1, 2}},         // the line feed belongs to its line
        {"a\nb", 2, {2, 1}},
        {"a\n", 2, {2, 0}},          // the end after a line feed
        {"\xc3\xa9x", 2, {1, 3}},    // bytes, not characters
    };
    for (const auto& c : cases) EXPECT_EQ(place_in(c.text, c.offset), c.place) << c.text << " @" << c.offset;
}

}  // namespace
}  // namespace korvalle
