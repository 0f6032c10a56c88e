// The reader against boost::json::parse on generated and mutated texts: both must accept and
// refuse the same texts and read the same values.
//
// Known, intended differences, left out of the comparison:
// - number kinds: "-0" is the double -0.0 here and the integer 0 there, and doubles are
//   compared with a tolerance of a few units in the last place, because Boost's default
//   double reading is not always correctly rounded (ours is);
// - a double that overflows ("1e400") is refused here ("number out of range") and read as
//   infinity there.
#include "sdk/base/json_read.hpp"
#include "sdk/base/json_write.hpp"

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>

namespace json = korvalle::json;

namespace {

class Generator {
public:
    explicit Generator(std::uint32_t seed) : rng_(seed) {}

    std::string document() {
        std::string out;
        value(out, 0);
        return out;
    }

    std::string mutate(std::string text) {
        static const std::string bytes = "{}[],:\"\\ \t\n\r0123456789.eE+-tfnulx\x01\x7f\xC3\xA9\xFF\xED\xEF\xBB\xBF";
        auto any_byte = [&] { return bytes[pick(bytes.size())]; };
        int edits = 1 + pick(3);
        for (int k = 0; k < edits; ++k) {
            std::size_t at = text.empty() ? 0 : pick(text.size());
            switch (pick(5)) {
                case 0: if (!text.empty()) text.erase(at, 1); break;
                case 1: text.insert(at, 1, any_byte()); break;
                case 2: if (!text.empty()) text[at] = any_byte(); break;
                case 3: text.resize(at); break;
                case 4: text.insert(at, text.substr(at, pick(8))); break;
            }
        }
        return text;
    }

private:
    std::size_t pick(std::size_t n) { return rng_() % static_cast<std::uint32_t>(n); }
    template <std::size_t N>
    const char* one_of(const char* const (&words)[N]) { return words[pick(N)]; }

    void ws(std::string& out) { out += one_of({"", "", "", " ", "\n", "\t", "\r\n  "}); }

    void string(std::string& out) {
        out += '"';
        for (std::size_t i = 0, n = pick(5); i < n; ++i)
            out += one_of({"a", "key", " ", "\\\"", "\\\\", "\\/", "\\n", "\\t", "\\u0041", "\\u00e9",
                           "\\ud83d\\ude00", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\\u0000",
                           "\\b\\f\\r", "x", "dup"});
        out += '"';
    }

    void number(std::string& out) {
        out += one_of({"0", "-0", "1", "-1", "42", "9223372036854775807", "9223372036854775808",
                       "-9223372036854775808", "-9223372036854775809", "18446744073709551615",
                       "18446744073709551616", "1.5", "-2.25", "1e3", "1E-3", "0.1", "6.02e23", "1e308",
                       "2.5e-300", "123456789.123456789", "0.0", "-0.0", "3e+2"});
    }

    void value(std::string& out, int depth) {
        ws(out);
        switch (depth > 5 ? pick(4) : pick(7)) {
            case 0: out += "null"; break;
            case 1: out += pick(2) ? "true" : "false"; break;
            case 2: number(out); break;
            case 3: string(out); break;
            case 4:
            case 5:
                out += '{';
                for (std::size_t i = 0, n = pick(4); i < n; ++i) {
                    if (i) out += ',';
                    ws(out);
                    string(out);
                    ws(out);
                    out += ':';
                    value(out, depth + 1);
                }
                ws(out);
                out += '}';
                break;
            default:
                out += '[';
                for (std::size_t i = 0, n = pick(4); i < n; ++i) {
                    if (i) out += ',';
                    value(out, depth + 1);
                }
                ws(out);
                out += ']';
        }
        ws(out);
    }

