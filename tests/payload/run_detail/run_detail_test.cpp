// Run detail documents of the demo runs and of fixture runs, compared as written text; single
// rules only where no document reaches their branch (telemetry, bad round files, huge rounds).
#include "src/payload/run_detail/run_detail.hpp"

#include "sdk/base/json_write.hpp"
#include "sdk/run/liveness.hpp"
#include "sdk/run/views.hpp"
#include "tests/support/view_support.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <cstdlib>

namespace korvalle::payload {
namespace {

namespace fs = std::filesystem;
using testing::Event;
using testing::RunBuilder;
using testing::document_as_in_file;
using testing::open_view;
using testing::parsed;

const fs::path source_dir = KORVALLE_SOURCE_DIR;

// Expected documents, laid out one member a line (tests/support/document_text.hpp).
fs::path expected(const std::string& name) { return source_dir / "tests" / "payload" / "expected" / (name + ".json"); }

Event event(std::string kind, std::string ts, std::string labels, std::string payload = "{}",
            std::string source = "pipeline", std::string artifacts = "") {
    return {.ts = std::move(ts), .source = std::move(source), .kind = std::move(kind), .labels = std::move(labels),
            .payload = std::move(payload), .artifacts = std::move(artifacts)};
}

class RunDetail : public ::testing::Test {
protected:
    // Judged now, by a machine that launched no run here.
    static views::LivenessInputs liveness() {
        return {.this_host = "a-reader-of-run-details", .now_ms = views::now_ms()};
    }
    static std::string text(const views::RunView& view, bool conversations = true,
                            const telemetry::RunTelemetry* telemetry = nullptr) {
        return run_detail(view, conversations, telemetry, liveness());
    }
    static std::vector<std::uint64_t> rounds_of(const std::string& document) {
        std::vector<std::uint64_t> rounds;
        const boost::json::value tree = parsed(document);
        for (const auto& round : tree.at("rounds").as_array())
            rounds.push_back(round.at("round").to_number<std::uint64_t>());
        return rounds;
    }

    // A run started with a one-task plan, which its round files may repeat.
    static constexpr const char* one_task_plan = R"({"schema_version":1,"tasks":[{"id":"a"}]})";
    RunBuilder started_run(const std::string& id) {
        RunBuilder run = root_.run(id);
        run.launch().event(event("run-started", "2026-03-09T10:00:00.000Z", "{}",
                                 std::string(R"({"plan":)") + one_task_plan + "}"));
        return run;
    }

