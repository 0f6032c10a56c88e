// The run identifier rule: one phrase per refusal, checked in a fixed order.
#include "src/contract/contract.hpp"

#include <gtest/gtest.h>

#include <iomanip>
#include <sstream>

namespace korvalle::contract {
namespace {

TEST(IdentifierRule, PhraseOfTheFirstBrokenRule) {
    const std::string characters = "must use only ASCII letters, digits, '-', '_', and '.'";
    const std::string leading_dot = "must not start with '.'";
    std::string accented;  // 65 two-byte characters are 130 bytes
    for (int i = 0; i < 65; ++i) accented += "\xc3\xa9";
    const std::pair<std::string, std::string> cases[] = {
        {"", "must not be empty"},
        {std::string(128, 'a'), "passes"},
        {std::string(129, 'a'), "must be at most 128 characters"},
        {accented, "must be at most 128 characters"},  // length counts bytes, before the characters
        {"run/1", characters}, {"run 1", characters}, {"r\xc3\xbcn", characters}, {"run\n", characters},
        {"a\\b", characters}, {std::string("a\0b", 3), characters}, {"\xff", characters}, {"run%2F", characters},
        {".a/b", characters},  // characters before the leading dot
        {".", leading_dot}, {"..", leading_dot}, {".hidden", leading_dot},
        {"-", "passes"}, {"_x", "passes"}, {"a..b", "passes"}, {"x.", "passes"}, {"Run-1", "passes"},
        {"--help", "passes"}, {"2026-12-07T08.19_ab", "passes"},
    };
    for (const auto& [text, phrase] : cases) {
        const Result<void> valid = validate_run_id(text);
        EXPECT_EQ(valid.ok() ? "passes" : message(valid.error()), phrase) << text;
        if (!valid) {
            EXPECT_EQ(valid.error().kind, Fault::Kind::Refused) << text;
        }
        EXPECT_EQ(RunId::make(text).has_value(), phrase == "passes") << text;
    }
}

TEST(RunId, KeptVerbatimAndShownWithoutPadding) {
    const auto upper = RunId::make("Run-1");
    ASSERT_TRUE(upper);
    EXPECT_EQ(upper->str(), "Run-1");
    EXPECT_NE(*upper, *RunId::make("run-1"));
    std::ostringstream shown;
    shown << std::setw(12) << std::setfill('*') << *upper << "|";
    EXPECT_EQ(shown.str(), "Run-1|");
}

}  // namespace
}  // namespace korvalle::contract
