// The strict record readers' texts: each is pinned here, where it is composed.
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

TEST(Record, Texts) {
    constexpr std::string_view one[] = {"a"};
    constexpr std::string_view two[] = {"a", "b"};
    constexpr std::string_view three[] = {"a", "b", "c"};
    const std::pair<std::string, std::string_view> texts[] = {
        {record::invalid_type("map", "a string"), "invalid type: map, expected a string"},
        {record::invalid_value("integer `-1`", "u32"), "invalid value: integer `-1`, expected u32"},
        {record::invalid_length(2, "struct X with 3 elements"), "invalid length 2, expected struct X with 3 elements"},
        {record::missing_field("id"), "missing field `id`"},
        {record::duplicate_field("id"), "duplicate field `id`"},
        {record::unknown_field("x", one), "unknown field `x`, expected `a`"},
        {record::unknown_field("x", two), "unknown field `x`, expected `a` or `b`"},
        {record::unknown_variant("x", three), "unknown variant `x`, expected one of `a`, `b`, `c`"},
        {record::elements(1), "1 element"},
        {record::elements(23), "23 elements"},
    };
    for (const auto& [text, expected] : texts) EXPECT_EQ(text, expected);
}

TEST(Record, DescribedValuesAndUnsignedIntegers) {
    const std::pair<const char*, std::string_view> described[] = {
        {"null", "null"}, {"true", "boolean `true`"}, {"5", "integer `5`"}, {"-1", "integer `-1`"},
        {"18446744073709551615", "integer `18446744073709551615`"}, {"1.5", "floating point `1.5`"},
        {"\"a\\n\"", "string \"a\\n\""}, {"[1]", "sequence"}, {"{}", "map"},
    };
    for (const auto& [text, description] : described) {
        EXPECT_EQ(record::describe(tree(text)), description) << text;
    }

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
