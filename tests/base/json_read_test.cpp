// The strict JSON reader: syntax messages and their places, number kinds, strings, the nesting
// limit, the pull interface, and valid() against parse().
#include "sdk/base/json_read.hpp"

#include "sdk/base/json_write.hpp"

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <tuple>
#include <utility>

namespace json = korvalle::json;

namespace {

std::string error_of(std::string_view text) {
    auto r = json::parse(text);
    EXPECT_FALSE(r.ok()) << text;
    return r.ok() ? std::string() : message(r.error());
}

boost::json::value value_of(std::string_view text) {
    auto r = json::parse(text);
    EXPECT_TRUE(r.ok()) << text << ": " << message(r.error());
    return r.ok() ? *r : boost::json::value();
}

std::string nested(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

// The message of the fault a step throws, without its place, or "ok".
template <class Step>
std::string thrown(Step step) {
    try {
        step();
        return "ok";
    } catch (const korvalle::ReadingFailed& failure) {
        return failure.fault().detail;
    }
}

}  // namespace

TEST(JsonRead, SyntaxMessagesAndLocations) {
    const std::string control = "control character (\\u0000-\\u001F) found while parsing a string";
    const std::pair<std::string, std::string> cases[] = {
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
        {"{\"a\":1,", "EOF while parsing a value at line 1 column 7"},
        {"{} {}", "trailing characters at line 1 column 4"},
        {"{}\n\n x", "trailing characters at line 3 column 2"},
        {"01", "invalid number at line 1 column 2"},
        {"-", "EOF while parsing a value at line 1 column 1"},
        {"-x", "invalid number at line 1 column 2"},
        {"1.", "EOF while parsing a value at line 1 column 2"},
        {"1.e5", "invalid number at line 1 column 3"},
        {"1e", "EOF while parsing a value at line 1 column 2"},
        {"1e+x", "invalid number at line 1 column 4"},
        {"+1", "expected value at line 1 column 1"},
        {"1e400", "number out of range at line 1 column 1"},
        {"\"\\x\"", "invalid escape at line 1 column 3"},
        {"\"\\u12G4\"", "invalid escape at line 1 column 6"},
        {"\"\\uDC00\"", "lone leading surrogate in hex escape at line 1 column 8"},
        {"\"\\uD800\"", "unexpected end of hex escape at line 1 column 8"},
        {"\"\\uD800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 14"},
        {"\"a\tb\"", control + " at line 1 column 3"},
        {"nul", "EOF while parsing a value at line 1 column 3"},
        {"nulL", "expected ident at line 1 column 4"},
        // A byte-order mark, a form feed and a NUL are not whitespace; bytes that are not
        // UTF-8 (an overlong form, an encoded surrogate) are refused inside strings.
        {"\xEF\xBB\xBF{}", "expected value at line 1 column 1"},
        {"\f{}", "expected value at line 1 column 1"},
        {std::string("\0", 1), "expected value at line 1 column 1"},
        {std::string("[1]\0", 4), "trailing characters at line 1 column 4"},
        {std::string("\"a\0\"", 4), control + " at line 1 column 3"},
        {"\"\xC0\xAF\"", "invalid unicode code point at line 1 column 2"},
        {"\"\xED\xA0\x80\"", "invalid unicode code point at line 1 column 2"},
    };
    for (const auto& [text, error] : cases) EXPECT_EQ(error_of(text), error) << text;
}

TEST(JsonRead, NumberKindsAndDescriptions) {
    // u64 or i64 when the integer fits, else a double ("-0" included).
    using K = json::Number::Kind;
    const std::tuple<const char*, K, double> numbers[] = {
        {"0", K::U64, 0.0},
        {"18446744073709551615", K::U64, 18446744073709551615.0},
        {"18446744073709551616", K::F64, 18446744073709551616.0},
        {"-9223372036854775808", K::I64, -9223372036854775808.0},
        {"-9223372036854775809", K::F64, -9223372036854775808.0},
        {"-0", K::F64, -0.0},
        {"1.0", K::F64, 1.0},
        {"2.5E-3", K::F64, 2.5e-3},
        {"-1e-400", K::F64, -0.0},
    };
    for (const auto& [text, kind, value] : numbers) {
        json::Number n = json::Reader(text).read_number();
        double read = n.kind == K::U64 ? static_cast<double>(n.u) : n.kind == K::I64 ? static_cast<double>(n.i) : n.d;
        EXPECT_EQ(n.kind, kind) << text;
        EXPECT_EQ(read, value) << text;
        EXPECT_EQ(std::signbit(read), std::signbit(value)) << text;
    }
    EXPECT_EQ(json::Reader("18446744073709551615").read_number().u, std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(json::Reader("-9223372036854775808").read_number().i, std::numeric_limits<std::int64_t>::min());

    // The descriptions "invalid type" messages use.
    const std::pair<const char*, const char*> described[] = {
        {"null", "null"}, {"true", "boolean `true`"}, {"5", "integer `5`"}, {"-1", "integer `-1`"},
        {"1e3", "floating point `1000.0`"}, {"-0", "floating point `-0.0`"},
        {"\"a\\\"b\\n\"", "string \"a\\\"b\\n\""}, {"[1]", "sequence"}, {"{}", "map"},
    };
    for (const auto& [text, description] : described) EXPECT_EQ(json::Reader(text).unexpected(), description);
    json::Reader r("  \"7\"");
    try {
        r.read_number();
        FAIL();
    } catch (const korvalle::ReadingFailed& failure) {
        EXPECT_EQ(failure.fault().detail, "invalid type: string \"7\", expected a number");
        EXPECT_EQ(korvalle::place_in(r.text(), failure.offset()), (korvalle::TextPlace{1, 5}));
    }
}

TEST(JsonRead, DoublesAreCorrectlyRounded) {
    // Inputs near halfway points, where naive digit accumulation is off by one unit.
    for (const char* text : {"9007199254740993.0", "2.2250738585072011e-308", "0.1", "1.7976931348623157e308",
                             "4.9e-324", "7.038531e-26", "8.0e-324", "18446744073709551617",
                             "123456789012345678901234567890e-10"}) {
        EXPECT_EQ(value_of(text).as_double(), std::strtod(text, nullptr)) << text;
    }
}

TEST(JsonRead, StringsUnescape) {
    auto v = value_of(R"(["a\"b\\c\/d\b\f\n\r\t", "\u00e9\u20AC\ud83d\ude00", "caf)" "\xC3\xA9" R"(", "a\u0000b"])");
    const auto& a = v.as_array();
    EXPECT_EQ(a[0].as_string(), "a\"b\\c/d\b\f\n\r\t");
    EXPECT_EQ(a[1].as_string(), "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(a[2].as_string(), "caf\xC3\xA9");
    EXPECT_EQ(a[3].as_string(), std::string("a\0b", 3));  // an escaped NUL is text like any other
}

TEST(JsonRead, RepeatedKeysKeepFirstPlaceAndLastValue) {
    EXPECT_EQ(json::write(value_of(R"({"k":1,"a":true,"k":2,"b":null,"k":3})")), R"({"k":3,"a":true,"b":null})");
    // Many keys take the hashed path of the object table; the rule must hold there too.
    std::string text = "{";
    for (int i = 0; i < 40; ++i) text += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
    auto big = value_of(text + "\"k3\":\"last\"}");
    const auto& o = big.as_object();
    EXPECT_EQ(o.size(), 40u);
    EXPECT_EQ(o.begin()[3].key(), "k3");
    EXPECT_EQ(o.begin()[3].value().as_string(), "last");
}

TEST(JsonRead, KeptDepthIsLimitedSkippedDepthIsNot) {
    EXPECT_TRUE(json::parse(nested(128)).ok());
    EXPECT_EQ(error_of(nested(129)), "recursion limit exceeded at line 1 column 129");
    EXPECT_TRUE(json::parse(nested(127), 127).ok());
    EXPECT_FALSE(json::parse(nested(128), 127).ok());

    // Skipping has no limit and no recursion, for arrays and objects alike.
    std::string objects = "{\"x\":" + nested(100000) + ",\"y\":";
    for (int i = 0; i < 100000; ++i) objects += "{\"a\":";
    objects += "1";
    json::Reader r(objects);  // the reader views the text: it must outlive the reader
    r.begin_object();
    ASSERT_EQ(r.next_key(), "x");
    r.skip_value();
    ASSERT_EQ(r.next_key(), "y");
    EXPECT_EQ(thrown([&] { r.skip_value(); }), "EOF while parsing an object");  // never closed

    const std::string closed = std::string(100000, '[') + "1" + std::string(100000, ']');
    json::Reader s(closed);
    s.skip_value();
    s.finish();
}

TEST(JsonRead, SkipChecksGrammarButNotValues) {
    for (const char* bad : {"[1,]", "{\"a\" 1}", "[01]", "\"\\q\"", "[1 2]", "{\"a\":1,}", "[\"\x01\"]", "nul"}) {
        json::Reader r(bad);
        EXPECT_THROW(r.skip_value(), korvalle::ReadingFailed) << bad;
    }
    // Numbers and escapes of a skipped value are not converted.
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
    const std::pair<const char*, const char*> cases[] = {
        {"[1,2]", "ok"}, {"[1,2,3]", "trailing characters"}, {"[1,2,]", "trailing comma"},
        {"[1,2", "EOF while parsing a list"}};
    for (const auto& [text, outcome] : cases) {
        json::Reader r(text);
        EXPECT_EQ(thrown([&] {
                      r.begin_array();
                      for (int i = 0; i < 2; ++i) {
                          r.next_element();
                          r.read_number();
                      }
                      r.end_array();
                      r.finish();
                  }),
                  outcome)
            << text;
    }
}

// valid() walks without building: it must accept exactly what parse() accepts.
TEST(JsonValid, AgreesWithParse) {
    const std::string texts[] = {
        R"({"a":[1,2.5,-0,1e16,"x"],"b":{"c":null,"d":true,"e":false}})", "[]", "{}", "\"s\"", "12", "null",
        R"("\ud83d\ude00")", R"("\ud800")", R"("\udc00")", R"("\ud800\u0041")", R"("\x")", "\"a\x01\"",
        "\"\xC3\"", "\"caf\xC3\xA9\"", "1e400", "-1e400", "1e-400", "01", "1.", "-", "[1,]", R"({"a":1,})",
        R"({"a" 1})", "[1 2]", "[1] x", "", " ", "tru", nested(5), nested(6), "[" + nested(5), R"({"k":1,"k":2})",
    };
    for (const std::string& text : texts) {
        for (int depth : {5, 128})
            EXPECT_EQ(json::valid(text, depth), json::parse(text, depth).ok()) << text << " depth " << depth;
    }
}
