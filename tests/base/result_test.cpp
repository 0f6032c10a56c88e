#include "sdk/base/result.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace korvalle {
namespace {

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

TEST(Fault, MessageAddsThePlaceWhenThereIsOne) {
    EXPECT_EQ(message(Fault{.kind = Fault::Kind::Syntax, .detail = "expected value", .place = TextPlace{3, 7}}),
              "expected value at line 3 column 7");
    EXPECT_EQ(message(Fault{.kind = Fault::Kind::Refused, .detail = "must not be empty", .place = {}}),
              "must not be empty");
}

TEST(Result, HoldsTheValueOrTheFailure) {
    const Result<int> read = 7;
    ASSERT_TRUE(read.ok());
    EXPECT_EQ(*read, 7);
    const Result<int> refused = Fault{.kind = Fault::Kind::Data, .detail = "no", .place = {}};
    EXPECT_FALSE(refused);
    EXPECT_EQ(refused.error().detail, "no");
    EXPECT_EQ(read, Result<int>(7));
    EXPECT_NE(read, refused);

    const Result<void> passed;
    const Result<void> failed = Fault{.kind = Fault::Kind::Refused, .detail = "no", .place = {}};
    EXPECT_TRUE(passed);
    EXPECT_FALSE(failed);
    EXPECT_EQ(failed.error().kind, Fault::Kind::Refused);
}

}  // namespace
}  // namespace korvalle
