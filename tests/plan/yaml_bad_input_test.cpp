// Hostile plan text: alias bombs, garbage, deep nesting, wide lists and invalid UTF-8 each end
// in one message or a plan, quickly and without a crash. (Unknown and self-referencing anchors
// are with the YAML reader's locations.)
#include "sdk/plan/plan.hpp"
#include "sdk/plan/detail/yaml.hpp"
#include "tests/plan/messages.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace korvalle::plan {
namespace {

std::string repeat(std::string_view unit, std::size_t times) {
    std::string out;
    out.reserve(unit.size() * times);
    for (std::size_t i = 0; i < times; ++i) out += unit;
    return out;
}

TEST(YamlBadInput, AliasExpansionIsBoundedButModestUseReads) {
    // Three levels of 200 aliases each would expand to eight million dependency texts.
    std::string bomb = "schema_version: 1\ntasks:\n  - id: seed\n    deps: &d [" + repeat("x, ", 199) + "x]\n";
    bomb += "    steps: &s [" + repeat("{id: s, deps: *d}, ", 199) + "{id: s, deps: *d}]\n";
    bomb += repeat("  - {id: n, steps: *s}\n", 200);
    EXPECT_EQ(checks::error_text(read_plan_yaml(bomb)), "repetition limit exceeded");

    std::string modest = "schema_version: 1\ntasks:\n  - id: a\n    deps: &d [x, y, z]\n";
    for (int i = 0; i < 50; ++i) modest += "  - {id: n" + std::to_string(i) + ", deps: *d}\n";
    Result<Plan> read = read_plan_yaml(modest);
    ASSERT_TRUE(read.ok()) << message(read.error());
    EXPECT_EQ(read->tasks.back().deps.size(), 3u);
}

TEST(YamlBadInput, DeepNestingFailsEarlyAndWideListsRead) {
    const std::string deep = repeat("[", 1 << 20);
    // The document itself starts at line 1 column 1, which carries no location.
    EXPECT_EQ(checks::error_text(read_plan_yaml(deep)), "invalid type: sequence, expected struct Plan");
    EXPECT_EQ(checks::error_text(read_plan_yaml(repeat("{", 1 << 20))),
              "invalid type: map, expected field identifier at line 1 column 2");
    EXPECT_EQ(checks::error_text(read_plan_yaml("schema_version: 1\ntasks: []\nname: " + deep)),
              "name: invalid type: sequence, expected a string at line 3 column 7");
    EXPECT_EQ(checks::error_text(read_plan_json(deep)).rfind("invalid type: sequence, expected u32", 0), 0u);
    EXPECT_EQ(checks::error_text(read_plan_json("{\"schema_version\":1,\"tasks\":[],\"name\":" + deep)),
              "invalid type: sequence, expected a string at line 1 column 39");
    // Nesting below what a plan can use never reaches the limit's own message.
    EXPECT_EQ(yaml::load_first_document(repeat("[", 200)).error, "recursion limit exceeded at line 1 column 129");

    Result<Plan> wide = read_plan_yaml("schema_version: 1\ntasks:\n  - id: a\n    deps: [" + repeat("d, ", 100000) +
                                     "d]\n");
    ASSERT_TRUE(wide.ok()) << message(wide.error());
    EXPECT_EQ(wide->tasks[0].deps.size(), 100001u);
}

TEST(YamlBadInput, GarbageAndInvalidTextGiveOneMessage) {
    std::mt19937 random(7);
    std::string garbage(1 << 20, '\0');
    for (char& c : garbage) c = static_cast<char>(random() & 0xff);
    // Printable garbage gets further into both parsers.
    std::string printable(1 << 20, ' ');
    const std::string_view alphabet = "ab:-[]{},&*!#'\"\n ~|>?%@";
    for (char& c : printable) c = alphabet[random() % alphabet.size()];
    for (const std::string& text : {garbage, printable}) {
        EXPECT_NE(checks::error_text(read_plan_yaml(text)), "");
        EXPECT_NE(checks::error_text(read_plan_json(text)), "");
    }
    EXPECT_NE(checks::error_text(read_plan_yaml("schema_version: 1\ntasks: []\nname: caf\xe9\n")).find("UTF-8"), std::string::npos);
    EXPECT_NE(checks::error_text(read_plan_json("{\"schema_version\":1,\"tasks\":[],\"name\":\"caf\xe9\"}")), "");
    static constexpr char kNul[] = "schema_version: 1\ntasks: []\nname: a\0b\n";
    EXPECT_NE(checks::error_text(read_plan_yaml(std::string(kNul, sizeof kNul - 1))).find("control characters are not allowed"),
              std::string::npos);
}

}  // namespace
}  // namespace korvalle::plan
