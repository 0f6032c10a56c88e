// Loading plan files from a real temporary directory: routing by extension and content, the
// messages with their path, and files that cannot be read.
#include "sdk/plan.hpp"
#include "tests/plan/messages.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace korvalle::plan {
namespace {

using checks::without_location;

namespace fs = std::filesystem;

class PlanLoad : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "plan-load-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path write(const std::string& name, std::string_view bytes) {
        fs::path path = dir_ / name;
        std::ofstream out(path, std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return path;
    }

    // The loaded plan, failing the test when it does not load.
    Plan load_ok(const fs::path& path) {
        Loaded<Plan> loaded = Plan::load(path);
        EXPECT_TRUE(loaded.ok()) << (loaded.ok() ? "" : loaded.error().to_string());
        return loaded.ok() ? loaded.value() : Plan{};
    }

    // The message text of a failed load.
    std::string message(const fs::path& path) {
        Loaded<Plan> loaded = Plan::load(path);
        if (loaded.ok()) return "loaded";
        const auto* m = std::get_if<SdkError::Message>(&loaded.error().error);
        return m != nullptr ? m->text : "not a message: " + loaded.error().to_string();
    }

    std::string message_core(const fs::path& path) {
        return without_location(message(path));
    }

    SdkError::Io io_error(const fs::path& path) {
        Loaded<Plan> loaded = Plan::load(path);
        EXPECT_FALSE(loaded.ok());
        if (loaded.ok()) return {};
        const auto* io = std::get_if<SdkError::Io>(&loaded.error().error);
        EXPECT_NE(io, nullptr) << loaded.error().to_string();
        return io != nullptr ? *io : SdkError::Io{};
    }

    fs::path dir_;
};

constexpr std::string_view kPlanJson = R"({"schema_version":2,"tasks":[{"id":"a"}]})";

TEST_F(PlanLoad, RoutesByExtensionAndContent) {
    for (const char* name : {"plan.json", "PLAN.JSON", "plan.Json", "a.b.json"}) {
        // A repeated key is refused by the JSON reader and never retried as YAML.
        fs::path path = write(name, R"({"schema_version":1,"schema_version":1,"tasks":[]})");
        EXPECT_EQ(message_core(path), path.string() + ": duplicate field `schema_version`") << name;
    }
    // YAML accepts repeated keys' detection too, so tell the routes apart by JSON-only text: a
    // YAML route would read this flow mapping and fail differently.
    for (const char* name : {"plan.jsonl", "plan.json5", "plan.yml", ".json", "plan.json."}) {
        fs::path path = write(name, "[]");
        EXPECT_EQ(message_core(path), path.string() + ": invalid type: sequence, expected struct Plan") << name;
    }
    fs::path json = write("plan.json", "[]");
    EXPECT_EQ(message(json), json.string() + ": must be a JSON mapping, got list");
}

TEST_F(PlanLoad, JsonTopValueMustBeAnObject) {
    EXPECT_EQ(message(write("plan.json", "null")), (dir_ / "plan.json").string() + ": must be a JSON mapping, got null");
    EXPECT_EQ(message(write("plan.json", "true")), (dir_ / "plan.json").string() + ": must be a JSON mapping, got scalar");
    EXPECT_EQ(message(write("plan.json", "12")), (dir_ / "plan.json").string() + ": must be a JSON mapping, got scalar");
    EXPECT_EQ(message(write("plan.json", "\"x\"")), (dir_ / "plan.json").string() + ": must be a JSON mapping, got string");
    EXPECT_EQ(message(write("plan.json", "[1,null,null,4,[]]")),
              (dir_ / "plan.json").string() + ": must be a JSON mapping, got list");
    EXPECT_EQ(message(write("plan.json", "{}")),
              (dir_ / "plan.json").string() + ": missing field `schema_version` at line 1 column 2");
}

