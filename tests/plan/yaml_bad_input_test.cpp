// Hostile plan text: alias bombs, self-referencing anchors, garbage, deep nesting and invalid
// UTF-8 each end in one message, quickly and without a crash.
#include "sdk/plan.hpp"
#include "sdk/yaml.hpp"

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

// Three levels of 200 aliases each would expand to eight million dependency texts.
std::string alias_bomb() {
    std::string text = "schema_version: 1\ntasks:\n  - id: seed\n    deps: &d [" + repeat("x, ", 199) + "x]\n";
    text += "    steps: &s [" + repeat("{id: s, deps: *d}, ", 199) + "{id: s, deps: *d}]\n";
    for (int i = 0; i < 200; ++i) text += "  - {id: n, steps: *s}\n";
    return text;
}

TEST(YamlBadInput, AliasExpansionIsBounded) {
    Read<Plan> read = read_plan_yaml(alias_bomb());
    EXPECT_EQ(read.error, "repetition limit exceeded");
}

TEST(YamlBadInput, ModestAliasUseStillReads) {
    std::string text = "schema_version: 1\ntasks:\n  - id: a\n    deps: &d [x, y, z]\n";
    for (int i = 0; i < 50; ++i) text += "  - {id: n" + std::to_string(i) + ", deps: *d}\n";
    Read<Plan> read = read_plan_yaml(text);
    ASSERT_TRUE(read.ok()) << read.error;
    EXPECT_EQ(read.value->tasks.back().deps.size(), 3u);
}

TEST(YamlBadInput, SelfReferencingAnchorsEndInAMessage) {
    EXPECT_EQ(read_plan_yaml("schema_version: 1\ntasks:\n  - id: a\n    deps: &a [*a]\n").error,
              "tasks[0].deps[0]: invalid type: sequence, expected a string at line 4 column 11");
    Read<Plan> steps = read_plan_yaml("schema_version: 1\ntasks:\n  - id: a\n    steps: &s [{id: x}, *s]\n");
    EXPECT_EQ(steps.error, "tasks[0].steps[1]: invalid type: sequence, expected struct Step at line 4 column 12");
    Read<Plan> tasks = read_plan_yaml("schema_version: 1\ntasks: &t [*t]\n");
    EXPECT_EQ(tasks.error, "tasks[0]: invalid type: sequence, expected struct Node at line 2 column 8");
}

TEST(YamlBadInput, UnknownAnchorIsAFault) {
    EXPECT_EQ(read_plan_yaml("schema_version: 1\ntasks:\n  - id: *missing\n").error,
              "unknown anchor at line 3 column 9");
    EXPECT_EQ(read_plan_yaml("schema_version: 1\ntasks: []\nname: *missing\n").error,
              "unknown anchor at line 3 column 7");
    // A fault met before the alias comes first.
    EXPECT_EQ(read_plan_yaml("schema_version: x\ntasks: *missing\n").error,
              "schema_version: invalid type: string \"x\", expected u32 at line 1 column 17");
}

TEST(YamlBadInput, DeepNestingFailsEarly) {
    // The document itself starts at line 1 column 1, which carries no location.
    EXPECT_EQ(read_plan_yaml(repeat("[", 1 << 20)).error, "invalid type: sequence, expected struct Plan");
    EXPECT_EQ(read_plan_yaml(repeat("{", 1 << 20)).error,
              "invalid type: map, expected field identifier at line 1 column 2");
    EXPECT_EQ(read_plan_yaml("schema_version: 1\ntasks: []\nname: " + repeat("[", 1 << 20)).error,
              "name: invalid type: sequence, expected a string at line 3 column 7");
    EXPECT_EQ(read_plan_json(repeat("[", 1 << 20)).error.rfind("invalid type: sequence, expected u32", 0), 0u);
    EXPECT_EQ(read_plan_json("{\"schema_version\":1,\"tasks\":[],\"name\":" + repeat("[", 1 << 20)).error,
              "invalid type: sequence, expected a string at line 1 column 39");
    // Nesting below what a plan can use never reaches the limit's own message.
    yaml::Document doc = yaml::load_first_document(repeat("[", 200));
    ASSERT_TRUE(doc.error);
    EXPECT_EQ(*doc.error, "recursion limit exceeded at line 1 column 129");
}

TEST(YamlBadInput, GarbageGivesOneMessage) {
    std::mt19937 random(7);
    std::string garbage(1 << 20, '\0');
    for (char& c : garbage) c = static_cast<char>(random() & 0xff);
    EXPECT_FALSE(read_plan_yaml(garbage).ok());
    EXPECT_FALSE(read_plan_json(garbage).ok());
    // Printable garbage gets further into both parsers.
    std::string printable(1 << 20, ' ');
    const std::string_view alphabet = "ab:-[]{},&*!#'\"\n ~|>?%@";
    for (char& c : printable) c = alphabet[random() % alphabet.size()];
    Read<Plan> yaml = read_plan_yaml(printable);
    EXPECT_FALSE(yaml.ok());
    EXPECT_FALSE(yaml.error.empty());
    EXPECT_FALSE(read_plan_json(printable).ok());
}

TEST(YamlBadInput, InvalidUtf8IsRefused) {
    Read<Plan> yaml = read_plan_yaml("schema_version: 1\ntasks: []\nname: caf\xe9\n");
    EXPECT_FALSE(yaml.ok());
    EXPECT_NE(yaml.error.find("UTF-8"), std::string::npos) << yaml.error;
    Read<Plan> json = read_plan_json("{\"schema_version\":1,\"tasks\":[],\"name\":\"caf\xe9\"}");
    EXPECT_FALSE(json.ok());
    static constexpr char kNul[] = "schema_version: 1\ntasks: []\nname: a\0b\n";
    Read<Plan> nul = read_plan_yaml(std::string(kNul, sizeof kNul - 1));
    EXPECT_NE(nul.error.find("control characters are not allowed"), std::string::npos) << nul.error;
    EXPECT_FALSE(nul.ok());
}

TEST(YamlBadInput, WideListsRead) {
    std::string text = "schema_version: 1\ntasks:\n  - id: a\n    deps: [" + repeat("d, ", 100000) + "d]\n";
    Read<Plan> read = read_plan_yaml(text);
    ASSERT_TRUE(read.ok()) << read.error;
    EXPECT_EQ(read.value->tasks[0].deps.size(), 100001u);
}

}  // namespace
}  // namespace korvalle::plan
