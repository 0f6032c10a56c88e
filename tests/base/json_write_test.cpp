// The compact writer, of trees and streamed: the number forms, escapes at every place of a text,
// and the streaming writer against the tree writer.
#include "sdk/base/json_write.hpp"

#include "sdk/base/json_read.hpp"

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include <array>
#include <cmath>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace json = korvalle::json;

namespace {

boost::json::value value_of(std::string_view text) {
    auto r = json::parse(text);
    EXPECT_TRUE(r.ok()) << text << ": " << message(r.error());
    return r.ok() ? *r : boost::json::value();
}

// A text as a byte-by-byte escaper writes it, quotes included.
std::string escaped(std::string_view s) {
    std::string out = "\"";
    for (char c : s) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '"') out += "\\\"";
        else if (c == '\\') out += "\\\\";
        else if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else if (c == '\t') out += "\\t";
        else if (c == '\b') out += "\\b";
        else if (c == '\f') out += "\\f";
        else if (b < 0x20) {
            static constexpr char hex[] = "0123456789abcdef";
            out += "\\u00";
            out += hex[b >> 4];
            out += hex[b & 0xF];
        }
        else out += c;
    }
    return out + "\"";
}

// A text through every way the streaming writer takes one: as a key, a value, and the key or
// the value of a member beside keys and values of other lengths. The text is read from a heap
// block of its exact size, so that the address sanitizer catches a read past its end.
std::string streamed(const std::string& whole) {
    const std::vector<char> bytes(whole.begin(), whole.end());
    const std::string_view text(bytes.data(), bytes.size());
    std::string out;
    json::Writer writer(out);
    writer.begin_object();
    writer.member(text, text);
    writer.member("k", text);
    writer.member(text, std::string(40, 'v'));
    writer.member(text, -7);
    writer.member(text, 0.5);
    writer.member(text, nullptr);
    writer.key(text);
    writer.value(text);
    writer.end_object();
    return out;
}

std::string streamed_expected(const std::string& text) {
    const std::string t = escaped(text);
    return "{" + t + ":" + t + ",\"k\":" + t + "," + t + ":\"" + std::string(40, 'v') + "\"," + t + ":-7," + t +
           ":0.5," + t + ":null," + t + ":" + t + "}";
}

}  // namespace

TEST(JsonWrite, DoublesInTheRustForm) {
    const std::pair<double, const char*> cases[] = {
        {2.0, "2.0"}, {0.0, "0.0"}, {-0.0, "-0.0"}, {-2.5, "-2.5"}, {0.1, "0.1"}, {123.456, "123.456"},
        {0.0001, "0.0001"}, {0.00001, "0.00001"}, {0.000001, "1e-6"}, {1.5e-7, "1.5e-7"},
        {1e15, "1000000000000000.0"}, {1e16, "1e16"}, {1.25e20, "1.25e20"},
        {5e-324, "5e-324"}, {1.7976931348623157e308, "1.7976931348623157e308"},
        {std::numeric_limits<double>::infinity(), "null"}, {std::nan(""), "null"},
    };
    for (const auto& [value, text] : cases) EXPECT_EQ(json::format_double(value), text);
}

TEST(JsonWrite, CompactWithSerdeEscapesAndRoundTrips) {
    boost::json::object o;
    o["s"] = "q\"b\\n\nr\rt\tb\bf\f\x01\x1f\x7f\xC3\xA9/";
    o["i"] = -5;
    o["u"] = std::numeric_limits<std::uint64_t>::max();
    o["d"] = 2.0;
    o["a"] = boost::json::array{nullptr, true, false, boost::json::object{}, boost::json::array{}};
    EXPECT_EQ(json::write(o),
              "{\"s\":\"q\\\"b\\\\n\\nr\\rt\\tb\\bf\\f\\u0001\\u001f\x7f\xC3\xA9/\",\"i\":-5,"
              "\"u\":18446744073709551615,\"d\":2.0,\"a\":[null,true,false,{},[]]}");
    const char* text = R"({"a":[1,-2,3.5,1e16,1e-7,"x\u0001"],"b":{"c":null,"d":true},"e":-0.0})";
    EXPECT_EQ(json::write(value_of(text)), text);
}

// Texts are scanned and copied in blocks, the last one overlapping the one before, and words
// for what is shorter: every byte at every position of a text of every length up to a few
// blocks must come out as a byte-by-byte escaper writes it, through both writers.
TEST(JsonWrite, EscapesEveryByteAtEveryPosition) {
    for (std::size_t length = 1; length <= 40; ++length) {
        for (std::size_t at = 0; at < length; ++at) {
            for (int byte = 0; byte < 256; ++byte) {
                std::string text(length, 'a');
                text[at] = static_cast<char>(byte);
                ASSERT_EQ(json::write(boost::json::value(text)), escaped(text)) << byte << " at " << at << " of " << length;
            }
        }
    }
    for (std::size_t length = 0; length <= 40; ++length) {
        for (std::size_t at = 0; at <= length; ++at) {
            for (char byte : {'\0', '\x1f', ' ', '"', '\\', '\x7f', '\xC3', '\xFF'}) {
                std::string text(length, 'a');
                if (at < length) text[at] = byte;
                ASSERT_EQ(streamed(text), streamed_expected(text)) << int(byte) << " at " << at << " of " << length;
            }
        }
    }
}