TEST_F(PlanLoad, LoadsJsonAndYaml) {
    EXPECT_EQ(load_ok(write("plan.json", kPlanJson)).tasks[0].id, "a");
    EXPECT_EQ(load_ok(write("plan.yaml", kPlanJson)).schema_version, 2u);
    EXPECT_EQ(load_ok(write("plan", "schema_version: 3\ntasks:\n  - id: b\n")).schema_version, 3u);
    // Not JSON (a comment follows), so the json-named file is read as YAML.
    EXPECT_EQ(load_ok(write("plan.json", std::string(kPlanJson) + " # note\n")).schema_version, 2u);
    // 127 levels (the plan object is the first) are JSON; one more and the text is read as
    // YAML, whose message names the path.
    auto nested = [](int levels) {
        return R"({"schema_version":1,"tasks":[],"name":)" + std::string(levels - 1, '[') +
               std::string(levels - 1, ']') + "}";
    };
    EXPECT_EQ(message_core(write("deep.json", nested(127))),
              (dir_ / "deep.json").string() + ": invalid type: sequence, expected a string");
    EXPECT_EQ(message_core(write("deep.json", nested(128))),
              (dir_ / "deep.json").string() + ": name: invalid type: sequence, expected a string");
}

TEST_F(PlanLoad, EmptyFilesMissTheSchemaVersion) {
    EXPECT_EQ(message(write("plan.json", "")), (dir_ / "plan.json").string() + ": missing field `schema_version`");
    EXPECT_EQ(message(write("plan.yaml", "")), (dir_ / "plan.yaml").string() + ": missing field `schema_version`");
    EXPECT_EQ(message_core(write("c.yaml", "# nothing\n\n")), (dir_ / "c.yaml").string() + ": missing field `schema_version`");
}

TEST_F(PlanLoad, YamlDocumentsAndFaults) {
    fs::path two = write("two.yaml", "schema_version: 1\ntasks: []\n---\nschema_version: 2\ntasks: []\n");
    EXPECT_EQ(message(two), two.string() + ": deserializing from YAML containing more than one document is not supported");
    fs::path first_bad = write("bad.yaml", "schema_version: 1\n---\nschema_version: 2\ntasks: []\n");
    EXPECT_EQ(message_core(first_bad), first_bad.string() + ": missing field `tasks`");
    fs::path seq = write("seq.yaml", "- a\n");
    EXPECT_EQ(message(seq).rfind(seq.string() + ": invalid type: sequence, expected struct Plan", 0), 0u);
    fs::path unknown = write("u.yaml", "schema_version: 1\ntasks: []\nextra: 1\n");
    EXPECT_EQ(message(unknown), unknown.string() +
                                    ": unknown field `extra`, expected one of `schema_version`, `goal`, `name`, "
                                    "`concurrency`, `tasks` at line 3 column 1");
}

TEST_F(PlanLoad, UnreadableFilesAreIoErrors) {
    fs::path missing = dir_ / "missing.json";
    SdkError::Io gone = io_error(missing);
    EXPECT_EQ(gone.path, missing);
    EXPECT_EQ(gone.code, ENOENT);

    fs::create_directory(dir_ / "plan.json");
    SdkError::Io directory = io_error(dir_ / "plan.json");
    EXPECT_EQ(directory.path, dir_ / "plan.json");
    EXPECT_NE(directory.code, 0);

    // A FIFO with no writer would block a plain open; it is refused at once.
    fs::path fifo = dir_ / "fifo.yaml";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(io_error(fifo).path, fifo);

    fs::path latin1 = write("latin1.yaml", "schema_version: 1\nname: caf\xe9\ntasks: []\n");
    SdkError::Io bad = io_error(latin1);
    EXPECT_EQ(bad.path, latin1);
    EXPECT_EQ(Plan::load(latin1).error().to_string(), latin1.string() + ": stream did not contain valid UTF-8");
}

TEST_F(PlanLoad, PathIsPrintedLossily) {
    fs::path odd = dir_ / std::string("pl\xff" "an.yaml");
    {
        std::ofstream out(odd);
        out << "schema_version: 1\n";
    }
    EXPECT_EQ(message_core(odd), dir_.string() + "/pl\xEF\xBF\xBD" "an.yaml: missing field `tasks`");
}

}  // namespace
}  // namespace korvalle::plan