    testing::RunsRoot root_;
};

TEST_F(RunDetail, DemoRunsAsWrittenText) {
    for (const char* id : {"2026-03-02-docs-refresh", "2026-03-05-orders-migration", "2026-03-06-billing-export",
                           "2026-03-07-flaky-ci-triage"}) {
        views::RunView view = open_view(source_dir / "examples" / "runs" / id, id);
        EXPECT_PRED_FORMAT2(document_as_in_file, text(view), expected(id)) << id;
    }
}

// One run in its third round, driven now: round 1 finished with its files, round 2 without a
// usable plan file, round 3 from the replayed graph. Sessions, failure classes, checks, gate
// verdicts, publications, member control, settle payloads and step rows all show.
RunBuilder fixture_run(testing::RunsRoot& root) {
    const std::string plan =
        R"({"schema_version":2,"goal":{"text":"Cents everywhere"},"name":"fixture","concurrency":0,"tasks":[)"
        R"({"id":"a","task":"Write it.","context":"Mind the cents.","persona":"worker","done_when":"tests pass",)"
        R"("max_turns":0,"expects_no_diff":true,"title":"A","steps":[{"id":"s1","task":"Edit.","persona":"worker"},)"
        R"({"id":"s2","kind":"human","deps":["s1"]}]},)"
        R"({"id":"b","kind":"human","deps":["a","run:other#x","a"]},)"
        R"({"id":"c","deps":["a"],"max_turns":5,"repo":"korvalle/shop","execution_checkout":"wt/c"},)"
        R"({"id":"B","task":"Upper."}]})";
    RunBuilder run = root.run("fixture");
    run.launch({.launcher = "claude-code", .session = ""});
    auto labels = [](std::string rest) { return R"({"run_id":"fixture")" + rest + "}"; };
    run.event(event("run-started", "2026-03-09T10:00:00.000Z", labels(""), R"({"plan":)" + plan + "}"))
        .event(event("round-started", "2026-03-09T10:00:01.000Z", labels(R"(,"round":1)")))
        .event(event("node-dispatched", "2026-03-09T10:00:02.000Z", labels(R"(,"round":1,"node":"a")")))
        .event(event("node-settled", "2026-03-09T10:00:03.000Z", labels(R"(,"round":1,"node":"a")"),
                     R"({"status":"done","outcome":"merged","completed_steps":["s1"]})"))
        .event(event("round-finished", "2026-03-09T10:00:04.000Z", labels(R"(,"round":1)")))
        .event(event("round-started", "2026-03-09T10:00:05.000Z", labels(R"(,"round":2)")))
        .event(event("round-finished", "2026-03-09T10:00:06.000Z", labels(R"(,"round":2)")))
        .event(event("round-started", "2026-03-09T10:00:07.000Z", labels(R"(,"round":3)"), R"({"plan":)" + plan + "}"))
        .event(event("node-dispatched", "2026-03-09T10:00:08.000Z", labels(R"(,"round":3,"node":"a")")))
        .event(event("turn-started", "2026-03-09T10:00:09.000Z",
                     labels(R"(,"round":3,"node":"a","session":"s-b","member":"m1","persona":"Worker")"), "{}", "morvane"))
        .event(event("turn-completed", "2026-03-09T10:00:10.000Z",
                     labels(R"(,"round":3,"node":"a","session":"s-a","persona":"judge")"),
                     R"({"member":"m2","role":"judge","usage":{"duration":1.9996}})", "morvane"))
        .event(event("turn-interrupted", "2026-03-09T10:00:11.000Z",
                     labels(R"(,"round":3,"node":"a","session":"s-a","member":"m3","role":"llmlint")"),
                     R"({"reason":"  "})", "morvane"))
        .event(event("turn-completed", "2026-03-09T10:00:12.000Z", labels(R"(,"node":"a")"),
                     R"({"usage":{"duration":-1}})", "morvane"))
        .event(event("change-check", "2026-03-09T10:00:13.000Z", labels(R"(,"round":3,"node":"a")"),
                     R"({"name":"lint","conclusion":"failure","required":true})", "vcs"))
        .event(event("change-check", "2026-03-09T10:00:14.000Z", labels(R"(,"round":3,"node":"a")"),
                     R"({"name":"build","status":"completed","required":"true","from_status":"queued"})", "vcs",
                     R"([{"id":"build-log","kind":"gate_log","bytes":10}])"))
        .event(event("change-check", "2026-03-09T10:00:15.000Z", labels(R"(,"round":3,"node":"a")"),
                     R"({"name":"lint","conclusion":"success","required":true})", "vcs"))
        .event(event("gate-verdict", "2026-03-09T10:00:16.000Z", labels(R"(,"round":3,"node":"a")"),
                     R"({"command":"the repository's pre-push hook","verdict":"pass"})", "vcs"))
        .event(event("session-opened", "2026-03-09T10:00:17.000Z", labels(R"(,"round":3,"node":"a")"),
                     R"({"branch":"feature/a","base":"dev"})", "vcs"))
        .event(event("change-opened", "2026-03-09T10:00:18.000Z", labels(R"(,"round":3,"node":"a")"),
                     R"({"url":"https://git.example.com/pr/1"})", "vcs"))
        .event(event("commit-preserved", "2026-03-09T10:00:19.000Z", labels(R"(,"round":3,"node":"a")"),
                     R"({"sha":"abc123"})", "vcs"))
        .event(event("quiet-worker", "2026-03-09T10:00:20.000Z", labels(R"(,"round":3,"node":"c")"),
                     R"({"detail":"idle for 300 s"})", "pipeline", R"([{"id":"c-partial","kind":"report","bytes":3}])"))
        .event(event("node-settled", "2026-03-09T10:00:21.000Z", labels(R"(,"round":3,"node":"B")"),
                     R"({"status":"failed","outcome":"gate-failed","branch":"feature/B","error":"lint failed","exit_code":2})"))
        .event(event("human-attested", "2026-03-09T10:00:22.000Z", labels(R"(,"round":3,"node":"c")"), R"({"ref":"c"})"));
    run.round_plan(1, R"({"schema_version":1,"tasks":[{"id":"a","task":"Write it.","steps":[{"id":"s1"}]},{"id":"b","kind":"human"}]})")
        .round_result(1, R"({"ok":false,"state":"partial","nodes":[)"
                         R"({"id":"a","status":"done","outcome":"merged","change_url":"u","extra":1,"exit_code":0},)"
                         R"({"id":"b","status":3},{"name":"x"},{"id":7},{"id":"a","status":"failed"}]})")
        .round_plan(2, "not a plan")
        .round_result(2, "[]");
    return run;
}

TEST_F(RunDetail, FixtureRunAsWrittenText) {
    views::RunView view = open_view(fixture_run(root_));
    EXPECT_PRED_FORMAT2(document_as_in_file, text(view), expected("fixture"));
}

TEST_F(RunDetail, WithoutConversationsOnlyThatMemberIsEmpty) {
    views::RunView view = open_view(fixture_run(root_));
    boost::json::value with = parsed(run_detail(view, true, nullptr, liveness()));
    boost::json::value without = parsed(run_detail(view, false, nullptr, liveness()));
    EXPECT_EQ(json::write(without.at("conversations")), "[]");
    with.as_object()["conversations"] = boost::json::array();
    EXPECT_EQ(json::write(with), json::write(without));
}

// A run with no journal: the five members all the same, round 1 from its plan file.
TEST_F(RunDetail, EmptyRunAsWrittenText) {
    RunBuilder run = root_.run("empty");
    run.launch({.launcher = "Codex"});
    EXPECT_PRED_FORMAT2(document_as_in_file, text(open_view(run)), expected("empty"));
    run.round_plan(1, R"({"schema_version":1,"tasks":[]})");
    EXPECT_EQ(rounds_of(run_detail(open_view(run), true, nullptr, liveness())), std::vector<std::uint64_t>{1});
}

// Telemetry fills usage and wall time; no document of the demo root has any.
TEST_F(RunDetail, HeadWithTelemetry) {
    telemetry::RunTelemetry telemetry;
    telemetry.wall_ms = 10'000;
    telemetry.agent_ms = 4'000;
    telemetry.usage[telemetry::UsageParty::Agent] = {.input = 12, .output = 3, .cost_usd = 0.25};
    telemetry.usage[telemetry::UsageParty::Total] = {.cache_read = 7, .cost_usd = std::nan("")};
    views::RunView view = open_view(fixture_run(root_));
    const boost::json::value head = parsed(run_detail_head(view, &telemetry, liveness()));
    EXPECT_EQ(json::write(head.at("usage")),
              R"({"agent":{"input_tokens":12,"output_tokens":3,"cache_read_tokens":null,"cache_write_tokens":null,"cost_usd":0.25},)"
              R"("judge":{"input_tokens":null,"output_tokens":null,"cache_read_tokens":null,"cache_write_tokens":null,"cost_usd":null},)"
              R"("llmlint":{"input_tokens":null,"output_tokens":null,"cache_read_tokens":null,"cache_write_tokens":null,"cost_usd":null},)"
              R"("total":{"input_tokens":null,"output_tokens":null,"cache_read_tokens":7,"cache_write_tokens":null,"cost_usd":null}})");
    EXPECT_EQ(json::write(head.at("node_work_ms")),
              R"({"agent_model_ms":null,"judge_model_ms":1999,"llmlint_model_ms":null,"tool_ms":null,"wall_ms":10000})");
    EXPECT_EQ(json::write(head.at("timing").at("agent_seconds")), "4");
}

// A finished round's plan that names an id twice: each object keyed by task id shows the id
// once, in its first place, with what its last task gives.
TEST_F(RunDetail, PlanNamingAnIdTwice) {
    RunBuilder run = root_.run("twice");
    run.launch()
        .event(event("run-started", "2026-03-09T10:00:00.000Z", "{}", R"({"plan":{"schema_version":1,"tasks":[{"id":"a"}]}})"))
        .event(event("round-started", "2026-03-09T10:00:01.000Z", R"({"round":1})"))
        .event(event("round-finished", "2026-03-09T10:00:02.000Z", R"({"round":1})"))
        .event(event("round-started", "2026-03-09T10:00:03.000Z", R"({"round":2})"))
        .round_plan(1, R"({"schema_version":1,"tasks":[{"id":"a","task":"first"},{"id":"b","deps":["a"]},)"
                       R"({"id":"a","kind":"human","task":"second","deps":["b"]},{"id":"c","deps":["a","zz"]}]})")
        .round_result(1, R"({"nodes":[{"id":"a","status":"blocked","outcome":"x"},{"id":"b","status":"blocked"},)"
                         R"({"id":"c","status":"skipped","change_url":"u"}]})");
    const boost::json::value round = parsed(run_detail(open_view(run), true, nullptr, liveness())).at("rounds").at(0);
    EXPECT_EQ(json::write(round.at("node_status")), R"({"a":"blocked","b":"blocked","c":"skipped"})");
    EXPECT_EQ(json::write(round.at("node_gated_by")), R"({"b":["a"],"a":["b"],"c":["a"]})");
    EXPECT_EQ(json::write(round.at("node_results")),
              R"({"a":{"kind":"human","status":"blocked","outcome":"x","completed":false},)"
              R"("b":{"kind":"agent","status":"blocked","completed":false},)"
              R"("c":{"kind":"agent","status":"skipped","pr":"u","completed":false}})");
}

// A node of the round being driven whose latest settle has no outcome: the outcome the replay
// kept follows the settle's own keys, and the link comes last.
TEST_F(RunDetail, LiveEntryKeepsTheReplayedOutcome) {
    auto labels = [](std::string node) { return R"({"run_id":"live","round":1,"node":")" + node + R"("})"; };
    RunBuilder run = root_.run("live");
    run.launch()
        .event(event("run-started", "2026-03-09T10:00:00.000Z", "{}", R"({"plan":{"schema_version":1,"tasks":[{"id":"b"}]}})"))
        .event(event("round-started", "2026-03-09T10:00:01.000Z", R"({"round":1})"))
        .event(event("node-dispatched", "2026-03-09T10:00:02.000Z", labels("b")))
        .event(event("node-settled", "2026-03-09T10:00:03.000Z", labels("b"),
                     R"({"status":"done","outcome":"merged","branch":"feature/b","change_url":"https://x/1"})"))
        .event(event("node-settled", "2026-03-09T10:00:04.000Z", labels("b"),
                     R"({"status":"done","detail":"again","ok":true,"branch":"feature/b2","exit_code":0})"));
    const boost::json::value round = parsed(run_detail(open_view(run), true, nullptr, liveness())).at("rounds").at(0);
    EXPECT_EQ(json::write(round.at("node_results")),
              R"({"b":{"kind":"agent","status":"done","completed":true,"branch":"feature/b2","detail":"again",)"
              R"("exit_code":0,"ok":true,"outcome":"merged","pr":"https://x/1"}})");
}

// A node's sessions, one of them written with escapes that stay in the kept labels.
TEST_F(RunDetail, SessionsWrittenWithEscapes) {
    auto turn = [](std::string ts, std::string session) {
        return event("turn-completed", std::move(ts), R"({"run_id":"esc","round":1,"node":"a","session":")" + session + "\"}",
                     "{}", "morvane");
    };
    RunBuilder run = started_run("esc");
    run.event(turn("2026-03-09T10:00:01.000Z", R"(s\"q)")).event(turn("2026-03-09T10:00:02.000Z", "plain"));
    const boost::json::value node = parsed(run_detail(open_view(run), true, nullptr, liveness())).at("run").at("nodes").at(0);
    std::vector<std::string> ids;
    for (const auto& session : node.at("sessions").as_array()) ids.emplace_back(session.at("session_id").as_string());
    EXPECT_EQ(ids, (std::vector<std::string>{"plain", "s\"q"}));
}

// What each node entry reads of its agent envelopes, tallied once in the journal index: its
// sessions in order of their text, each started by its first envelope, its role that of the first
// of them with a party (none: agent) and its agent role the first one's persona; a session in two
// nodes is in both; an empty session text makes no session but its turn counts; an interruption
// is no turn; an activity report counts in no tally.
TEST_F(RunDetail, NodeSessionsAndTurnsFromTheIndex) {
    auto agent = [](std::string kind, std::string second, std::string node, std::string labels,
                    std::string payload = "{}") {
        return event(std::move(kind), "2026-03-09T10:00:" + second + ".000Z",
                     R"({"run_id":"sessions","round":1,"node":")" + node + "\"," + labels + "}", std::move(payload),
                     "morvane");
    };
    RunBuilder run = root_.run("sessions");
    run.launch()
        .event(event("run-started", "2026-03-09T10:00:00.000Z", "{}",
                     R"({"plan":{"schema_version":1,"tasks":[{"id":"a"},{"id":"b"}]}})"))
        .event(agent("turn-activity", "01", "a", R"("session":"s-2","persona":"worker")"))
        .event(agent("turn-completed", "02", "a", R"("session":"s-2","role":"judge")", R"({"usage":{"duration":2}})"))
        .event(agent("turn-completed", "03", "a", R"("session":"s-1")", R"({"role":"llmlint"})"))
        .event(agent("turn-completed", "04", "b", R"("session":"s-2")"))
        .event(agent("turn-completed", "05", "a", R"("session":"")"))
        .event(agent("turn-interrupted", "06", "a", R"("session":"s-1","persona":"judge")"));
    const boost::json::value nodes = parsed(run_detail(open_view(run), false, nullptr, liveness())).at("run").at("nodes");
    std::vector<std::string> entries;
    for (const auto& node : nodes.as_array()) {
        entries.push_back(json::write(node.at("sessions")) + " turns " + json::write(node.at("turns")) + " lint " +
                          json::write(node.at("lint")));
    }
    EXPECT_EQ(entries,
              (std::vector<std::string>{
                  R"([{"session_id":"s-1","role":"llmlint","started_at":"2026-03-09T10:00:03.000Z"},)"
                  R"({"session_id":"s-2","role":"judge","agent_role":"worker","started_at":"2026-03-09T10:00:01.000Z"}])"
                  " turns 3 lint 1",
                  R"([{"session_id":"s-2","role":"agent","started_at":"2026-03-09T10:00:04.000Z"}] turns 1 lint 0)"}));
}

// One journal line naming a huge round: only rounds with a directory or journal line, and the
// current one, are asked for, and the document is the one every round would give.
TEST_F(RunDetail, HugeRoundNumberAnswersAtOnce) {
    const std::string plan = one_task_plan;
    RunBuilder run = started_run("huge");
    run.event(event("round-started", "2026-03-09T10:00:01.000Z", R"({"round":1000000000000000})"))
        .round_plan(1, plan)
        .round_plan(3, plan)
        .round_plan(12345, plan)
        .file("round-007/plan.json", plan)  // not the directory of round 7
        .file("round-7/plan.json", plan);
    views::RunView view = open_view(run);
    EXPECT_EQ(detail_rounds(view), (std::vector<std::uint64_t>{1, 3, 12345, 1000000000000000}));
    EXPECT_EQ(rounds_of(run_detail(view, true, nullptr, liveness())), (std::vector<std::uint64_t>{1, 3, 12345, 1000000000000000}));
}

// Round files that are missing, empty, not JSON, not UTF-8, a directory or a FIFO: the round is
// left out (plan) or shows no result, never an error or a wait.
TEST_F(RunDetail, BadRoundFiles) {
    const std::string plan = one_task_plan;
    RunBuilder run = started_run("bad-files");
    run.event(event("round-started", "2026-03-09T10:00:01.000Z", R"({"round":9})"))
        .event(event("round-finished", "2026-03-09T10:00:02.000Z", R"({"round":9})"));
    const std::pair<std::uint64_t, std::string> bad_results[] = {{1, ""}, {2, "{"}, {3, "\"\xff\""}, {4, "{} {}"}};
    for (const auto& [round, bytes] : bad_results) run.round_plan(round, plan).round_result(round, bytes);
    run.round_plan(5, plan);  // no result file
    fs::create_directories(run.dir() / "round-06" / "result.json");
    run.round_plan(6, plan);
    fs::create_directories(run.dir() / "round-07");
    ASSERT_EQ(::mkfifo((run.dir() / "round-07" / "result.json").c_str(), 0600), 0);
    run.round_plan(7, plan);
    fs::create_directories(run.dir() / "round-08");
    ASSERT_EQ(::mkfifo((run.dir() / "round-08" / "plan.json").c_str(), 0600), 0);
    run.round_plan(9, "").round_result(9, R"({"nodes":"a"})");
    views::RunView view = open_view(run);
    std::string text = run_detail(view, true, nullptr, liveness());
    EXPECT_EQ(rounds_of(text), (std::vector<std::uint64_t>{1, 2, 3, 4, 5, 6, 7, 9}));
    const boost::json::value document = parsed(text);
    for (const auto& round : document.at("rounds").as_array()) {
        const auto number = round.at("round").to_number<std::uint64_t>();
        // Round 9 is current: its plan is the view's, and its result has no started order.
        EXPECT_EQ(json::write(round.at("result")), number == 9 ? R"({"round":9})" : "null") << number;
        EXPECT_EQ(json::write(round.at("node_status")), R"({"a":"pending"})");
    }
}

}  // namespace
}  // namespace korvalle::payload
