// Reading round result files, their node entries, and plan step rows.
#include "src/payload.hpp"

#include "sdk/json.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace korvalle::payload {
namespace {

namespace fs = std::filesystem;

class ReadJsonFile : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "payload-files-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path write(const std::string& bytes) {
        fs::path path = dir_ / "result.json";
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    std::optional<std::string> read(const std::string& bytes) {
        auto value = read_json_file(write(bytes));
        if (!value) return std::nullopt;
        return json::write(*value);
    }

    fs::path dir_;
};

TEST_F(ReadJsonFile, AbsentWhenNothingUsable) {
    EXPECT_FALSE(read_json_file(dir_ / "missing.json"));
    EXPECT_FALSE(read(""));
    EXPECT_FALSE(read(" \n\t\r"));
    EXPECT_FALSE(read("\xEF\xBB\xBF{}"));      // a byte-order mark is not white space
    EXPECT_FALSE(read("{} {}"));               // two values
    EXPECT_FALSE(read("{\"a\":1} x"));
    EXPECT_FALSE(read("{\"a\":\"\xC3\x28\"}"));  // ill-formed UTF-8 inside a string
    EXPECT_FALSE(read("{\"a\":1}\xFF"));
    EXPECT_FALSE(read("{\"a\":"));
}

TEST_F(ReadJsonFile, AnyTopLevelValue) {
    EXPECT_EQ(read("null"), "null");
    EXPECT_EQ(read("[]"), "[]");
    EXPECT_EQ(read("5"), "5");
    EXPECT_EQ(read("\"s\""), "\"s\"");
    EXPECT_EQ(read("{\"ok\":true}\n"), "{\"ok\":true}");
    EXPECT_EQ(read("  2.0 \r\n"), "2.0");
}

TEST_F(ReadJsonFile, NestingStopsAt127Levels) {
    EXPECT_TRUE(read(std::string(127, '[') + std::string(127, ']')));
    EXPECT_FALSE(read(std::string(128, '[') + std::string(128, ']')));
}

TEST_F(ReadJsonFile, RepeatedKeyKeepsFirstPlaceAndLastValue) {
    EXPECT_EQ(read("{\"a\":1,\"b\":2,\"a\":3}"), "{\"a\":3,\"b\":2}");
}

TEST_F(ReadJsonFile, OnlyRegularFilesAreRead) {
    fs::create_directory(dir_ / "round-01");
    EXPECT_FALSE(read_json_file(dir_ / "round-01"));
    // A FIFO with no writer would block an ordinary open for ever.
    fs::path fifo = dir_ / "fifo.json";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(read_json_file(fifo));
}

boost::json::value parse(std::string_view text) { return *json::parse(text).value; }

TEST(RecordedEntry, TakesStringIdAndStatus) {
    auto entry = recorded_entry(parse(R"({"id":"a","status":"done","outcome":3})"));
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->first, "a");
    EXPECT_EQ(entry->second, (Recorded{"done", std::nullopt}));

    entry = recorded_entry(parse(R"({"outcome":"merged","status":"not-completed","id":"b","x":1})"));
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->second, (Recorded{"not-completed", "merged"}));

    entry = recorded_entry(parse(R"({"id":"","status":""})"));
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->first, "");
    EXPECT_EQ(entry->second.status, "");
}

TEST(RecordedEntry, NothingForOtherShapes) {
    for (const char* text : {R"({"id":1,"status":"done"})", R"({"id":"a","status":null})",
                             R"({"id":"a"})", R"({"status":"done"})", R"({"ID":"a","Status":"done"})",
                             R"("a")", R"(["a","done"])", "null"})
        EXPECT_FALSE(recorded_entry(parse(text))) << text;
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
