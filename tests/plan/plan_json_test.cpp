// Reading plans and nodes from JSON text, JSON value trees and buffered values: number kinds,
// null rules, positional records, enumeration shapes and the messages of each form.
#include "sdk/json.hpp"
#include "sdk/plan.hpp"
#include "tests/plan/messages.hpp"

#include <gtest/gtest.h>

#include <string>

namespace korvalle::plan {
namespace {

using checks::without_location;

boost::json::value tree(std::string_view text) {
    json::ParseResult parsed = json::parse(text);
    EXPECT_TRUE(parsed.value) << parsed.error;
    return parsed.value.value_or(nullptr);
}

Plan json_ok(const std::string& text) {
    Read<Plan> read = read_plan_json(text);
    EXPECT_TRUE(read.ok()) << read.error;
    return read.value.value_or(Plan{});
}

std::string json_error(const std::string& text) {
    Read<Plan> read = read_plan_json(text);
    EXPECT_FALSE(read.ok());
    return without_location(read.error);
}

// A plan whose single task is the given JSON node text.
std::string with_node(const std::string& node) { return R"({"schema_version":1,"tasks":[)" + node + "]}"; }

// The node text read in all three JSON forms; each message, or "" when read.
struct Three {
    std::string text, value, buffered;
};
Three node_errors(const std::string& node) {
    Read<Plan> text = read_plan_json(with_node(node));
    Read<Node> value = node_from_value(tree(node));
    Read<Node> buffered = node_from_content(tree(node));
    return {without_location(text.error), value.error,
            buffered.error};
}

TEST(PlanJson, MinimalAndDefaults) {
    Plan plan = json_ok(R"({"schema_version":7,"concurrency":0,"tasks":[]})");
    EXPECT_EQ(plan.schema_version, 7u);
    EXPECT_EQ(plan.concurrency, 0u);
    Plan named = json_ok(R"({"schema_version":1,"name":null,"goal":null,"tasks":[{"id":"a"},{"id":"a"}]})");
    EXPECT_FALSE(named.name);
    EXPECT_FALSE(named.goal);
    EXPECT_EQ(named.concurrency, 4u);
    ASSERT_EQ(named.tasks.size(), 2u);
    Node only_id;
    only_id.id = "a";
    EXPECT_EQ(named.tasks[0], only_id);
}

TEST(PlanJson, NumberKinds) {
    EXPECT_EQ(json_ok(R"({"schema_version":4294967295,"tasks":[]})").schema_version, 4294967295u);
    EXPECT_EQ(json_error(R"({"schema_version":4294967296,"tasks":[]})"),
              "invalid value: integer `4294967296`, expected u32");
    EXPECT_EQ(json_error(with_node(R"({"id":"a","max_turns":-1})")), "invalid value: integer `-1`, expected u32");
    EXPECT_EQ(json_error(R"({"schema_version":1.0,"tasks":[]})"),
              "invalid type: floating point `1.0`, expected u32");
    EXPECT_EQ(json_error(R"({"schema_version":1e3,"tasks":[]})"),
              "invalid type: floating point `1000.0`, expected u32");
    EXPECT_EQ(json_error(R"({"schema_version":-0,"tasks":[]})"), "invalid type: floating point `-0.0`, expected u32");
    EXPECT_EQ(json_error(R"({"schema_version":"4","tasks":[]})"), "invalid type: string \"4\", expected u32");
    EXPECT_EQ(json_error(R"({"schema_version":1,"concurrency":null,"tasks":[]})"),
              "invalid type: null, expected u32");
    EXPECT_EQ(node_errors(R"({"id":"a","max_turns":4294967296})").value,
              "invalid value: integer `4294967296`, expected u32");
    EXPECT_EQ(node_errors(R"({"id":"a","max_turns":-1})").value, "invalid value: integer `-1`, expected u32");
    EXPECT_EQ(node_errors(R"({"id":"a","max_turns":1.5})").value, "invalid type: floating point `1.5`, expected u32");
    EXPECT_EQ(node_from_value(tree(R"({"id":"a","max_turns":4294967295})")).value->max_turns, 4294967295u);
}

TEST(PlanJson, NullsAndTypes) {
    Three parked = node_errors(R"({"id":"a","parked":null})");
    EXPECT_EQ(parked.text, "invalid type: null, expected a boolean");
    EXPECT_EQ(parked.value, "invalid type: null, expected a boolean");
    EXPECT_EQ(node_errors(R"({"id":null})").value, "invalid type: null, expected a string");
    EXPECT_EQ(node_errors(R"({"id":5})").text, "invalid type: integer `5`, expected a string");
    EXPECT_EQ(node_errors(R"({"id":"a","deps":null})").buffered, "invalid type: null, expected a sequence");
    EXPECT_EQ(node_errors(R"({"id":"a","steps":{}})").text, "invalid type: map, expected a sequence");
    EXPECT_EQ(node_errors(R"({"id":"a","steps":[null]})").value, "invalid type: null, expected struct Step");
    EXPECT_EQ(node_errors(R"({"id":"a","resume":{"branch":"b","completed_steps":null}})").text,
              "invalid type: null, expected a sequence");
    Read<Node> node = node_from_value(
        tree(R"({"id":"a","task":null,"steps":null,"verify_via_ci":false,"resume":{"branch":"b","checkpoint":null}})"));
    ASSERT_TRUE(node.ok()) << node.error;
    EXPECT_FALSE(node.value->task);
    EXPECT_FALSE(node.value->steps);
    EXPECT_EQ(node.value->verify_via_ci, false);
    EXPECT_FALSE(node.value->resume->checkpoint);
    EXPECT_EQ(node_errors("null").value, "invalid type: null, expected struct Node");
    EXPECT_EQ(node_errors(R"("a")").text, "invalid type: string \"a\", expected struct Node");
}

TEST(PlanJson, EnumerationShapes) {
    EXPECT_EQ(node_errors(R"({"id":"a","kind":null})").text, "expected value");
    EXPECT_EQ(node_errors(R"({"id":"a","kind":null})").value, "invalid type: null, expected string or map");
    EXPECT_EQ(node_errors(R"({"id":"a","kind":1})").buffered, "invalid type: integer `1`, expected string or map");
    EXPECT_EQ(node_from_value(tree(R"({"id":"a","kind":{"human":null}})")).value->kind, NodeKind::Human);
    EXPECT_EQ(json_ok(with_node(R"({"id":"a","kind":{"human":null}})")).tasks[0].kind, NodeKind::Human);
    EXPECT_EQ(node_errors(R"({"id":"a","kind":{"human":null,"x":null}})").value,
              "invalid value: map, expected map with a single key");
    EXPECT_EQ(node_errors(R"({"id":"a","kind":{}})").value, "invalid value: map, expected map with a single key");
    Three extra = node_errors(R"({"id":"a","kind":{"human":null,"x":null}})");
    EXPECT_EQ(extra.text, "expected value");
    EXPECT_EQ(node_errors(R"({"id":"a","kind":{}})").text, "expected value");
    EXPECT_EQ(node_errors(R"({"id":"a","kind":{"human":1}})").text, "invalid type: integer `1`, expected unit");
    EXPECT_EQ(node_errors(R"({"id":"a","kind":{"human":1}})").value, "invalid type: integer `1`, expected unit");
    Three human = node_errors(R"({"id":"a","kind":"Human"})");
    EXPECT_EQ(human.text, "unknown variant `Human`, expected `agent` or `human`");
    EXPECT_EQ(human.buffered, "unknown variant `Human`, expected `agent` or `human`");
    EXPECT_EQ(node_errors(R"({"id":"a","merge_policy":"change_open"})").value,
              "unknown variant `change_open`, expected one of `local-direct`, `change-open`, `change-auto`, "
              "`change-direct`");
    EXPECT_FALSE(node_from_value(tree(R"({"id":"a","merge_policy":null})")).value->merge_policy);
    EXPECT_EQ(node_from_content(tree(R"({"id":"a","repo_type":"single-owner"})")).value->repo_type,
              RepoType::SingleOwner);
}

TEST(PlanJson, KeysAndFaultOrder) {
    EXPECT_EQ(json_error("{}"), "missing field `schema_version`");
    EXPECT_EQ(json_error(R"({"schema_version":1})"), "missing field `tasks`");
    EXPECT_EQ(json_error(R"({"tasks":[]})"), "missing field `schema_version`");
    EXPECT_EQ(json_error(R"({"schema_version":1,"schema_version":1,"tasks":[]})"), "duplicate field `schema_version`");
    EXPECT_EQ(json_error(R"({"schema_version":1,"tasks":[],"title":"x"})"),
              "unknown field `title`, expected one of `schema_version`, `goal`, `name`, `concurrency`, `tasks`");
    EXPECT_EQ(json_error(with_node(R"({"kind":"human","kind":"human"})")), "duplicate field `kind`");
    EXPECT_EQ(json_error(with_node(R"({"bogus":1})")).substr(0, 23), "unknown field `bogus`, ");
    EXPECT_EQ(json_error(with_node(R"({"id":"a","steps":[{"id":"s","kind":"agent","kind":"human"}]})")),
              "duplicate field `kind`");
    EXPECT_EQ(json_error(with_node(R"({"id":"a","steps":[{"id":"s","resume":null}]})")),
              "unknown field `resume`, expected one of `id`, `kind`, `task`, `persona`, `deps`, `done_when`, "
              "`max_turns`, `expects_no_diff`, `executor`, `agent_graph`");
    // Escapes are decoded before the key is matched.
    EXPECT_EQ(json_ok(R"({"schema_version":1,"t\u0061sks":[]})").schema_version, 1u);
    EXPECT_EQ(json_error(R"({"schema_version":1,"goal":{"text":"a","Text":"b"},"tasks":[]})"),
              "unknown field `Text`, expected `text`");
    EXPECT_EQ(json_error(R"({"schema_version":1,"goal":{},"tasks":[]})"), "missing field `text`");
    // Value trees hold each key once: the last value counts, no duplicate is reported.
    auto plan = plan_from_value(tree(R"({"plan":{"schema_version":1,"tasks":[],"tasks":[{"id":"x"}]}})"));
    ASSERT_TRUE(plan);
    ASSERT_EQ(plan->tasks.size(), 1u);
    EXPECT_EQ(plan->tasks[0].id, "x");
}

TEST(PlanJson, PositionalRecords) {
    EXPECT_EQ(json_error(R"({"schema_version":1,"goal":[],"tasks":[]})"),
              "invalid length 0, expected struct Goal with 1 element");
    EXPECT_EQ(json_ok(R"({"schema_version":1,"goal":["g"],"tasks":[]})").goal->text, "g");
    Read<Node> one = node_from_value(tree(R"(["a"])"));
    ASSERT_TRUE(one.ok()) << one.error;
    EXPECT_EQ(one.value->id, "a");
    EXPECT_EQ(node_from_content(tree(R"(["a","human"])")).value->kind, NodeKind::Human);
    Three empty = node_errors("[]");
    EXPECT_EQ(empty.text, "invalid length 0, expected struct Node with 23 elements");
    EXPECT_EQ(empty.value, "invalid length 0, expected struct Node with 23 elements");

    Plan steps = json_ok(with_node(R"({"id":"a","steps":[["s"],["t","human",null,"p"]]})"));
    const Step& t = (*steps.tasks[0].steps)[1];
    EXPECT_EQ(t.kind, NodeKind::Human);
    EXPECT_FALSE(t.task);
    EXPECT_EQ(t.persona, "p");
    Three step_empty = node_errors(R"({"id":"a","steps":[[]]})");
    EXPECT_EQ(step_empty.buffered, "invalid length 0, expected struct Step with 10 elements");
    Three eleven = node_errors(R"({"id":"a","steps":[["s","agent",null,null,[],null,null,false,null,null,"x"]]})");
    EXPECT_EQ(eleven.text, "trailing characters");
    EXPECT_EQ(eleven.value, "invalid length 11, expected fewer elements in array");
    EXPECT_EQ(eleven.buffered, "invalid length 11, expected 10 elements in sequence");
    std::string node24 = R"(["a","agent",null,null,[],null,null,false,null,false)";
    for (int i = 10; i < 23; ++i) node24 += ",null";
    node24 += ",1]";
    EXPECT_EQ(node_errors(node24).text, "trailing characters");
    EXPECT_EQ(node_errors(node24).value, "invalid length 24, expected fewer elements in array");

    Plan resume = json_ok(with_node(R"({"id":"a","resume":["b",null]})"));
    EXPECT_EQ(resume.tasks[0].resume->branch, "b");
    EXPECT_FALSE(resume.tasks[0].resume->checkpoint);
    Plan full = json_ok(with_node(R"({"id":"a","resume":["b","c",["s"]]})"));
    EXPECT_EQ(full.tasks[0].resume->completed_steps, (std::vector<std::string>{"s"}));
}

TEST(PlanJson, PlanFromRunStartedPayload) {
    EXPECT_FALSE(plan_from_value(tree(R"({"other":1})")));
    EXPECT_FALSE(plan_from_value(tree(R"({"plan":null})")));
    EXPECT_FALSE(plan_from_value(tree(R"({"plan":{"schema_version":1}})")));
    auto positional = plan_from_value(tree(R"({"plan":[1,null,null,2,[]]})"));
    ASSERT_TRUE(positional);
    EXPECT_EQ(positional->concurrency, 2u);
    EXPECT_EQ(positional->schema_version, 1u);
    EXPECT_FALSE(plan_from_value(tree(R"({"plan":[1,null,null,null,[]]})")));
    EXPECT_FALSE(plan_from_value(tree(R"({"plan":[1]})")));
    EXPECT_FALSE(plan_from_value(tree(R"({"plan":{"schema_version":1,"tasks":[],"title":"x"}})")));
}

TEST(PlanJson, PlanTextEdges) {
    EXPECT_EQ(json_error(R"({"schema_version":1,"tasks":[]} x)"), "trailing characters");
    EXPECT_TRUE(read_plan_json(" {\"schema_version\":1,\"tasks\":[]}\t\r\n").ok());
    EXPECT_EQ(json_error("[1]"), "invalid length 4, expected struct Plan with 5 elements");
    EXPECT_EQ(json_error("[]"), "invalid length 0, expected struct Plan with 5 elements");
    EXPECT_EQ(json_error(""), "EOF while parsing a value");
    Read<Plan> located = read_plan_json("{\n\"schema_version\": 1,\n\"tasks\": [{\"id\": 5}]}");
    EXPECT_NE(located.error.find(" at line 3 column "), std::string::npos) << located.error;
}

}  // namespace
}  // namespace korvalle::plan
