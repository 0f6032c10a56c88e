// Reading plans from YAML text: scalar rules by field kind, enumerations, fault order, paths
// and locations.
#include "sdk/plan/plan.hpp"
#include "tests/plan/messages.hpp"

#include <gtest/gtest.h>

#include <string>

namespace korvalle::plan {
namespace {

using checks::expect_each;

Plan yaml_ok(const std::string& text) { return checks::ok(read_plan_yaml(text)); }
std::string yaml(const std::string& text) { return checks::outcome(read_plan_yaml(text)); }

// A plan with the given top-level lines after its schema version and no tasks.
std::string top(const std::string& lines) { return "schema_version: 1\n" + lines + "\ntasks: []\n"; }
// A plan holding one task `a` with the given lines (later lines indent themselves).
std::string task(const std::string& lines) { return "schema_version: 1\ntasks:\n  - id: a\n    " + lines + "\n"; }
Node task_ok(const std::string& lines) {
    Plan plan = yaml_ok(task(lines));
    return plan.tasks.empty() ? Node{} : plan.tasks[0];
}

const std::string plan_fields = "`schema_version`, `goal`, `name`, `concurrency`, `tasks`";
const std::string kinds = "expected `agent` or `human`";

TEST(PlanYaml, ReadsEveryFieldAndDefaults) {
    EXPECT_EQ(yaml_ok("schema_version: 1\ntasks: []\n"), (Plan{.schema_version = 1}));
    EXPECT_EQ(yaml_ok("schema_version: 1\ntasks: []\n").concurrency, 4u);
    Plan plan = yaml_ok(R"(schema_version: 7
goal: {text: ship it}
name: demo
concurrency: 0
tasks:
  - {id: n1, kind: human, task: task, persona: persona, deps: [a, "run:other#b", a], done_when: done,
     max_turns: 12, expects_no_diff: true, context: ctx, parked: True, executor: exec, agent_graph: graph,
     repo: repo, repo_type: team, workflow: remote, merge_policy: change-direct, base_branch: main,
     branch: feature, title: title, execution_checkout: checkout, verify_via_ci: false,
     steps: [{id: s1, kind: human, task: t, persona: p, deps: [x], done_when: d, max_turns: 0,
              expects_no_diff: true, executor: e, agent_graph: g}],
     resume: {branch: b, checkpoint: "", completed_steps: [s1, s1]}}
)");
    EXPECT_EQ(plan, (Plan{.schema_version = 7, .goal = Goal{"ship it"}, .name = "demo", .concurrency = 0,
                          .tasks = {checks::full_node()}}));
}

TEST(PlanYaml, UnsignedNumberForms) {
    for (auto [text, value] : std::vector<std::pair<std::string, std::uint32_t>>{
             {"0x10", 16}, {"+5", 5}, {"0o17", 15}, {"0b101", 5}, {"4294967295", 4294967295u}}) {
        EXPECT_EQ(yaml_ok("schema_version: " + text + "\ntasks: []").schema_version, value) << text;
    }
    const std::string u32 = ", expected u32";
    expect_each({
        {top("concurrency: 4294967296"), "concurrency: invalid value: integer `4294967296`" + u32},
        {task("max_turns: -1"), "tasks[0].max_turns: invalid type: integer `-1`" + u32},
        {"schema_version: -0\ntasks: []", "schema_version: invalid type: integer `0`" + u32},
        {"schema_version: 007\ntasks: []", "schema_version: invalid type: string \"007\"" + u32},
        {"schema_version: \"4\"\ntasks: []", "schema_version: invalid type: string \"4\"" + u32},
        {"schema_version: 1.5\ntasks: []", "schema_version: invalid type: floating point `1.5`" + u32},
        {"schema_version: 1e3\ntasks: []", "schema_version: invalid type: floating point `1000.0`" + u32},
        {top("concurrency:"), "concurrency: invalid type: unit value" + u32},
        {top("concurrency: ~"), "concurrency: invalid type: unit value" + u32},
        // Upper-case prefixes and digit separators are not numbers.
        {"schema_version: 0X10\ntasks: []", "schema_version: invalid type: string \"0X10\"" + u32},
        {"schema_version: 1_000\ntasks: []", "schema_version: invalid type: string \"1_000\"" + u32},
        {"schema_version: 99999999999999999999\ntasks: []",
         "schema_version: invalid type: integer `99999999999999999999` as u128" + u32},
    }, yaml);
}

TEST(PlanYaml, NullWordsByFieldKind) {
    // Required text: the scalar's own characters.
    EXPECT_EQ(yaml_ok("schema_version: 1\ntasks:\n  - id: ~\n").tasks[0].id, "~");
    EXPECT_EQ(yaml_ok("schema_version: 1\ntasks:\n  - id:\n").tasks[0].id, "");
    EXPECT_EQ(yaml_ok("schema_version: 1\ntasks:\n  - id: 01\n").tasks[0].id, "01");
    EXPECT_EQ(task_ok("resume: {branch: ~}").resume->branch, "~");
    // Optional text: none; quoted null words are text.
    for (const char* none : {"task: ~", "task: NULL", "task: !!null null"}) EXPECT_FALSE(task_ok(none).task) << none;
    EXPECT_EQ(task_ok("task: 'null'").task, "null");
    EXPECT_EQ(task_ok("task: ''").task, "");
    EXPECT_FALSE(yaml_ok(top("goal:")).goal);
    EXPECT_EQ(yaml_ok(top("name: ''")).name, "");
    // Lists: nothing is empty, ~ is not a list (below); optional lists and records: none.
    EXPECT_TRUE(task_ok("deps:").deps.empty());
    EXPECT_EQ(task_ok("deps: [~, '']").deps, (std::vector<std::string>{"~", ""}));
    EXPECT_FALSE(task_ok("steps:").steps);
    EXPECT_FALSE(task_ok("steps: ~").steps);
    EXPECT_FALSE(task_ok("resume:").resume);
    EXPECT_TRUE(task_ok("steps: []").steps->empty());
    expect_each({
        {task("deps: ~"), "tasks[0].deps: invalid type: unit value, expected a sequence"},
        // Flags with a default refuse null.
        {task("parked: ~"), "tasks[0].parked: invalid type: unit value, expected a boolean"},
        {task("resume: {branch: b, completed_steps: ~}"),
         "tasks[0].resume.completed_steps: invalid type: unit value, expected a sequence"},
    }, yaml);
}

TEST(PlanYaml, FlagsAndRecordShapes) {
    EXPECT_TRUE(task_ok("expects_no_diff: TRUE").expects_no_diff);
    EXPECT_TRUE(task_ok("expects_no_diff: True").expects_no_diff);
    EXPECT_TRUE(yaml_ok("schema_version: 1\ntasks:\n").tasks.empty());
    expect_each({
        {task("expects_no_diff: yes"), "tasks[0].expects_no_diff: invalid type: string \"yes\", expected a boolean"},
        {task("expects_no_diff: \"true\""),
         "tasks[0].expects_no_diff: invalid type: string \"true\", expected a boolean"},
        {task("expects_no_diff: on"), "tasks[0].expects_no_diff: invalid type: string \"on\", expected a boolean"},
        {"schema_version: 1\ntasks:\n  -\n", "tasks[0]: missing field `id`"},
        {task("steps:\n      -"), "tasks[0].steps[0]: missing field `id`"},
        {task("steps:\n      - ~"), "tasks[0].steps[0]: invalid type: unit value, expected struct Step"},
        {task("steps:\n      - s1"), "tasks[0].steps[0]: invalid type: string \"s1\", expected struct Step"},
        {"schema_version: 1\ntasks:\n  - [a]\n", "tasks[0]: invalid type: sequence, expected struct Node"},
        {task("steps: {id: x}"), "tasks[0].steps: invalid type: map, expected a sequence"},
        {top("goal: \"x\""), "goal: invalid type: string \"x\", expected struct Goal"},
        {top("goal: [a, b]"), "goal: invalid type: sequence, expected struct Goal"},
        {"- 1\n- 2\n", "invalid type: sequence, expected struct Plan"},
        {"", "missing field `schema_version`"},
        {"---\n", "missing field `schema_version`"},
        {"schema_version: 1\n", "missing field `tasks`"},
    }, yaml);
}

TEST(PlanYaml, EnumerationShapes) {
    EXPECT_EQ(task_ok("kind: !human").kind, NodeKind::Human);
    EXPECT_EQ(task_ok("kind: !human ~").kind, NodeKind::Human);
    EXPECT_EQ(task_ok("kind: 'human'").kind, NodeKind::Human);
    EXPECT_EQ(task_ok("merge_policy: !change-auto").merge_policy, MergePolicy::ChangeAuto);
    EXPECT_FALSE(task_ok("merge_policy:").merge_policy);
    EXPECT_FALSE(task_ok("workflow: ~").workflow);
    const std::string tag = "expected a YAML tag starting with '!'";
    expect_each({
        {task("kind: !human x"), "tasks[0].kind: invalid value: string \"x\", expected null"},
        {task("kind: {human: ~}"), "tasks[0].kind: invalid type: map, " + tag},
        {task("kind: [human]"), "tasks[0].kind: invalid type: sequence, " + tag},
        {task("kind:"), "tasks[0].kind: unknown variant ``, " + kinds},
        {task("kind: ~"), "tasks[0].kind: unknown variant `~`, " + kinds},
        {task("kind: Human"), "tasks[0].kind: unknown variant `Human`, " + kinds},
        {task("kind: 'human '"), "tasks[0].kind: unknown variant `human `, " + kinds},
        {task("merge_policy: change_open"),
         "tasks[0].merge_policy: unknown variant `change_open`, expected one of `local-direct`, `change-open`, "
         "`change-auto`, `change-direct`"},
    }, yaml);
}

TEST(PlanYaml, KeysAndFaultOrder) {
    expect_each({
        {top("goal: {text: a, Text: b}"), "goal: unknown field `Text`, expected `text`"},
        {top("title: x"), "unknown field `title`, expected one of " + plan_fields},
        {"schema_version: 1\nschema_version: 1\ntasks: []", "duplicate field `schema_version`"},
        {top("name: a\nname: a"), "duplicate field `name`"},
        // A bad key or a repeated key wins over the absent id.
        {"schema_version: 1\ntasks:\n  - {kind: human, kind: human}\n", "tasks[0]: duplicate field `kind`"},
        {"schema_version: 1\ntasks:\n  - {Id: a}\n",
         "tasks[0]: unknown field `Id`, expected one of `id`, `kind`, `task`, `persona`, `deps`, `done_when`, "
         "`max_turns`, `expects_no_diff`, `context`, `parked`, `executor`, `agent_graph`, `repo`, `repo_type`, "
         "`workflow`, `merge_policy`, `base_branch`, `branch`, `title`, `execution_checkout`, `verify_via_ci`, "
         "`steps`, `resume`"},
        {task("steps:\n      - {id: s, parked: true}"),
         "tasks[0].steps[0]: unknown field `parked`, expected one of `id`, `kind`, `task`, `persona`, `deps`, "
         "`done_when`, `max_turns`, `expects_no_diff`, `executor`, `agent_graph`"},
        {task("resume: {checkpoint: c}"), "tasks[0].resume: missing field `branch`"},
        {task("resume: {branch: b, step: s}"),
         "tasks[0].resume: unknown field `step`, expected one of `branch`, `checkpoint`, `completed_steps`"},
        {top("[a]: 1"), "invalid type: sequence, expected field identifier"},
        // "<<" is an ordinary (unknown) key, not a merge.
        {top("<<: {name: x}"), "unknown field `<<`, expected one of " + plan_fields},
    }, yaml);
}

TEST(PlanYaml, LocationsNameLineAndColumn) {
    expect_each({
        {task("kind: robot"), "tasks[0].kind: unknown variant `robot`, " + kinds + " at line 4 column 11"},
        {"schema_version: 1\ntasks:\n  - kind: human\n", "tasks[0]: missing field `id` at line 3 column 5"},
        {top("bogus: 2"), "unknown field `bogus`, expected one of " + plan_fields + " at line 2 column 1"},
        // Alias faults: a self-referencing anchor ends in a message; a fault before the alias comes first.
        {task("deps: &a [*a]"), "tasks[0].deps[0]: invalid type: sequence, expected a string at line 4 column 11"},
        {task("steps: &s [{id: x}, *s]"),
         "tasks[0].steps[1]: invalid type: sequence, expected struct Step at line 4 column 12"},
        {"schema_version: 1\ntasks: &t [*t]\n",
         "tasks[0]: invalid type: sequence, expected struct Node at line 2 column 8"},
        {"schema_version: 1\ntasks:\n  - id: *missing\n", "unknown anchor at line 3 column 9"},
        {"schema_version: 1\ntasks: []\nname: *missing\n", "unknown anchor at line 3 column 7"},
        {"schema_version: x\ntasks: *missing\n",
         "schema_version: invalid type: string \"x\", expected u32 at line 1 column 17"},
    }, [](const std::string& text) { return checks::error_text(read_plan_yaml(text)); });
}

TEST(PlanYaml, AliasesStandForTheirNodes) {
    Plan plan = yaml_ok(R"(schema_version: 1
tasks:
  - {id: a, deps: &d [x, y], task: &t hello}
  - id: b
    deps: *d
    task: *t
    steps: &s
      - id: s1
  - {id: c, steps: *s}
)");
    ASSERT_EQ(plan.tasks.size(), 3u);
    EXPECT_EQ(plan.tasks[1].deps, (std::vector<std::string>{"x", "y"}));
    EXPECT_EQ(plan.tasks[1].task, "hello");
    EXPECT_EQ(plan.tasks[2].steps, plan.tasks[1].steps);
}

TEST(PlanYaml, SyntaxErrorsAndDocuments) {
    // A syntax error after a complete root still fails, also after a whole flow-mapping plan.
    EXPECT_TRUE(checks::starts(checks::error_text(read_plan_yaml("schema_version: 1\ntasks: []\nname: 'open\n")),
                               "found unexpected end of stream at line 4 column 1, while scanning a quoted scalar "
                               "at line 3 column 7"));
    EXPECT_TRUE(checks::starts(checks::error_text(read_plan_yaml("{schema_version: 1, tasks: []} 'open\n")),
                               "found unexpected end of stream"));
    EXPECT_NE(checks::error_text(read_plan_yaml("schema_version: 1\ntasks: []\n\tx: 1\n")).find("line 3"), std::string::npos);
    const std::string several = "deserializing from YAML containing more than one document is not supported";
    expect_each({
        {"schema_version: 1\ntasks: []\n---\nx: 1\n", several},
        {"schema_version: 1\ntasks: []\n---\n", several},
        // A fault in the first document wins over the second document.
        {"schema_version: 1\n---\n", "missing field `tasks`"},
        {"# only a comment\nschema_version: 1 # here\ntasks: []\n...\n", "read"},
    }, yaml);
}

}  // namespace
}  // namespace korvalle::plan
