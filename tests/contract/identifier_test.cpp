#include "src/contract.hpp"

#include <gtest/gtest.h>

#include <iomanip>
#include <sstream>

namespace korvalle::contract {
namespace {

const std::string characters = "must use only ASCII letters, digits, '-', '_', and '.'";
const std::string leading_dot = "must not start with '.'";

std::string phrase(std::string_view text) { return validate_run_id(text).value_or("passes"); }

TEST(IdentifierRule, EmptyAndLengthLimitCountBytes) {
    EXPECT_EQ(phrase(""), "must not be empty");
    EXPECT_EQ(phrase(std::string(128, 'a')), "passes");
    EXPECT_EQ(phrase(std::string(129, 'a')), "must be at most 128 characters");
    // 65 two-byte characters are 130 bytes: the length check comes before the character check.
    std::string accented;
    for (int i = 0; i < 65; ++i) accented += "\xc3\xa9";
    EXPECT_EQ(phrase(accented), "must be at most 128 characters");
}

TEST(IdentifierRule, RefusesEveryCharacterOutsideTheSet) {
    for (std::string_view text : std::initializer_list<std::string_view>{"run/1", "run 1", "r\xc3\xbcn", "run\n", "a\\b", std::string_view("a\0b", 3),
                                  "\xff", "run%2F"}) {
        EXPECT_EQ(phrase(text), characters) << text;
    }
    // The character check comes before the leading-dot check.
    EXPECT_EQ(phrase(".a/b"), characters);
}

TEST(IdentifierRule, LeadingDot) {
    EXPECT_EQ(phrase("."), leading_dot);
    EXPECT_EQ(phrase(".."), leading_dot);
    EXPECT_EQ(phrase(".hidden"), leading_dot);
}

TEST(IdentifierRule, PassesOtherwise) {
    for (std::string_view text : {"-", "_x", "a..b", "x.", "Run-1", "--help", "2026-12-07T08.19_ab"}) {
        EXPECT_EQ(phrase(text), "passes") << text;
    }
}

TEST(RunId, MadeOnlyFromPassingTextsAndKeptVerbatim) {
    EXPECT_FALSE(RunId::make("a/b"));
    EXPECT_FALSE(RunId::make(""));
    const auto upper = RunId::make("Run-1");
    const auto lower = RunId::make("run-1");
    ASSERT_TRUE(upper && lower);
    EXPECT_EQ(upper->str(), "Run-1");
    EXPECT_NE(*upper, *lower);
    std::ostringstream shown;
    shown << std::setw(12) << std::setfill('*') << *upper << "|";
    EXPECT_EQ(shown.str(), "Run-1|");
}

}  // namespace
}  // namespace korvalle::contract
