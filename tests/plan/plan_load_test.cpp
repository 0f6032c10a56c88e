// Loading plan files from a real temporary directory: routing by extension and content, the
// messages with their path, and files that cannot be read.
#include "sdk/plan/plan.hpp"
#include "tests/plan/messages.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace korvalle::plan {
namespace {

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
        std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return path;
    }

    // The message of a failed load, "loaded" when it loads.
    static std::string message(const fs::path& path) {
        Result<Plan, SdkError> loaded = Plan::load(path);
        if (loaded.ok()) return "loaded";
        const auto* m = std::get_if<SdkError::Message>(&loaded.error().error);
        return m != nullptr ? m->text : "not a message: " + loaded.error().to_string();
    }

    static SdkError::Io io_error(const fs::path& path) {
        Result<Plan, SdkError> loaded = Plan::load(path);
        const auto* io = loaded.ok() ? nullptr : std::get_if<SdkError::Io>(&loaded.error().error);
        EXPECT_NE(io, nullptr) << (loaded.ok() ? "loaded" : loaded.error().to_string());
        return io != nullptr ? *io : SdkError::Io{};
    }

    // Each file, written with its bytes, fails with "<path>: <expected>"; the location is
    // compared only when the expected message names one.
    struct File {
        std::string name, bytes, expected;
    };
    void expect_messages(const std::vector<File>& files) {
        for (const File& f : files) {
            fs::path path = write(f.name, f.bytes);
            std::string got = message(path);
            if (f.expected.find(" at line ") == std::string::npos) got = checks::without_location(got);
            EXPECT_EQ(got, path.string() + ": " + f.expected) << f.name << " holding " << f.bytes;
        }
    }

    fs::path dir_;
};

constexpr std::string_view kPlanJson = R"({"schema_version":2,"tasks":[{"id":"a"}]})";

// A JSON plan whose name nests `levels` levels deep, the plan object being the first.
std::string nested(int levels) {
    return R"({"schema_version":1,"tasks":[],"name":)" + std::string(levels - 1, '[') + std::string(levels - 1, ']') +
           "}";
}

TEST_F(PlanLoad, RoutesByExtensionAndContent) {
    // A JSON name in any case: a repeated key is refused by JSON and never retried as YAML.
    for (const char* name : {"plan.json", "PLAN.JSON", "plan.Json", "a.b.json"}) {
        expect_messages({{name, R"({"schema_version":1,"schema_version":1,"tasks":[]})",
                          "duplicate field `schema_version`"}});
    }
    // Other names are YAML, which reads a flow sequence as a sequence.
    for (const char* name : {"plan.jsonl", "plan.json5", "plan.yml", ".json", "plan.json."}) {
        expect_messages({{name, "[]", "invalid type: sequence, expected struct Plan"}});
    }
    const std::string mapping = "must be a JSON mapping, got ";
    expect_messages({
        // A JSON file's top value must be an object.
        {"plan.json", "[]", mapping + "list"},
        {"plan.json", "[1,null,null,4,[]]", mapping + "list"},
        {"plan.json", "null", mapping + "null"},
        {"plan.json", "true", mapping + "scalar"},
        {"plan.json", "12", mapping + "scalar"},
        {"plan.json", "\"x\"", mapping + "string"},
        {"plan.json", "{}", "missing field `schema_version` at line 1 column 2"},
        // 127 levels are JSON; one more and the text is read as YAML, whose message names the path.
        {"deep.json", nested(127), "invalid type: sequence, expected a string"},
        {"deep.json", nested(128), "name: invalid type: sequence, expected a string"},
        // Empty files and YAML faults, with the path.
        {"plan.json", "", "missing field `schema_version`"},
        {"plan.yaml", "", "missing field `schema_version`"},
        {"c.yaml", "# nothing\n\n", "missing field `schema_version`"},
        {"two.yaml", "schema_version: 1\ntasks: []\n---\nschema_version: 2\ntasks: []\n",
         "deserializing from YAML containing more than one document is not supported"},
        {"u.yaml", "schema_version: 1\ntasks: []\nextra: 1\n",
         "unknown field `extra`, expected one of `schema_version`, `goal`, `name`, `concurrency`, `tasks` at line 3 "
         "column 1"},
    });
}

