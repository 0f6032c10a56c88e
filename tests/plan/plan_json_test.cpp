// Reading plans and nodes from JSON text, JSON value trees and buffered values: number kinds,
// null rules, positional records, enumeration shapes and the messages of each form.
#include "sdk/base/json_read.hpp"
#include "sdk/plan/plan.hpp"
#include "tests/plan/messages.hpp"

#include <gtest/gtest.h>

#include <string>

namespace korvalle::plan {
namespace {

using checks::expect_each;
using checks::ok;

boost::json::value tree(std::string_view text) {
    Result<boost::json::value> parsed = json::parse(text);
    EXPECT_TRUE(parsed.ok()) << message(parsed.error());
    return parsed.ok() ? std::move(parsed).value() : nullptr;
}

std::string json(const std::string& text) { return checks::outcome(read_plan_json(text)); }
// A plan whose single task is the given JSON node text.
std::string with_node(const std::string& node) { return R"({"schema_version":1,"tasks":[)" + node + "]}"; }
Node node_ok(const std::string& node) { return ok(node_from_value(tree(node))); }

// A node text and its message in each form; the text and buffered forms give `all` unless told.
struct Forms {
    std::string node, all, text = "", buffered = "";
};

void expect_forms(const std::vector<Forms>& rows) {
    for (const Forms& row : rows) {
        EXPECT_EQ(json(with_node(row.node)), row.text.empty() ? row.all : row.text) << row.node;
        EXPECT_EQ(checks::outcome(node_from_value(tree(row.node))), row.all) << row.node;
        EXPECT_EQ(checks::outcome(node_from_content(tree(row.node))), row.buffered.empty() ? row.all : row.buffered)
            << row.node;
    }
}

TEST(PlanJson, MinimalAndDefaults) {
    EXPECT_EQ(ok(read_plan_json(R"({"schema_version":7,"concurrency":0,"tasks":[]})")),
              (Plan{.schema_version = 7, .concurrency = 0}));
    Plan named = ok(read_plan_json(R"({"schema_version":1,"name":null,"goal":null,"tasks":[{"id":"a"},{"id":"a"}]})"));
    EXPECT_EQ(named, (Plan{.schema_version = 1, .tasks = {Node{.id = "a"}, Node{.id = "a"}}}));
    EXPECT_EQ(named.concurrency, 4u);
    EXPECT_EQ(ok(read_plan_json(R"({"schema_version":4294967295,"tasks":[]})")).schema_version, 4294967295u);
    EXPECT_EQ(node_ok(R"({"id":"a","max_turns":4294967295})").max_turns, 4294967295u);
    // Escapes are decoded before the key is matched.
    EXPECT_EQ(json(R"({"schema_version":1,"t\u0061sks":[]})"), "read");
    EXPECT_EQ(json(" {\"schema_version\":1,\"tasks\":[]}\t\r\n"), "read");
}

TEST(PlanJson, NodeFaultsInEveryForm) {
    const std::string u32 = ", expected u32";
    std::string node24 = R"(["a","agent",null,null,[],null,null,false,null,false)";
    for (int i = 10; i < 23; ++i) node24 += ",null";
    node24 += ",1]";
    expect_forms({
        {R"({"id":"a","max_turns":4294967296})", "invalid value: integer `4294967296`" + u32},
        {R"({"id":"a","max_turns":-1})", "invalid value: integer `-1`" + u32},
        {R"({"id":"a","max_turns":1.5})", "invalid type: floating point `1.5`" + u32},
        {R"({"id":"a","parked":null})", "invalid type: null, expected a boolean"},
        {R"({"id":null})", "invalid type: null, expected a string"},
        {R"({"id":5})", "invalid type: integer `5`, expected a string"},
        {R"({"id":"a","deps":null})", "invalid type: null, expected a sequence"},
        {R"({"id":"a","steps":{}})", "invalid type: map, expected a sequence"},
        {R"({"id":"a","steps":[null]})", "invalid type: null, expected struct Step"},
        {R"({"id":"a","resume":{"branch":"b","completed_steps":null}})", "invalid type: null, expected a sequence"},
        {"null", "invalid type: null, expected struct Node"},
        {R"("a")", "invalid type: string \"a\", expected struct Node"},
        // Enumerations: a word, or a map of one word to nothing; text refuses other shapes early.
        {R"({"id":"a","kind":null})", "invalid type: null, expected string or map", "expected value"},
        {R"({"id":"a","kind":1})", "invalid type: integer `1`, expected string or map", "expected value"},
        {R"({"id":"a","kind":{"human":null,"x":null}})", "invalid value: map, expected map with a single key",
         "expected value"},
        {R"({"id":"a","kind":{}})", "invalid value: map, expected map with a single key", "expected value"},
        {R"({"id":"a","kind":{"human":1}})", "invalid type: integer `1`, expected unit"},
        {R"({"id":"a","kind":"Human"})", "unknown variant `Human`, expected `agent` or `human`"},
        {R"({"id":"a","merge_policy":"change_open"})",
         "unknown variant `change_open`, expected one of `local-direct`, `change-open`, `change-auto`, "
         "`change-direct`"},
        // Positional records.
        {"[]", "invalid length 0, expected struct Node with 23 elements"},
        {R"({"id":"a","steps":[[]]})", "invalid length 0, expected struct Step with 10 elements"},
        {R"({"id":"a","steps":[["s","agent",null,null,[],null,null,false,null,null,"x"]]})",
         "invalid length 11, expected fewer elements in array", "trailing characters",
         "invalid length 11, expected 10 elements in sequence"},
        {node24, "invalid length 24, expected fewer elements in array", "trailing characters",
         "invalid length 24, expected 23 elements in sequence"},
    });
}

TEST(PlanJson, NodeValuesInEveryForm) {
    EXPECT_EQ(ok(read_plan_json(with_node(checks::full_node_json))).tasks.at(0), checks::full_node());
    Node read = node_ok(R"({"id":"a","task":null,"steps":null,"verify_via_ci":false,"merge_policy":null,)"
                        R"("kind":{"human":null},"resume":{"branch":"b","checkpoint":null}})");
    EXPECT_EQ(read, (Node{.id = "a", .kind = NodeKind::Human, .verify_via_ci = false, .resume = Resume{"b"}}));
    EXPECT_EQ(ok(read_plan_json(with_node(R"({"id":"a","kind":{"human":null}})"))).tasks[0].kind, NodeKind::Human);
    EXPECT_EQ(ok(node_from_content(tree(R"({"id":"a","repo_type":"single-owner"})"))).repo_type,
              RepoType::SingleOwner);
    // Positional records.
    EXPECT_EQ(node_ok(R"(["a"])"), Node{.id = "a"});
    EXPECT_EQ(ok(node_from_content(tree(R"(["a","human"])"))).kind, NodeKind::Human);
    Plan steps = ok(read_plan_json(with_node(R"({"id":"a","steps":[["s"],["t","human",null,"p"]]})")));
    EXPECT_EQ(steps.tasks[0].steps,
              (std::vector<Step>{{.id = "s"}, {.id = "t", .kind = NodeKind::Human, .persona = "p"}}));
    EXPECT_EQ(ok(read_plan_json(with_node(R"({"id":"a","resume":["b",null]})"))).tasks[0].resume, Resume{"b"});
    EXPECT_EQ(ok(read_plan_json(with_node(R"({"id":"a","resume":["b","c",["s"]]})"))).tasks[0].resume,
              (Resume{"b", "c", {"s"}}));
    EXPECT_EQ(ok(read_plan_json(R"({"schema_version":1,"goal":["g"],"tasks":[]})")).goal, Goal{"g"});
}

TEST(PlanJson, PlanFaults) {
    const std::string u32 = ", expected u32";
    expect_each({
        {R"({"schema_version":4294967296,"tasks":[]})", "invalid value: integer `4294967296`" + u32},
        {R"({"schema_version":1.0,"tasks":[]})", "invalid type: floating point `1.0`" + u32},
        {R"({"schema_version":1e3,"tasks":[]})", "invalid type: floating point `1000.0`" + u32},
        {R"({"schema_version":-0,"tasks":[]})", "invalid type: floating point `-0.0`" + u32},
        {R"({"schema_version":"4","tasks":[]})", "invalid type: string \"4\"" + u32},
        {R"({"schema_version":1,"concurrency":null,"tasks":[]})", "invalid type: null" + u32},
        {"{}", "missing field `schema_version`"},
        {R"({"schema_version":1})", "missing field `tasks`"},
        {R"({"tasks":[]})", "missing field `schema_version`"},
        {R"({"schema_version":1,"schema_version":1,"tasks":[]})", "duplicate field `schema_version`"},
        {R"({"schema_version":1,"tasks":[],"title":"x"})",
         "unknown field `title`, expected one of `schema_version`, `goal`, `name`, `concurrency`, `tasks`"},
        // Repeated and unknown keys in nodes and steps come before the absent id.
        {with_node(R"({"kind":"human","kind":"human"})"), "duplicate field `kind`"},
        {with_node(R"({"id":"a","steps":[{"id":"s","kind":"agent","kind":"human"}]})"), "duplicate field `kind`"},
        {with_node(R"({"id":"a","steps":[{"id":"s","resume":null}]})"),
         "unknown field `resume`, expected one of `id`, `kind`, `task`, `persona`, `deps`, `done_when`, "
         "`max_turns`, `expects_no_diff`, `executor`, `agent_graph`"},
        {R"({"schema_version":1,"goal":{"text":"a","Text":"b"},"tasks":[]})", "unknown field `Text`, expected `text`"},
        {R"({"schema_version":1,"goal":{},"tasks":[]})", "missing field `text`"},
        {R"({"schema_version":1,"goal":[],"tasks":[]})", "invalid length 0, expected struct Goal with 1 element"},
        {R"({"schema_version":1,"tasks":[]} x)", "trailing characters"},
        {"[1]", "invalid length 4, expected struct Plan with 5 elements"},
        {"[]", "invalid length 0, expected struct Plan with 5 elements"},
        {"", "EOF while parsing a value"},
    }, json);
    EXPECT_TRUE(checks::starts(json(with_node(R"({"bogus":1})")), "unknown field `bogus`, "));
    // Keys like a known one in length and at both ends, an empty key, and known keys with a byte
    // more are unknown.
    const std::vector<std::pair<std::string, std::string>> unknown = {
        {"tusk", "tusk"}, {"tAsk", "tAsk"}, {"", ""}, {"persona ", "persona "}, {R"(id\u0000)", std::string("id\0", 3)}};
    for (const auto& [written, key] : unknown) {
        EXPECT_TRUE(checks::starts(json(with_node(R"({")" + written + R"(":1})")), "unknown field `" + key + "`, "));
    }
    std::string located = checks::error_text(read_plan_json("{\n\"schema_version\": 1,\n\"tasks\": [{\"id\": 5}]}"));
    EXPECT_NE(located.find(" at line 3 column "), std::string::npos) << located;
}

TEST(PlanJson, PlanFromRunStartedPayload) {
    for (const char* refused : {R"({"other":1})", R"({"plan":null})", R"({"plan":{"schema_version":1}})",
                                R"({"plan":[1,null,null,null,[]]})", R"({"plan":[1]})",
                                R"({"plan":{"schema_version":1,"tasks":[],"title":"x"}})"}) {
        EXPECT_FALSE(plan_from_value(tree(refused))) << refused;
    }
    EXPECT_EQ(plan_from_value(tree(R"({"plan":[1,null,null,2,[]]})")), (Plan{.schema_version = 1, .concurrency = 2}));
    // Value trees hold each key once: the last value counts, no duplicate is reported.
    EXPECT_EQ(plan_from_value(tree(R"({"plan":{"schema_version":1,"tasks":[],"tasks":[{"id":"x"}]}})")),
              (Plan{.schema_version = 1, .tasks = {Node{.id = "x"}}}));
}

}  // namespace
}  // namespace korvalle::plan