    std::mt19937 rng_;
};

// Same value, the number-kind rule aside; doubles within a few units in the last place.
bool same(const boost::json::value& ours, const boost::json::value& theirs) {
    if (ours.is_number() && theirs.is_number()) {
        if (ours.is_double() || theirs.is_double()) {
            double a = ours.to_number<double>(), b = theirs.to_number<double>();
            return a == b || std::fabs(a - b) <= 4 * std::numeric_limits<double>::epsilon() * std::fabs(b);
        }
        return ours.kind() == theirs.kind() && ours == theirs;  // int64 and uint64 stay apart
    }
    if (ours.kind() != theirs.kind()) return false;
    if (ours.is_array()) {
        const auto &a = ours.get_array(), &b = theirs.get_array();
        return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), same);
    }
    if (ours.is_object()) {
        const auto &a = ours.get_object(), &b = theirs.get_object();
        return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](const auto& x, const auto& y) {
                   return x.key() == y.key() && same(x.value(), y.value());
               });
    }
    return ours == theirs;
}

struct Outcome {
    int agreed = 0, accepted = 0, excluded = 0;
};

void compare(const std::string& text, Outcome& outcome) {
    auto ours = json::parse(text, 1 << 20);
    boost::json::parse_options options;
    options.max_depth = 1 << 20;
    boost::json::error_code ec;
    boost::json::value theirs = boost::json::parse(text, ec, {}, options);
    const std::string error = ours.ok() ? std::string() : korvalle::message(ours.error());
    if (!ours.ok() && !ec && error.rfind("number out of range", 0) == 0) {
        ++outcome.excluded;
        return;
    }
    ASSERT_EQ(ours.ok(), !ec) << "text: " << text << "\nours: " << error << "\nboost: " << ec.message();
    if (ours.ok()) {
        ASSERT_TRUE(same(*ours, theirs)) << "text: " << text << "\nours: " << json::write(*ours);
        ++outcome.accepted;
    }
    ++outcome.agreed;
}

}  // namespace

TEST(JsonDifferential, GeneratedDocumentsAgreeWithBoost) {
    Generator gen(20261207);
    Outcome outcome;
    for (int i = 0; i < 3000 && !HasFatalFailure(); ++i) compare(gen.document(), outcome);
    EXPECT_EQ(outcome.accepted, 3000);
}

TEST(JsonDifferential, MutatedDocumentsAgreeWithBoost) {
    Generator gen(7);
    Outcome outcome;
    for (int i = 0; i < 6000 && !HasFatalFailure(); ++i) compare(gen.mutate(gen.document()), outcome);
    // The mutations must reach both outcomes often enough to mean something.
    EXPECT_GT(outcome.accepted, 500);
    EXPECT_GT(outcome.agreed - outcome.accepted, 2000);
    RecordProperty("accepted", outcome.accepted);
    RecordProperty("refused", outcome.agreed - outcome.accepted);
    RecordProperty("excluded", outcome.excluded);
}

TEST(JsonDifferential, EdgeTextsAgreeWithBoost) {
    Outcome outcome;
    for (const char* text :
         {"", " ", "{}", "[]", "[[[]]]", "{\"\":0}", "\"\\uD800\\uDC00\"", "\"\\uDC00\"", "\"\\uD800\"", "\"\\uD800x\"",
          "\"\\uD800\\u0041\"", "1.", ".1", "-", "--1", "1e", "1e+", "0x10", "01", "-01", "1.0e-0", "[1,]", "{\"a\":1,}",
          "{,}", "[,1]", "\xEF\xBB\xBF[]", "\"\xC0\xAF\"", "\"\xED\xA0\x80\"", "\"\xF4\x90\x80\x80\"", "\"\xF0\x9F\x98\"",
          "\"\x7f\"", "[1]  ", "[1] [2]", "nul", "nulll", "true false", "{\"a\" :1}", "{\"a\":1 , \"b\" : [ ] }",
          "\"\\u00\"", "\"\\uZZZZ\"", "\"\\a\"", "[-0.0e0]", "1E400", "1e-400"}) {
        compare(text, outcome);
    }
    EXPECT_EQ(outcome.excluded, 1);  // 1E400
}