TEST_F(PlanLoad, LoadsJsonAndYaml) {
    auto load = [](const fs::path& path) { return Plan::load(path).value(); };
    EXPECT_EQ(load(write("plan.json", kPlanJson)).tasks[0].id, "a");
    EXPECT_EQ(load(write("plan.yaml", kPlanJson)).schema_version, 2u);
    EXPECT_EQ(load(write("plan", "schema_version: 3\ntasks:\n  - id: b\n")).schema_version, 3u);
    // Not JSON (a comment follows), so the json-named file is read as YAML.
    EXPECT_EQ(load(write("plan.json", std::string(kPlanJson) + " # note\n")).schema_version, 2u);
}

// Plans read one over another, as a document's rounds read theirs: each is what a fresh
// load gives, whatever the spent plan held (more or fewer tasks, steps, deps, set or absent
// fields, a resume point, a positional node, a null for each optional field).
TEST_F(PlanLoad, PlansReadOverSpentPlansAreTheirFreshReads) {
    const std::vector<fs::path> files{
        write("full.json",
              R"({"schema_version":1,"name":"n","concurrency":2,"goal":{"text":"g"},"tasks":[{"id":"a","kind":"human",)"
              R"("task":"t","persona":"p","deps":["x","y","z"],"done_when":"d","max_turns":3,"expects_no_diff":true,)"
              R"("context":"c","parked":true,"executor":"e","agent_graph":"ag","repo":"r","repo_type":"team",)"
              R"("workflow":"remote","merge_policy":"change-open","base_branch":"main","branch":"b","title":"ti",)"
              R"("execution_checkout":"ec","verify_via_ci":true,"steps":[{"id":"s1","task":"st","deps":["s0"],)"
              R"("max_turns":2,"executor":"se"},{"id":"s2","kind":"human"}],"resume":{"branch":"rb","checkpoint":"cp",)"
              R"("completed_steps":["s1"]}},{"id":"b","deps":["a"]}]})"),
        write("nulls.json",
              R"({"schema_version":2,"name":null,"goal":null,"tasks":[{"id":"c","deps":["a"],"steps":[{"id":"o"}]},)"
              R"({"id":"d","task":null,"persona":null,"max_turns":null,"repo_type":null,"verify_via_ci":null,)"
              R"("steps":null,"resume":null},{"id":"e"}]})"),
        write("positional.json", R"({"schema_version":3,"tasks":[["f","agent","pt"],{"id":"g"}]})"),
        write("empty.json", R"({"schema_version":4,"tasks":[]})"),
        write("plan.yaml", "schema_version: 5\ntasks:\n  - id: y\n    deps: [a, b]\n    steps:\n      - id: s\n"),
        write("noted.json", std::string(kPlanJson) + " # read as YAML\n"),
    };
    for (const fs::path& spent : files) {
        for (const fs::path& next : files) {
            Result<Plan, SdkError> over = Plan::load(next, Plan::load(spent).value());
            ASSERT_TRUE(over.ok()) << next << " over " << spent;
            EXPECT_EQ(over.value(), Plan::load(next).value()) << next << " over " << spent;
        }
    }
}

TEST_F(PlanLoad, UnreadableFilesAreIoErrors) {
    SdkError::Io gone = io_error(dir_ / "missing.json");
    EXPECT_EQ(gone.path, dir_ / "missing.json");
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
    EXPECT_EQ(io_error(latin1).path, latin1);
    EXPECT_EQ(Plan::load(latin1).error().to_string(), latin1.string() + ": stream did not contain valid UTF-8");
    // A JSON plan is checked for UTF-8 by its reading; a text it refuses is checked as a whole.
    fs::path latin1_json = write("latin1.json", "{\"schema_version\":1,\"name\":\"caf\xe9\",\"tasks\":[]}");
    EXPECT_EQ(Plan::load(latin1_json).error().to_string(), latin1_json.string() + ": stream did not contain valid UTF-8");
}

TEST_F(PlanLoad, PathIsPrintedLossily) {
    fs::path odd = write(std::string("pl\xff" "an.yaml"), "schema_version: 1\n");
    EXPECT_EQ(checks::without_location(message(odd)),
              dir_.string() + "/pl\xEF\xBF\xBD" "an.yaml: missing field `tasks`");
}

}  // namespace
}  // namespace korvalle::plan
