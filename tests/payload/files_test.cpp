// Reading round result files, their node entries, and plan step rows.
#include "src/payload/files.hpp"

#include "sdk/base/json_read.hpp"
#include "sdk/base/json_write.hpp"
#include "tests/support/run_builder.hpp"

#include <gtest/gtest.h>

#include <string>

namespace korvalle::payload {
namespace {

// A file holding the bytes, read: its value as written text, or nothing.
std::optional<std::string> read(const std::string& bytes) {
    testing::RunsRoot root;
    testing::write_file(root.path() / "result.json", bytes);
    auto value = read_json_file(root.path() / "result.json");
    return value ? std::optional(json::write(*value)) : std::nullopt;
}

TEST(ReadJsonFile, OneValueOrNothing) {
    EXPECT_FALSE(read_json_file(testing::RunsRoot().path() / "missing.json"));
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        // Any top-level value, with JSON white space around it.
        {"null", "null"}, {"5", "5"}, {"\"s\"", "\"s\""}, {"{\"ok\":true}\n", "{\"ok\":true}"}, {"  2.0 \r\n", "2.0"},
        {"{\"a\":1,\"b\":2,\"a\":3}", "{\"a\":3,\"b\":2}"},  // a repeated key: first place, last value
        {std::string(127, '[') + std::string(127, ']'), std::string(127, '[') + std::string(127, ']')},
        // Nothing usable.
        {std::string(128, '[') + std::string(128, ']'), std::nullopt},
        {"", std::nullopt}, {" \n\t\r", std::nullopt}, {"{\"a\":", std::nullopt},
        {"\xEF\xBB\xBF{}", std::nullopt},  // a byte-order mark is not white space
        {"{} {}", std::nullopt}, {"{\"a\":1} x", std::nullopt},
        {"{\"a\":\"\xC3\x28\"}", std::nullopt}, {"{\"a\":1}\xFF", std::nullopt},  // ill-formed UTF-8
    };
    for (const auto& [bytes, value] : cases) EXPECT_EQ(read(bytes), value) << bytes.substr(0, 40);
}

TEST(RecordedEntry, StringIdAndStatusWithAnOptionalStringOutcome) {
    const std::pair<const char*, std::optional<std::pair<std::string, Recorded>>> cases[] = {
        {R"({"id":"a","status":"done","outcome":3})", {{"a", {"done", std::nullopt}}}},
        {R"({"outcome":"merged","status":"not-completed","id":"b","x":1})", {{"b", {"not-completed", "merged"}}}},
        {R"({"id":"","status":""})", {{"", {"", std::nullopt}}}},
        {R"({"id":1,"status":"done"})", std::nullopt},
        {R"({"id":"a","status":null})", std::nullopt},
        {R"({"status":"done"})", std::nullopt},
        {R"({"ID":"a","Status":"done"})", std::nullopt},
        {R"(["a","done"])", std::nullopt},
    };
    for (const auto& [text, entry] : cases) EXPECT_EQ(recorded_entry(*json::parse(text)), entry) << text;
}

TEST(StepRows, MarksCompletedStepsExactly) {
    plan::Step s0, s1;
    s0.id = "s0";
    s1.id = "s1";
    s1.kind = plan::NodeKind::Human;
    s1.persona = "reviewer";
    std::optional<std::vector<plan::Step>> steps{{s0, s1}};

    EXPECT_EQ(json::write(step_rows(steps, {"S1", "s1 "})),
              R"([{"id":"s0","kind":"agent","persona":null,"status":"pending"},)"
              R"({"id":"s1","kind":"human","persona":"reviewer","status":"pending"}])");
    EXPECT_EQ(json::write(step_rows(steps, {"s1", "s1"})),
              R"([{"id":"s0","kind":"agent","persona":null,"status":"pending"},)"
              R"({"id":"s1","kind":"human","persona":"reviewer","status":"done"}])");
    EXPECT_TRUE(step_rows(std::nullopt, {"s0"}).empty());
    EXPECT_TRUE(step_rows(std::vector<plan::Step>{}, {}).empty());
}

}  // namespace
}  // namespace korvalle::payload
