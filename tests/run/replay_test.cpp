// Journal replay: what each envelope does to a view, and what it must leave alone.
#include "sdk/run/run_text.hpp"
#include "sdk/run/statuses.hpp"
#include "tests/run/run_support.hpp"

namespace korvalle {
namespace {

using enum graph::NodeStatus::Value;
using testing::Event;
using testing::plan_payload;
using testing::replay;

Event pipeline(std::string kind, std::string labels = "{}", std::string payload = "{}") {
    return Event{.kind = std::move(kind), .labels = std::move(labels), .payload = std::move(payload)};
}

Event at(std::string ts, Event event) {
    event.ts = std::move(ts);
    return event;
}

TEST(Replay, LastEventTimeIsTheLargestAndPresentWhenUnparseable) {
    auto view = replay({at("yesterday", pipeline("x"))});
    EXPECT_EQ(view.last_event_at, 0u);
    view.apply_event(testing::envelope(at("2026-01-01T00:00:02.000Z", pipeline("x"))));
    view.apply_event(testing::envelope(at("2026-01-01T00:00:01.000Z", pipeline("x"))));
    EXPECT_EQ(view.last_event_at, views::parse_timestamp_ms("2026-01-01T00:00:02.000Z"));
}

TEST(Replay, AgentAndVcsEnvelopesFeedNodeActivity) {
    auto view = replay({
        {.source = "vcs", .kind = "commit", .labels = R"({"node":"a"})"},
        {.source = "morvane", .kind = "turn-activity", .labels = R"({"node":"a"})",
         .payload = R"({"name":"Edit","detail":"src/main.rs"})"},
        {.ts = "bad", .source = "morvane", .kind = "turn-activity", .labels = R"({"node":"a"})",
         .payload = R"({"name":"","detail":7})"},
        {.source = "morvane", .kind = "turn-activity", .payload = R"({"name":"Lost"})"},
    });
    ASSERT_EQ(view.activity.size(), 1u);
    const views::NodeActivity& a = view.activity.at("a");
    EXPECT_EQ(a.count, 3u);
    EXPECT_EQ(a.text, "Edit src/main.rs");
    EXPECT_EQ(a.last_at, views::parse_timestamp_ms("2026-03-02T09:00:00.000Z"));
    EXPECT_TRUE(view.statuses.empty());

    view = replay({{.source = "morvane", .kind = "turn-activity", .labels = R"({"node":"b"})",
                    .payload = R"({"name":"","detail":"only detail"})"}});
    EXPECT_EQ(view.activity.at("b").text, "only detail");
}

TEST(Replay, KindsMatchExactly) {
    auto view = replay({pipeline("Node-Settled", R"({"node":"a"})", R"({"status":"done"})"),
                        pipeline("node-settled ", R"({"node":"a"})", R"({"status":"done"})"),
                        {.source = "vcs", .kind = "node-settled", .payload = R"({"status":"done"})"}});
    EXPECT_TRUE(view.statuses.empty());
    EXPECT_TRUE(view.last_event_at);
}

TEST(Replay, RoundsCountAndSaturate) {
    auto view = replay({pipeline("round-started")});
    EXPECT_EQ(view.round, 1u);
    EXPECT_TRUE(view.in_round);
    view = replay({pipeline("round-started", R"({"round":7})"), pipeline("round-started")});
    EXPECT_EQ(view.round, 8u);
    view = replay({pipeline("round-started", R"({"round":7})"), pipeline("round-started", R"({"round":3})")});
    EXPECT_EQ(view.round, 3u);
    view = replay({pipeline("round-started", R"({"round":18446744073709551615})"), pipeline("round-started")});
    EXPECT_EQ(view.round, UINT64_MAX);
}

TEST(Replay, RoundStartEmptiesOnlyPerRoundState) {
    auto view = replay({
        pipeline("node-dispatched", R"({"node":"a"})"),
        pipeline("node-settled", R"({"node":"a"})", R"({"status":"done","outcome":"ok","branch":"b"})"),
        pipeline("human-attested", "{}", R"({"ref":"h"})"),
        {.source = "vcs", .kind = "push", .labels = R"({"node":"a"})"},
        pipeline("round-started"),
    });
    EXPECT_TRUE(view.statuses.empty());
    EXPECT_TRUE(view.outcomes.empty());
    EXPECT_TRUE(view.activity.empty());
    EXPECT_EQ(view.branches.at("a"), "b");
    EXPECT_TRUE(view.dispatched_at.contains("a"));
    EXPECT_TRUE(view.settled_at.contains("a"));
    EXPECT_TRUE(view.attested.contains("h"));
}

TEST(Replay, RunStartedPlanWinsOverLaterRoundPlans) {
    auto view = replay({pipeline("run-started", "{}", plan_payload(R"({"id":"a"},{"id":"b"})", 3)),
                        pipeline("round-started", "{}", plan_payload(R"({"id":"c"})", 5)),
                        pipeline("round-started", "{}", R"({"plan":{"tasks":[{"id":"x","bogus":1}]}})")});
    EXPECT_EQ(view.graph.order, (std::vector<std::string>{"c"}));
    EXPECT_EQ(view.graph.concurrency, 5u);
    ASSERT_TRUE(view.plan);
    EXPECT_EQ(view.plan->tasks.size(), 2u);

    view = replay({pipeline("round-started", "{}", plan_payload(R"({"id":"c"})")),
                   pipeline("run-started", "{}", plan_payload(R"({"id":"d"})"))});
    EXPECT_EQ(view.plan->tasks.at(0).id, "d");
    EXPECT_EQ(view.graph.order, (std::vector<std::string>{"d"}));
}

TEST(Replay, SettleKeysApplyOneByOne) {
    auto view = replay({pipeline("node-settled", R"({"node":"a"})", R"({"status":"DONE","outcome":3,"branch":"b"})")});
    EXPECT_TRUE(view.statuses.empty());
    EXPECT_TRUE(view.outcomes.empty());
    EXPECT_EQ(view.branches.at("a"), "b");
    EXPECT_TRUE(view.settled_at.contains("a"));

    view = replay({pipeline("node-settled", R"({"node":"a"})", R"({"completed_steps":["a",1,"b"],"change_url":"u"})"),
                   pipeline("node-settled", R"({"node":"c"})", R"({"completed_steps":[]})"),
                   pipeline("node-settled", "{}", R"({"status":"done"})")});
    EXPECT_EQ(view.completed_steps.at("a"), (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(view.completed_steps.at("c").empty());
    EXPECT_EQ(view.change_urls.at("a"), "u");
    EXPECT_EQ(view.statuses.size(), 0u);

    view = replay({pipeline("node-dispatched", R"({"node":"x"})"),
                   at("late", pipeline("node-settled", R"({"node":"x"})", R"({"status":"done"})"))});
    EXPECT_EQ(view.statuses.at("x"), Done);
    EXPECT_TRUE(view.dispatched_at.contains("x"));
    EXPECT_FALSE(view.settled_at.contains("x"));
}

TEST(Replay, CountersAndFirstValues) {
    auto view = replay({
        pipeline("cross-dag-satisfied", "{}", R"({"dependency":"run:u#n","last_seq":4})"),
        pipeline("cross-dag-satisfied", "{}", R"({"dependency":"run:u#n","last_seq":9})"),
        pipeline("cross-dag-satisfied", "{}", R"({"dependency":"d2","last_seq":-1})"),
        pipeline("cross-dag-satisfied", "{}", R"({"dependency":"d3","last_seq":"4"})"),
        pipeline("cross-dag-satisfied", "{}", R"({"dependency":"d4","last_seq":5.0})"),
        pipeline("cross-dag-satisfied", "{}", R"({"dependency":"d5","last_seq":-0})"),
        pipeline("upstream-modified", R"({"node":"n"})", R"({"dependency":"d"})"),
        pipeline("upstream-modified", R"({"node":"n"})", R"({"dependency":"d"})"),
        pipeline("upstream-modified", "{}", R"({"dependency":"d"})"),
        pipeline("completion-requested", "{}", R"({"reason":""})"),
        pipeline("completion-requested", "{}", R"({"reason":""})"),
        pipeline("completion-requested", "{}", R"({"reason":1})"),
        pipeline("planner-surface-queued"),
        pipeline("planner-surfaced"),
    });
    EXPECT_EQ(view.cross_dag_satisfied, (std::map<std::string, std::uint64_t>{{"run:u#n", 4}}));
    EXPECT_EQ(view.upstream_modified.at("d"), 3u);
    EXPECT_EQ(view.upstream_modified_nodes.size(), 1u);
    EXPECT_TRUE(view.upstream_modified_nodes.contains({"d", "n"}));
    EXPECT_EQ(view.completion_reasons, (std::vector<std::string>{"", ""}));
    EXPECT_EQ(view.surface_queued, 1u);
    EXPECT_EQ(view.surfaced, 1u);
    EXPECT_TRUE(view.planner_surfaced_at);

    view.apply_event(testing::envelope(at("bad", pipeline("planner-surfaced"))));
    EXPECT_EQ(view.surfaced, 2u);
    EXPECT_FALSE(view.planner_surfaced_at);
}

TEST(Replay, StopIsNeverUndone) {
    auto view = replay({pipeline("round-started"), pipeline("run-stopped")});
    EXPECT_TRUE(view.stopped);
    EXPECT_FALSE(view.in_round);
    view.apply_event(testing::envelope(pipeline("round-started")));
    EXPECT_TRUE(view.in_round);
    EXPECT_TRUE(view.stopped);
    view.apply_event(testing::envelope(pipeline("round-finished")));
    EXPECT_FALSE(view.in_round);
}

TEST(Replay, HumanAttestationNeedNotNameAGraphNode) {
    auto view = replay({pipeline("human-attested", R"({"node":"ignored"})", R"({"ref":"ghost"})"),
                        pipeline("human-attested", "{}", R"({"ref":5})")});
    EXPECT_EQ(view.statuses, (views::StatusMap{{"ghost", Done}}));
    EXPECT_EQ(view.attested, (std::set<std::string>{"ghost"}));
}

// ---- Edit batches. ----

views::RunView with_graph(std::string_view tasks) {
    return replay({pipeline("run-started", "{}", plan_payload(tasks))});
}

void edit(views::RunView& view, std::string_view operations) {
    view.apply_event(testing::envelope(pipeline("edit-committed", "{}", "{\"operations\":" + std::string(operations) + "}")));
}

TEST(Edits, ABatchIsAppliedWholeOrNotAtAll) {
    auto view = with_graph(R"({"id":"a"})");
    edit(view, R"([{"kind":"node-parked","node":"a"},{"kind":"node-exploded","node":"a"}])");
    EXPECT_FALSE(view.graph.nodes.at("a").parked);
    EXPECT_TRUE(view.statuses.empty());
    edit(view, R"([{"kind":"node-parked","node":"a"},{"kind":"context-added","node":"a","note":"n","delivery":"later"}])");
    EXPECT_FALSE(view.graph.nodes.at("a").parked);
    for (const char* batch : {"{}", "null", "[]", "\"x\""}) edit(view, batch);
    view.apply_event(testing::envelope(pipeline("edit-committed", "{}", R"({"ops":[{"kind":"node-parked","node":"a"}]})")));
    EXPECT_TRUE(view.statuses.empty());
    EXPECT_FALSE(view.graph.nodes.at("a").parked);

    edit(view, R"([{"kind":"node-parked","node":"a"}])");
    EXPECT_TRUE(view.graph.nodes.at("a").parked);
    EXPECT_EQ(view.statuses.at("a"), Parked);
}

TEST(Edits, EdgesAndReparenting) {
    auto view = with_graph(R"({"id":"a"},{"id":"b","deps":["x","a","x"]})");
    edit(view, R"([{"kind":"edge-added","from":"y","to":"b"},{"kind":"edge-added","from":"y","to":"b"},
                   {"kind":"edge-added","from":"y","to":"nobody"}])");
    EXPECT_EQ(view.graph.nodes.at("b").deps, (std::vector<std::string>{"x", "a", "x", "y"}));
    edit(view, R"([{"kind":"edge-removed","from":"x","to":"b"}])");
    EXPECT_EQ(view.graph.nodes.at("b").deps, (std::vector<std::string>{"a", "y"}));
    edit(view, R"([{"kind":"reparent","node":"b","from":["q"],"to":["x","x","y"]}])");
    EXPECT_EQ(view.graph.nodes.at("b").deps, (std::vector<std::string>{"x", "x", "y"}));
    EXPECT_EQ(view.graph.order.size(), 2u);
}

TEST(Edits, AddingDroppingAndLaterOperationsSeeEarlierOnes) {
    auto view = with_graph(R"({"id":"a"},{"id":"b","deps":["a"]})");
    edit(view, R"([{"kind":"node-added","node":{"id":"c","task":"new"}},
                   {"kind":"edge-added","from":"a","to":"c"},
                   {"kind":"node-added","node":{"id":"a","task":"replaced"}},
                   {"kind":"node-dropped","node":"b","dependents":"detach"}])");
    EXPECT_EQ(view.graph.order, (std::vector<std::string>{"a", "c"}));
    EXPECT_EQ(view.graph.nodes.at("a").task, "replaced");
    EXPECT_EQ(view.graph.nodes.at("c").deps, (std::vector<std::string>{"a"}));

    view = with_graph(R"({"id":"a"},{"id":"b","deps":["a"]})");
    edit(view, R"([{"kind":"node-dropped","node":"a","dependents":"drop"}])");
    EXPECT_EQ(view.graph.nodes.at("b").deps, (std::vector<std::string>{"a"}));
    EXPECT_EQ(views::derived_statuses(view).at("b"), Ready);
}

TEST(Edits, StatusStepsApplyWithoutAGraphNode) {
    auto view = with_graph(R"({"id":"a"})");
    edit(view, R"([{"kind":"retry-requested","node":"ghost","replacement":"g2","reset":[],"why":"flaky"},
                   {"kind":"human-attested","node":"h"},
                   {"kind":"node-parked","node":"p"},
                   {"kind":"completion-requested","reason":"enough"}])");
    EXPECT_EQ(view.statuses, (views::StatusMap{{"ghost", Cancelled}, {"h", Done},
                                               {"p", Parked}}));
    EXPECT_EQ(view.attested, (std::set<std::string>{"h"}));
    EXPECT_TRUE(view.completion_reasons.empty());
}

TEST(Edits, RequeueClearsParkingAndAmends) {
    auto view = with_graph(
        R"({"id":"a","task":"old","persona":"worker","deps":["z"],"max_turns":5,"parked":true,"context":"c"})");
    edit(view, R"([{"kind":"node-parked","node":"a"},{"kind":"node-requeued","node":"a"}])");
    EXPECT_FALSE(view.graph.nodes.at("a").parked);
    EXPECT_FALSE(view.statuses.contains("a"));
    EXPECT_EQ(view.graph.nodes.at("a").max_turns, 5u);
    EXPECT_EQ(view.graph.nodes.at("a").context, "c");

    edit(view, R"([{"kind":"node-requeued","node":"a","amend":{"task":"new","parked":true}}])");
    EXPECT_EQ(view.graph.nodes.at("a").task, "new");
    EXPECT_EQ(view.graph.nodes.at("a").persona, "worker");
    EXPECT_TRUE(view.graph.nodes.at("a").parked);

    view.statuses["a"] = Failed;
    edit(view, R"([{"kind":"node-requeued","node":"a","amend":{"colour":"red"}}])");
    EXPECT_EQ(view.graph.nodes.at("a").task, "new");
    EXPECT_FALSE(view.statuses.contains("a"));

    edit(view, R"([{"kind":"node-requeued","node":"a","amend":{"id":"a2"}}])");
    EXPECT_EQ(view.graph.order, (std::vector<std::string>{"a", "a2"}));
    EXPECT_EQ(view.graph.nodes.at("a2").task, "new");
}

TEST(Edits, RequeueWithoutAmendKeepsEveryFieldButTheParking) {
    auto view = with_graph(
        R"({"id":"full","kind":"human","task":"t","persona":"p","deps":["a","run:u#n"],"done_when":"d",)"
        R"("max_turns":7,"expects_no_diff":true,"context":"c","parked":true,"executor":"e","agent_graph":"g",)"
        R"("repo":"r","repo_type":"team","workflow":"remote","merge_policy":"change-auto","base_branch":"main",)"
        R"("branch":"b","title":"T","execution_checkout":"x","verify_via_ci":false,)"
        R"("steps":[{"id":"s1","kind":"human","task":"st","persona":"sp","deps":["s0"],"done_when":"sd",)"
        R"("max_turns":2,"expects_no_diff":true,"executor":"se","agent_graph":"sg"}],)"
        R"("resume":{"branch":"rb","checkpoint":"cp","completed_steps":["s0"]}})");
    plan::Node expected = view.graph.nodes.at("full").clone();
    expected.parked = false;
    edit(view, R"([{"kind":"node-requeued","node":"full"}])");
    EXPECT_EQ(view.graph.nodes.at("full"), expected);
}

TEST(Edits, OnlyDeferredContextIsApplied) {
    auto view = with_graph(R"({"id":"a"})");
    edit(view, R"([{"kind":"context-added","node":"a","note":"live note","delivery":"live"}])");
    EXPECT_FALSE(view.graph.nodes.at("a").context);
    EXPECT_TRUE(view.deferred_contexts.empty());
    edit(view, R"([{"kind":"context-added","node":"a","note":"n","delivery":"deferred"},
                   {"kind":"context-added","node":"ghost","note":"g","delivery":"deferred"}])");
    EXPECT_EQ(view.graph.nodes.at("a").context, "n");
    EXPECT_EQ(view.deferred_contexts, (std::map<std::string, std::string>{{"a", "n"}, {"ghost", "g"}}));
    // Without a delivery word the note counts as deferred.
    edit(view, R"([{"kind":"context-added","node":"a","note":"m"}])");
    EXPECT_EQ(view.graph.nodes.at("a").context, "m");
    view.apply_event(testing::envelope(pipeline("round-started")));
    EXPECT_TRUE(view.deferred_contexts.empty());
}

}  // namespace
}  // namespace korvalle
