// The strict JSON reader and the compact writer.
#include "sdk/json.hpp"

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include <cmath>
#include <limits>

namespace json = korvalle::json;

namespace {

std::string error_of(std::string_view text, int max_depth = 128) {
    auto r = json::parse(text, max_depth);
    EXPECT_FALSE(r.value) << text;
    return r.error;
}

boost::json::value value_of(std::string_view text) {
    auto r = json::parse(text);
    EXPECT_TRUE(r.value) << text << ": " << r.error;
    return r.value ? *r.value : boost::json::value();
}

}  // namespace

TEST(JsonRead, SyntaxMessagesAndLocations) {
    struct Case {
        const char* text;
        const char* error;
    } cases[] = {
        {"", "EOF while parsing a value at line 1 column 0"},
        {"   ", "EOF while parsing a value at line 1 column 3"},
        {"{", "EOF while parsing an object at line 1 column 1"},
        {"[", "EOF while parsing a list at line 1 column 1"},
        {"\"ab", "EOF while parsing a string at line 1 column 3"},
        {"{\"a\" 1}", "expected `:` at line 1 column 6"},
        {"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
        {"[1 2]", "expected `,` or `]` at line 1 column 4"},
        {"{1:2}", "key must be a string at line 1 column 2"},
        {"{\"a\":1,}", "trailing comma at line 1 column 8"},
        {"[1,]", "trailing comma at line 1 column 4"},
        {"[1,", "EOF while parsing a value at line 1 column 3"},
        {"{\"a\":1,", "EOF while parsing a value at line 1 column 7"},
        {"{} {}", "trailing characters at line 1 column 4"},
        {"01", "invalid number at line 1 column 2"},
        {"-", "EOF while parsing a value at line 1 column 1"},
        {"-x", "invalid number at line 1 column 2"},
        {"1.", "EOF while parsing a value at line 1 column 2"},
        {"1.e5", "invalid number at line 1 column 3"},
        {"1e", "EOF while parsing a value at line 1 column 2"},
        {"1e+x", "invalid number at line 1 column 4"},
        {"+1", "expected value at line 1 column 1"},
        {".5", "expected value at line 1 column 1"},
        {"1e400", "number out of range at line 1 column 1"},
        {"-1e400", "number out of range at line 1 column 1"},
        {"\"\\x\"", "invalid escape at line 1 column 3"},
        {"\"\\u12G4\"", "invalid escape at line 1 column 6"},
        {"\"\\uDC00\"", "lone leading surrogate in hex escape at line 1 column 8"},
        {"\"\\uD800\"", "unexpected end of hex escape at line 1 column 8"},
        {"\"\\uD800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 14"},
        {"\"a\tb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
        {"nul", "EOF while parsing a value at line 1 column 3"},
        {"nulL", "expected ident at line 1 column 4"},
        {"tru", "EOF while parsing a value at line 1 column 3"},
        {"NaN", "expected value at line 1 column 1"},
        {"\xEF\xBB\xBF{}", "expected value at line 1 column 1"},
        {"\"\xC0\xAF\"", "invalid unicode code point at line 1 column 2"},
        {"\"\xED\xA0\x80\"", "invalid unicode code point at line 1 column 2"},
        {"{}\n\n x", "trailing characters at line 3 column 2"},
        {"\f{}", "expected value at line 1 column 1"},
    };
    for (const auto& c : cases) EXPECT_EQ(error_of(c.text), c.error) << c.text;
    // NUL bytes are not whitespace and not text outside strings.
    EXPECT_EQ(error_of(std::string("[1]\0", 4)), "trailing characters at line 1 column 4");
    EXPECT_EQ(error_of(std::string("\0", 1)), "expected value at line 1 column 1");
    EXPECT_EQ(error_of(std::string("\"a\0\"", 4)),
              "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3");
}

TEST(JsonRead, NumberKinds) {
    json::Reader r("[0, 18446744073709551615, 18446744073709551616, -9223372036854775808, "
                   "-9223372036854775809, -0, 1.0, 1e3, 2.5E-3, 1e-400, -1e-400]");
    r.begin_array();
    std::vector<json::Number> got;
    while (r.next_element()) got.push_back(r.read_number());
    r.finish();
    using K = json::Number::Kind;
    ASSERT_EQ(got.size(), 11u);
    EXPECT_EQ(got[0].kind, K::U64);
    EXPECT_EQ(got[1].kind, K::U64);
    EXPECT_EQ(got[1].u, std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(got[2].kind, K::F64);
    EXPECT_EQ(got[2].d, 18446744073709551616.0);
    EXPECT_EQ(got[3].kind, K::I64);
    EXPECT_EQ(got[3].i, std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(got[4].kind, K::F64);
    EXPECT_EQ(got[5].kind, K::F64);
    EXPECT_TRUE(std::signbit(got[5].d));
    EXPECT_EQ(got[6].kind, K::F64);
    EXPECT_EQ(got[7].d, 1000.0);
    EXPECT_EQ(got[8].d, 2.5e-3);
    EXPECT_EQ(got[9].d, 0.0);
    EXPECT_TRUE(std::signbit(got[10].d));
}

TEST(JsonRead, DoublesAreCorrectlyRounded) {
    // Inputs near halfway points, where naive digit accumulation is off by one unit.
    for (const char* text : {"9007199254740993.0", "2.2250738585072011e-308", "0.1", "1.7976931348623157e308",
                             "4.9e-324", "7.038531e-26", "8.0e-324", "18446744073709551617",
                             "123456789012345678901234567890e-10"}) {
        auto v = value_of(text);
        EXPECT_EQ(v.as_double(), std::strtod(text, nullptr)) << text;
    }
}

TEST(JsonRead, StringsUnescape) {
    auto v = value_of(R"(["a\"b\\c\/d\b\f\n\r\t", "\u00e9\u20AC\ud83d\ude00", "caf)" "\xC3\xA9" R"("])");
    const auto& a = v.as_array();
    EXPECT_EQ(a[0].as_string(), "a\"b\\c/d\b\f\n\r\t");
    EXPECT_EQ(a[1].as_string(), "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(a[2].as_string(), "caf\xC3\xA9");
    // An escaped NUL is text like any other.
    EXPECT_EQ(value_of(R"("a\u0000b")").as_string(), std::string("a\0b", 3));
}

TEST(JsonRead, RepeatedKeysKeepFirstPlaceAndLastValue) {
    auto v = value_of(R"({"k":1,"a":true,"k":2,"b":null,"k":3})");
    EXPECT_EQ(json::write(v), R"({"k":3,"a":true,"b":null})");
    // Many keys take the hashed path of the object table; the rule must hold there too.
    std::string text = "{";
    for (int i = 0; i < 40; ++i) text += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
    text += "\"k3\":\"last\"}";
    auto big = value_of(text);
    const auto& o = big.as_object();
    EXPECT_EQ(o.size(), 40u);
    EXPECT_EQ(o.begin()[3].key(), "k3");
    EXPECT_EQ(o.begin()[3].value().as_string(), "last");
}

TEST(JsonRead, KeptDepthIsLimitedSkippedDepthIsNot) {
    auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    EXPECT_TRUE(json::parse(nested(128)).value);
    EXPECT_EQ(error_of(nested(129)), "recursion limit exceeded at line 1 column 129");
    EXPECT_TRUE(json::parse(nested(127), 127).value);
    EXPECT_FALSE(json::parse(nested(128), 127).value);

    // Skipping has no limit and no recursion.
    std::string deep = "{\"x\":" + nested(100000) + ",\"y\":";
    for (int i = 0; i < 100000; ++i) deep += "{\"a\":";
    deep += "1";
    json::Reader r(deep);
    r.begin_object();
    ASSERT_EQ(r.next_key(), "x");
    r.skip_value();
    ASSERT_EQ(r.next_key(), "y");
    try {
        r.skip_value();  // the nested objects never close
        FAIL();
    } catch (const json::ReadError& e) {
        EXPECT_EQ(e.message(), "EOF while parsing an object");
    }

    std::string closed = std::string(100000, '[') + "1" + std::string(100000, ']');
    json::Reader s(closed);
    s.skip_value();
    s.finish();
}

TEST(JsonRead, SkipChecksWellFormedness) {
    for (const char* bad : {"[1,]", "{\"a\" 1}", "[01]", "\"\\q\"", "[1 2]", "{\"a\":1,}", "[\"\x01\"]", "nul"}) {
        json::Reader r(bad);
        EXPECT_THROW(r.skip_value(), json::ReadError) << bad;
    }
    // A skipped value is checked for grammar only: its numbers are not converted.
    json::Reader r("[1e400, \"\\uDC00\", {\"a\":[{}, []]}]");
    r.skip_value();
    r.finish();
}

TEST(JsonRead, PullInterfaceTracksCommasAcrossNesting) {
    json::Reader r(R"({"a":{"b":[1,{"c":2}],"d":[]},"e":[[],[3]]})");
    r.begin_object();
    EXPECT_EQ(r.next_key(), "a");
    r.begin_object();
    EXPECT_EQ(r.next_key(), "b");
    r.begin_array();
    ASSERT_TRUE(r.next_element());
    EXPECT_EQ(r.read_number().u, 1u);
    ASSERT_TRUE(r.next_element());
    r.begin_object();
    EXPECT_EQ(r.next_key(), "c");
    EXPECT_EQ(r.read_number().u, 2u);
    EXPECT_EQ(r.next_key(), std::nullopt);
    EXPECT_FALSE(r.next_element());
    EXPECT_EQ(r.next_key(), "d");
    r.begin_array();
    EXPECT_FALSE(r.next_element());
    EXPECT_EQ(r.next_key(), std::nullopt);
    EXPECT_EQ(r.next_key(), "e");
    r.skip_value();
    EXPECT_EQ(r.next_key(), std::nullopt);
    r.finish();
}

TEST(JsonRead, EndArrayRefusesFurtherElements) {
    auto end_after_two = [](std::string_view text) -> std::string {
        json::Reader r(text);
        try {
            r.begin_array();
            for (int i = 0; i < 2; ++i) {
                r.next_element();
                r.read_number();
            }
            r.end_array();
            r.finish();
            return "ok";
        } catch (const json::ReadError& e) {
            return e.message();
        }
    };
    EXPECT_EQ(end_after_two("[1,2]"), "ok");
    EXPECT_EQ(end_after_two("[1,2,3]"), "trailing characters");
    EXPECT_EQ(end_after_two("[1,2,]"), "trailing comma");
    EXPECT_EQ(end_after_two("[1,2"), "EOF while parsing a list");
}

TEST(JsonRead, InvalidTypeDescriptions) {
    auto describe = [](std::string_view text) {
        json::Reader r(text);
        return r.unexpected();
    };
    EXPECT_EQ(describe("null"), "null");
    EXPECT_EQ(describe("true"), "boolean `true`");
    EXPECT_EQ(describe("5"), "integer `5`");
    EXPECT_EQ(describe("-1"), "integer `-1`");
    EXPECT_EQ(describe("1e3"), "floating point `1000.0`");
    EXPECT_EQ(describe("-0"), "floating point `-0.0`");
    EXPECT_EQ(describe("\"a\\\"b\\n\""), "string \"a\\\"b\\n\"");
    EXPECT_EQ(describe("[1]"), "sequence");
    EXPECT_EQ(describe("{}"), "map");
    json::Reader r("  \"7\"");
    try {
        r.read_number();
        FAIL();
    } catch (const json::ReadError& e) {
        EXPECT_EQ(std::string(e.what()) + json::location_suffix(r.text(), e.offset()),
                  "invalid type: string \"7\", expected a number at line 1 column 5");
    }
}

TEST(JsonWrite, DoublesInTheRustForm) {
    EXPECT_EQ(json::format_double(2.0), "2.0");
    EXPECT_EQ(json::format_double(0.0001), "0.0001");
    EXPECT_EQ(json::format_double(0.00001), "0.00001");
    EXPECT_EQ(json::format_double(0.000001), "1e-6");
    EXPECT_EQ(json::format_double(1000.0), "1000.0");
    EXPECT_EQ(json::format_double(1e15), "1000000000000000.0");
    EXPECT_EQ(json::format_double(1e16), "1e16");
    EXPECT_EQ(json::format_double(1.5e-7), "1.5e-7");
    EXPECT_EQ(json::format_double(1.25e20), "1.25e20");
    EXPECT_EQ(json::format_double(123.456), "123.456");
    EXPECT_EQ(json::format_double(0.1), "0.1");
    EXPECT_EQ(json::format_double(-0.0), "-0.0");
    EXPECT_EQ(json::format_double(0.0), "0.0");
    EXPECT_EQ(json::format_double(-2.5), "-2.5");
    EXPECT_EQ(json::format_double(5e-324), "5e-324");
    EXPECT_EQ(json::format_double(1.7976931348623157e308), "1.7976931348623157e308");
    EXPECT_EQ(json::format_double(std::numeric_limits<double>::infinity()), "null");
    EXPECT_EQ(json::format_double(std::nan("")), "null");
}

TEST(JsonWrite, CompactWithSerdeEscapes) {
    boost::json::object o;
    o["s"] = "q\"b\\n\nr\rt\tb\bf\f\x01\x1f\x7f\xC3\xA9/";
    o["i"] = -5;
    o["u"] = std::numeric_limits<std::uint64_t>::max();
    o["d"] = 2.0;
    o["a"] = boost::json::array{nullptr, true, false, boost::json::object{}, boost::json::array{}};
    EXPECT_EQ(json::write(o),
              "{\"s\":\"q\\\"b\\\\n\\nr\\rt\\tb\\bf\\f\\u0001\\u001f\x7f\xC3\xA9/\",\"i\":-5,"
              "\"u\":18446744073709551615,\"d\":2.0,\"a\":[null,true,false,{},[]]}");
}

TEST(JsonWrite, RoundTripsThroughTheReader) {
    const char* text = R"({"a":[1,-2,3.5,1e16,1e-7,"x\u0001"],"b":{"c":null,"d":true},"e":-0.0})";
    auto v = value_of(text);
    EXPECT_EQ(json::write(v), R"({"a":[1,-2,3.5,1e16,1e-7,"x\u0001"],"b":{"c":null,"d":true},"e":-0.0})");
}