// Long texts, and texts where escapes follow each other, pass through a buffer that is appended
// whenever it fills: escapes at every place around its edge, texts just short of and just past
// the room a key and its value share, and non-ASCII text, which passes as it is.
TEST(JsonWrite, LongAndDenselyEscapedTexts) {
    std::vector<std::string> texts;
    for (std::size_t length : {140, 150, 155, 156, 157, 158, 160, 180, 185, 186, 187, 188, 189, 190, 200, 480, 490, 500, 512, 520, 1100}) {
        texts.emplace_back(length, 'p');
        for (char byte : {'\n', '\x01'}) {
            for (std::size_t at : {std::size_t{0}, length / 2, length - 17, length - 16, length - 15, length - 1}) {
                std::string text(length, 'p');
                text[at] = byte;
                texts.push_back(text);
            }
        }
    }
    for (std::size_t lead = 0; lead < 20; ++lead) {
        texts.push_back(std::string(lead, 'a') + std::string(300, '\x02'));
        texts.push_back(std::string(lead, 'a') + std::string(300, '"') + "tail");
        std::string mixed(lead, 'a');
        for (int i = 0; i < 200; ++i) mixed += i % 3 ? "x\"" : "\xC3\xA9\\\t";
        texts.push_back(mixed);
    }
    std::string utf8;
    while (utf8.size() < 700) utf8 += "r\xC3\xA9sum\xC3\xA9 \xE2\x82\xACuro \xF0\x9F\x98\x80 ";
    texts.push_back(utf8);
    texts.push_back(utf8 + "\n" + utf8);
    for (const std::string& text : texts) {
        ASSERT_EQ(json::write(boost::json::value(text)), escaped(text)) << text;
        ASSERT_EQ(streamed(text), streamed_expected(text)) << text;
    }
}

TEST(JsonWrite, ObjectsAndArraysWriteAsTheirValues) {
    const boost::json::value value = value_of(R"({"a":[1,{"b":"c\n"}],"d":{}})");
    EXPECT_EQ(json::write(value.get_object()), json::write(value));
    EXPECT_EQ(json::write(value.at("a").get_array()), R"([1,{"b":"c\n"}])");
    std::string out = "x";
    json::write_to(out, value.get_object());
    EXPECT_EQ(out, "x" + json::write(value));
}

// The streaming writer places every comma itself and writes trees and scalars as the tree
// writer does, also past the point where its text must grow.
TEST(JsonWrite, WriterStreamsWhatTheTreeWriterWrites) {
    const boost::json::value tree = value_of(R"({"a":[1,{"b":"c\n"}],"d":{},"e":[]})");
    std::string out = "x";
    json::Writer writer(out);
    writer.begin_array();
    writer.begin_object();
    writer.member("k", "v\"");
    writer.member("n", nullptr);
    writer.member("t", true);
    writer.member("i", -3);
    writer.member("u", std::uint64_t{18446744073709551615u});
    writer.member("f", 2.0);
    writer.key("tree");
    writer.value(tree);
    writer.key("o");
    writer.value(tree.get_object());
    writer.key("empty");
    writer.begin_object();
    writer.end_object();
    writer.end_object();
    writer.value(tree.at("a").get_array());
    writer.begin_array();
    writer.end_array();
    const std::string long_text(100'000, 'z');
    for (int i = 0; i < 3; ++i) writer.value(long_text);
    writer.end_array();
    const std::string t = json::write(tree);
    const std::string z = json::write(boost::json::value(long_text));
    EXPECT_EQ(out, "x[{\"k\":\"v\\\"\",\"n\":null,\"t\":true,\"i\":-3,\"u\":18446744073709551615,\"f\":2.0,\"tree\":" + t +
                       ",\"o\":" + t + ",\"empty\":{}}," + R"([1,{"b":"c\n"}],[],)" + z + "," + z + "," + z + "]");
}

TEST(JsonWrite, TreeValuesAndJoinedPartsWriteAsMembers) {
    const boost::json::value values =
        value_of(R"(["x\n\"",true,-3,18446744073709551615,2.0,null,[1,"y"],{"a":{}}])");
    std::string out;
    json::Writer writer(out);
    writer.begin_object();
    for (const boost::json::value& value : values.get_array()) writer.member("k", value);
    const std::string long_part(300, 'c');
    const std::array<std::string_view, 4> parts{"a\"", "", "b\n", long_part};
    writer.joined_member("j", parts);
    writer.end_object();
    std::string expected = "{";
    for (const boost::json::value& value : values.get_array()) expected += "\"k\":" + json::write(value) + ",";
    expected += "\"j\":" + json::write(boost::json::value("a\"b\n" + long_part)) + "}";
    EXPECT_EQ(out, expected);
}
