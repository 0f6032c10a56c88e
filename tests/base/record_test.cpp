// The strict record readers' bounded integers: the readers of text and of trees must agree (the
// texts themselves are pinned by the tests of each reader).
#include "sdk/base/record.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace json = korvalle::json;
namespace record = korvalle::record;

namespace {

// A value tree as the strict reader builds it ("-0" is the double -0.0).
boost::json::value tree(std::string_view text) { return json::Reader(text).read_value(1, 128); }

// The fault's detail of a number or value that is no T, or the number it reads as.
template <class T, class From>
std::string unsigned_text(const From& from) {
    korvalle::Result<T> n = record::to_unsigned<T>(from);
    return n ? std::to_string(*n) : n.error().detail;
}

std::string unsigned_text_of(std::string_view text, bool u32) {
    json::Reader reader(text);
    const json::Number number = reader.read_number();
    const std::string from_text = u32 ? unsigned_text<std::uint32_t>(number) : unsigned_text<std::uint64_t>(number);
    const boost::json::value value = tree(text);
    const std::string from_tree = u32 ? unsigned_text<std::uint32_t>(value) : unsigned_text<std::uint64_t>(value);
    EXPECT_EQ(from_text, from_tree) << text;
    return from_text;
}

}  // namespace

TEST(Record, UnsignedIntegersReadAlikeFromTextAndTree) {
    // Text and tree read the same numbers alike: an integer out of range is an invalid value,
    // any other number an invalid type.
    const std::tuple<const char*, bool, std::string_view> numbers[] = {
        {"4294967295", true, "4294967295"},
        {"4294967296", true, "invalid value: integer `4294967296`, expected u32"},
        {"18446744073709551615", false, "18446744073709551615"},
        {"-1", false, "invalid value: integer `-1`, expected u64"},
        {"1.0", true, "invalid type: floating point `1.0`, expected u32"},
        {"-0", false, "invalid type: floating point `-0.0`, expected u64"},
    };
    for (const auto& [text, u32, expected] : numbers) EXPECT_EQ(unsigned_text_of(text, u32), expected) << text;
    EXPECT_EQ(unsigned_text<std::uint64_t>(boost::json::value("1")), "invalid type: string \"1\", expected u64");
}
