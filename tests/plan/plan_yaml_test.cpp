// Reading plans from YAML text: scalar rules by field kind, enumerations, fault order, paths
// and locations.
#include "sdk/plan.hpp"
#include "tests/plan/messages.hpp"

#include <gtest/gtest.h>

#include <string>

namespace korvalle::plan {
namespace {

using checks::without_location;

Plan yaml_ok(const std::string& text) {
    Read<Plan> read = read_plan_yaml(text);
    EXPECT_TRUE(read.ok()) << read.error;
    return read.value.value_or(Plan{});
}

// The message without its " at line L column C" suffix.
std::string yaml_error(const std::string& text) {
    Read<Plan> read = read_plan_yaml(text);
    EXPECT_FALSE(read.ok());
    return without_location(read.error);
}

// A plan holding one task whose body is the given lines (indented under "- ").
std::string task(const std::string& fields) { return "schema_version: 1\ntasks:\n  - id: a\n" + fields; }

TEST(PlanYaml, MinimalPlanTakesDefaults) {
    Plan plan = yaml_ok("schema_version: 1\ntasks: []\n");
    EXPECT_EQ(plan.schema_version, 1u);
    EXPECT_FALSE(plan.goal);
    EXPECT_FALSE(plan.name);
    EXPECT_EQ(plan.concurrency, 4u);
    EXPECT_TRUE(plan.tasks.empty());
}

TEST(PlanYaml, FullNodeReadsEveryField) {
    Plan plan = yaml_ok(R"(schema_version: 7
goal: {text: ship it}
name: demo
concurrency: 0
tasks:
  - id: a
    kind: human
    task: do
    persona: p
    deps: [b, "run:r1#c"]
    done_when: w
    max_turns: 0
    expects_no_diff: true
    context: c
    parked: True
    executor: e
    agent_graph: g
    repo: r
    repo_type: team
    workflow: remote
    merge_policy: change-open
    base_branch: main
    branch: feat
    title: t
    execution_checkout: x
    verify_via_ci: false
    steps:
      - id: s1
        kind: human
        deps: [a]
        max_turns: 3
    resume: {branch: feat, checkpoint: "", completed_steps: [s1, s1]}
)");
    ASSERT_EQ(plan.tasks.size(), 1u);
    const Node& n = plan.tasks[0];
    EXPECT_EQ(plan.goal->text, "ship it");
    EXPECT_EQ(plan.concurrency, 0u);
    EXPECT_EQ(n.kind, NodeKind::Human);
    EXPECT_EQ(n.deps, (std::vector<std::string>{"b", "run:r1#c"}));
    EXPECT_EQ(n.max_turns, 0u);
    EXPECT_TRUE(n.parked);
    EXPECT_EQ(n.repo_type, RepoType::Team);
    EXPECT_EQ(n.workflow, Workflow::Remote);
    EXPECT_EQ(n.merge_policy, MergePolicy::ChangeOpen);
    EXPECT_EQ(n.verify_via_ci, false);
    ASSERT_TRUE(n.steps);
    ASSERT_EQ(n.steps->size(), 1u);
    EXPECT_EQ((*n.steps)[0].kind, NodeKind::Human);
    EXPECT_EQ((*n.steps)[0].max_turns, 3u);
    ASSERT_TRUE(n.resume);
    EXPECT_EQ(n.resume->checkpoint, "");
    EXPECT_EQ(n.resume->completed_steps, (std::vector<std::string>{"s1", "s1"}));
}

TEST(PlanYaml, UnsignedNumberForms) {
    EXPECT_EQ(yaml_ok("schema_version: 0x10\ntasks: []").schema_version, 16u);
    EXPECT_EQ(yaml_ok("schema_version: +5\ntasks: []").schema_version, 5u);
    EXPECT_EQ(yaml_ok("schema_version: 0o17\ntasks: []").schema_version, 15u);
    EXPECT_EQ(yaml_ok("schema_version: 0b101\ntasks: []").schema_version, 5u);
    EXPECT_EQ(yaml_ok("schema_version: 1\nconcurrency: 4294967295\ntasks: []").concurrency, 4294967295u);
    EXPECT_EQ(yaml_error("schema_version: 1\nconcurrency: 4294967296\ntasks: []"),
              "concurrency: invalid value: integer `4294967296`, expected u32");
    EXPECT_EQ(yaml_error("schema_version: 007\ntasks: []"),
              "schema_version: invalid type: string \"007\", expected u32");
    EXPECT_EQ(yaml_error(task("    max_turns: -1\n")),
              "tasks[0].max_turns: invalid type: integer `-1`, expected u32");
    EXPECT_EQ(yaml_error("schema_version: -0\ntasks: []"), "schema_version: invalid type: integer `0`, expected u32");
    EXPECT_EQ(yaml_error("schema_version: \"4\"\ntasks: []"),
              "schema_version: invalid type: string \"4\", expected u32");
    EXPECT_EQ(yaml_error("schema_version: 1.5\ntasks: []"),
              "schema_version: invalid type: floating point `1.5`, expected u32");
    EXPECT_EQ(yaml_error("schema_version: 1e3\ntasks: []"),
              "schema_version: invalid type: floating point `1000.0`, expected u32");
    EXPECT_EQ(yaml_error("schema_version: 1\nconcurrency:\ntasks: []"),
              "concurrency: invalid type: unit value, expected u32");
    EXPECT_EQ(yaml_error("schema_version: 1\nconcurrency: ~\ntasks: []"),
              "concurrency: invalid type: unit value, expected u32");
    // Upper-case prefixes and digit separators are not numbers.
    EXPECT_EQ(yaml_error("schema_version: 0X10\ntasks: []"),
              "schema_version: invalid type: string \"0X10\", expected u32");
    EXPECT_EQ(yaml_error("schema_version: 1_000\ntasks: []"),
              "schema_version: invalid type: string \"1_000\", expected u32");
    EXPECT_EQ(yaml_error("schema_version: 99999999999999999999\ntasks: []"),
              "schema_version: invalid type: integer `99999999999999999999` as u128, expected u32");
}

TEST(PlanYaml, NullWordsByFieldKind) {
    // Required text: the scalar's own characters.
    EXPECT_EQ(yaml_ok("schema_version: 1\ntasks:\n  - id: ~\n").tasks[0].id, "~");
    EXPECT_EQ(yaml_ok("schema_version: 1\ntasks:\n  - id:\n").tasks[0].id, "");
    EXPECT_EQ(yaml_ok("schema_version: 1\ntasks:\n  - id: 01\n").tasks[0].id, "01");
    // Optional text: none; quoted null words are text.
    EXPECT_FALSE(yaml_ok(task("    task: ~\n")).tasks[0].task);
    EXPECT_FALSE(yaml_ok(task("    task: NULL\n")).tasks[0].task);
    EXPECT_FALSE(yaml_ok(task("    task: !!null null\n")).tasks[0].task);
    EXPECT_EQ(yaml_ok(task("    task: 'null'\n")).tasks[0].task, "null");
    EXPECT_EQ(yaml_ok(task("    task: ''\n")).tasks[0].task, "");
    // Lists: nothing is empty, ~ is not a list.
    EXPECT_TRUE(yaml_ok(task("    deps:\n")).tasks[0].deps.empty());
    EXPECT_EQ(yaml_error(task("    deps: ~\n")), "tasks[0].deps: invalid type: unit value, expected a sequence");
    EXPECT_EQ(yaml_ok(task("    deps: [~, '']\n")).tasks[0].deps, (std::vector<std::string>{"~", ""}));
    // Flags with a default refuse null.
    EXPECT_EQ(yaml_error(task("    parked: ~\n")), "tasks[0].parked: invalid type: unit value, expected a boolean");
    // Optional lists and records: none.
    EXPECT_FALSE(yaml_ok(task("    steps:\n")).tasks[0].steps);
    EXPECT_FALSE(yaml_ok(task("    steps: ~\n")).tasks[0].steps);
    EXPECT_FALSE(yaml_ok(task("    resume:\n")).tasks[0].resume);
    EXPECT_TRUE(yaml_ok(task("    steps: []\n")).tasks[0].steps->empty());
    EXPECT_FALSE(yaml_ok("schema_version: 1\ngoal:\ntasks: []").goal);
    EXPECT_EQ(yaml_ok("schema_version: 1\nname: ''\ntasks: []").name, "");
    EXPECT_EQ(yaml_error(task("    resume: {branch: b, completed_steps: ~}\n")),
              "tasks[0].resume.completed_steps: invalid type: unit value, expected a sequence");
    EXPECT_EQ(yaml_ok(task("    resume: {branch: ~}\n")).tasks[0].resume->branch, "~");
}

TEST(PlanYaml, EmptyItemsAndRecordShapes) {
    EXPECT_TRUE(yaml_ok("schema_version: 1\ntasks:\n").tasks.empty());
    EXPECT_EQ(yaml_error("schema_version: 1\ntasks:\n  -\n"), "tasks[0]: missing field `id`");
    EXPECT_EQ(yaml_error(task("    steps:\n      -\n")), "tasks[0].steps[0]: missing field `id`");
    EXPECT_EQ(yaml_error(task("    steps:\n      - ~\n")),
              "tasks[0].steps[0]: invalid type: unit value, expected struct Step");
    EXPECT_EQ(yaml_error(task("    steps:\n      - s1\n")),
              "tasks[0].steps[0]: invalid type: string \"s1\", expected struct Step");
    EXPECT_EQ(yaml_error("schema_version: 1\ntasks:\n  - [a]\n"),
              "tasks[0]: invalid type: sequence, expected struct Node");
    EXPECT_EQ(yaml_error(task("    steps: {id: x}\n")), "tasks[0].steps: invalid type: map, expected a sequence");
    EXPECT_EQ(yaml_error("schema_version: 1\ngoal: \"x\"\ntasks: []"),
              "goal: invalid type: string \"x\", expected struct Goal");
    EXPECT_EQ(yaml_error("schema_version: 1\ngoal: [a, b]\ntasks: []"),
              "goal: invalid type: sequence, expected struct Goal");
    EXPECT_EQ(yaml_error("- 1\n- 2\n"), "invalid type: sequence, expected struct Plan");
    EXPECT_EQ(read_plan_yaml("").error, "missing field `schema_version`");
    EXPECT_EQ(yaml_error("---\n"), "missing field `schema_version`");
    EXPECT_EQ(yaml_error("schema_version: 1\n"), "missing field `tasks`");
}

TEST(PlanYaml, Flags) {
    EXPECT_TRUE(yaml_ok(task("    expects_no_diff: TRUE\n")).tasks[0].expects_no_diff);
    EXPECT_TRUE(yaml_ok(task("    expects_no_diff: True\n")).tasks[0].expects_no_diff);
    EXPECT_EQ(yaml_error(task("    expects_no_diff: yes\n")),
              "tasks[0].expects_no_diff: invalid type: string \"yes\", expected a boolean");
    EXPECT_EQ(yaml_error(task("    expects_no_diff: \"true\"\n")),
              "tasks[0].expects_no_diff: invalid type: string \"true\", expected a boolean");
    EXPECT_EQ(yaml_error(task("    expects_no_diff: on\n")),
              "tasks[0].expects_no_diff: invalid type: string \"on\", expected a boolean");
}

TEST(PlanYaml, EnumerationShapes) {
    EXPECT_EQ(yaml_ok(task("    kind: !human\n")).tasks[0].kind, NodeKind::Human);
    EXPECT_EQ(yaml_ok(task("    kind: !human ~\n")).tasks[0].kind, NodeKind::Human);
    EXPECT_EQ(yaml_ok(task("    kind: 'human'\n")).tasks[0].kind, NodeKind::Human);
    EXPECT_EQ(yaml_ok(task("    merge_policy: !change-auto\n")).tasks[0].merge_policy, MergePolicy::ChangeAuto);
    EXPECT_EQ(yaml_error(task("    kind: !human x\n")),
              "tasks[0].kind: invalid value: string \"x\", expected null");
    EXPECT_EQ(yaml_error(task("    kind: {human: ~}\n")),
              "tasks[0].kind: invalid type: map, expected a YAML tag starting with '!'");
    EXPECT_EQ(yaml_error(task("    kind: [human]\n")),
              "tasks[0].kind: invalid type: sequence, expected a YAML tag starting with '!'");
    EXPECT_EQ(yaml_error(task("    kind:\n")), "tasks[0].kind: unknown variant ``, expected `agent` or `human`");
    EXPECT_EQ(yaml_error(task("    kind: ~\n")), "tasks[0].kind: unknown variant `~`, expected `agent` or `human`");
    EXPECT_EQ(yaml_error(task("    kind: Human\n")),
              "tasks[0].kind: unknown variant `Human`, expected `agent` or `human`");
    EXPECT_EQ(yaml_error(task("    kind: 'human '\n")),
              "tasks[0].kind: unknown variant `human `, expected `agent` or `human`");
    EXPECT_EQ(yaml_error(task("    merge_policy: change_open\n")),
              "tasks[0].merge_policy: unknown variant `change_open`, expected one of `local-direct`, "
              "`change-open`, `change-auto`, `change-direct`");
    EXPECT_FALSE(yaml_ok(task("    merge_policy:\n")).tasks[0].merge_policy);
    EXPECT_FALSE(yaml_ok(task("    workflow: ~\n")).tasks[0].workflow);
}

TEST(PlanYaml, KeysAndFaultOrder) {
    EXPECT_EQ(yaml_error("schema_version: 1\ngoal: {text: a, Text: b}\ntasks: []"),
              "goal: unknown field `Text`, expected `text`");
    EXPECT_EQ(yaml_error("schema_version: 1\ntitle: x\ntasks: []"),
              "unknown field `title`, expected one of `schema_version`, `goal`, `name`, `concurrency`, `tasks`");
    EXPECT_EQ(yaml_error("schema_version: 1\nschema_version: 1\ntasks: []"), "duplicate field `schema_version`");
    EXPECT_EQ(yaml_error("schema_version: 1\nname: a\nname: a\ntasks: []"), "duplicate field `name`");
    // A bad key or a repeated key wins over the absent id.
    EXPECT_EQ(yaml_error("schema_version: 1\ntasks:\n  - {kind: human, kind: human}\n"),
              "tasks[0]: duplicate field `kind`");
    EXPECT_EQ(yaml_error("schema_version: 1\ntasks:\n  - {Id: a}\n"),
              "tasks[0]: unknown field `Id`, expected one of `id`, `kind`, `task`, `persona`, `deps`, "
              "`done_when`, `max_turns`, `expects_no_diff`, `context`, `parked`, `executor`, `agent_graph`, "
              "`repo`, `repo_type`, `workflow`, `merge_policy`, `base_branch`, `branch`, `title`, "
              "`execution_checkout`, `verify_via_ci`, `steps`, `resume`");
    EXPECT_EQ(yaml_error(task("    steps:\n      - {id: s, parked: true}\n")),
              "tasks[0].steps[0]: unknown field `parked`, expected one of `id`, `kind`, `task`, `persona`, "
              "`deps`, `done_when`, `max_turns`, `expects_no_diff`, `executor`, `agent_graph`");
    EXPECT_EQ(yaml_error(task("    resume: {checkpoint: c}\n")), "tasks[0].resume: missing field `branch`");
    EXPECT_EQ(yaml_error(task("    resume: {branch: b, step: s}\n")),
              "tasks[0].resume: unknown field `step`, expected one of `branch`, `checkpoint`, `completed_steps`");
    EXPECT_EQ(yaml_error("schema_version: 1\n[a]: 1\ntasks: []"),
              "invalid type: sequence, expected field identifier");
    // "<<" is an ordinary (unknown) key, not a merge.
    EXPECT_EQ(yaml_error("schema_version: 1\n<<: {name: x}\ntasks: []"),
              "unknown field `<<`, expected one of `schema_version`, `goal`, `name`, `concurrency`, `tasks`");
}

TEST(PlanYaml, LocationsNameLineAndColumn) {
    EXPECT_EQ(read_plan_yaml("schema_version: 1\ntasks:\n  - id: a\n    kind: robot\n").error,
              "tasks[0].kind: unknown variant `robot`, expected `agent` or `human` at line 4 column 11");
    EXPECT_EQ(read_plan_yaml("schema_version: 1\ntasks:\n  - kind: human\n").error,
              "tasks[0]: missing field `id` at line 3 column 5");
    EXPECT_EQ(read_plan_yaml("schema_version: 1\nbogus: 2\ntasks: []\n").error,
              "unknown field `bogus`, expected one of `schema_version`, `goal`, `name`, `concurrency`, `tasks` "
              "at line 2 column 1");
}

TEST(PlanYaml, AliasesStandForTheirNodes) {
    Plan plan = yaml_ok(R"(schema_version: 1
tasks:
  - id: a
    deps: &d [x, y]
    task: &t hello
  - id: b
    deps: *d
    task: *t
    steps: &s
      - id: s1
  - id: c
    steps: *s
)");
    EXPECT_EQ(plan.tasks[1].deps, (std::vector<std::string>{"x", "y"}));
    EXPECT_EQ(plan.tasks[1].task, "hello");
    EXPECT_EQ(plan.tasks[2].steps, plan.tasks[1].steps);
    EXPECT_EQ(yaml_error("schema_version: 1\ntasks: *nowhere\n"), "unknown anchor");
}

TEST(PlanYaml, SyntaxErrorsAndDocuments) {
    // A syntax error after a complete root still fails.
    Read<Plan> trailing = read_plan_yaml("schema_version: 1\ntasks: []\nname: 'open\n");
    EXPECT_FALSE(trailing.ok());
    EXPECT_EQ(trailing.error.rfind("found unexpected end of stream at line 4 column 1, while scanning a quoted scalar at line 3 column 7", 0), 0u) << trailing.error;
    // Also after a flow mapping that already makes a whole plan.
    EXPECT_EQ(read_plan_yaml("{schema_version: 1, tasks: []} 'open\n").error.rfind("found unexpected end of stream", 0),
              0u);
    Read<Plan> tab = read_plan_yaml("schema_version: 1\ntasks: []\n\tx: 1\n");
    EXPECT_FALSE(tab.ok());
    EXPECT_NE(tab.error.find("line 3"), std::string::npos) << tab.error;
    EXPECT_EQ(read_plan_yaml("schema_version: 1\ntasks: []\n---\nx: 1\n").error,
              "deserializing from YAML containing more than one document is not supported");
    EXPECT_EQ(read_plan_yaml("schema_version: 1\ntasks: []\n---\n").error,
              "deserializing from YAML containing more than one document is not supported");
    // A fault in the first document wins over the second document.
    EXPECT_EQ(yaml_error("schema_version: 1\n---\n"), "missing field `tasks`");
    EXPECT_TRUE(read_plan_yaml("# only a comment\nschema_version: 1 # here\ntasks: []\n...\n").ok());
}

}  // namespace
}  // namespace korvalle::plan
