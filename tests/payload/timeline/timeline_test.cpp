// Timeline documents of the demo run and of fixture runs, compared as written JSON text: phases,
// node spans, dispatch spans and rollups by role, human waits, verification and publication
// spans, lock-wait rollups, event entries with their redirections and references.
#include "src/payload/timeline/timeline.hpp"

#include "sdk/run/views.hpp"
#include "tests/support/view_support.hpp"

#include <gtest/gtest.h>

namespace korvalle::payload {
namespace {

namespace fs = std::filesystem;
using testing::Event;

const fs::path demo_root = fs::path(KORVALLE_SOURCE_DIR) / "examples" / "runs";
const fs::path expected_dir = fs::path(KORVALLE_SOURCE_DIR) / "tests" / "payload" / "timeline";

using testing::document_as_in_file;
using testing::open_view;

// Expected documents, laid out one member a line (tests/support/document_text.hpp).
fs::path expected(const std::string& name) { return expected_dir / (name + ".json"); }

std::string written(const views::RunView& view, std::optional<std::string_view> node = std::nullopt) {
    return timeline(view, node);
}

// "2026-04-01T10:00:SS.000Z".
std::string at(int second) {
    return "2026-04-01T10:" + std::string(second < 600 ? "0" : "") + std::to_string(second / 60) + ":" +
           (second % 60 < 10 ? "0" : "") + std::to_string(second % 60) + ".000Z";
}

// Labels of round r, with a node when one is given, and more members as raw JSON.
std::string labels(std::uint64_t round, const std::string& node = "", const std::string& more = "") {
    std::string text = R"({"round":)" + std::to_string(round);
    if (!node.empty()) text += R"(,"node":")" + node + '"';
    if (!more.empty()) text += "," + more;
    return text + "}";
}

class Timeline : public ::testing::Test {
protected:
    testing::RunsRoot root_;
};

// ---- The demo run: every span kind, whole run and one node. ----

TEST(DemoTimeline, WholeRunAndNodeDocuments) {
    const auto view = open_view(demo_root / "2026-03-04-search-reindex", "2026-03-04-search-reindex");
    EXPECT_PRED_FORMAT2(document_as_in_file, written(view), expected("demo-run"));
    EXPECT_PRED_FORMAT2(document_as_in_file, written(view, "reindex-catalog"), expected("demo-node-reindex-catalog"));
    EXPECT_PRED_FORMAT2(document_as_in_file, written(view, "tune-analyzer"), expected("demo-node-tune-analyzer"));
}

// ---- Fixture runs. ----

// Agent sessions of one node: turn ids per session, session groups in order of first
// appearance, labels that fail the identifier rule, rollups split by party.
TEST_F(Timeline, SessionsOfOneNode) {
    auto run = root_.run("run-1");
    run.launch();
    run.event({.ts = at(0), .kind = "round-started", .labels = labels(1)});
    run.event({.ts = at(1), .kind = "node-dispatched", .labels = labels(1, "build", R"("persona":"worker")")});
    const std::string s7 = R"("session":"s-7","persona":"worker")";
    run.event({.ts = at(2), .source = "morvane", .kind = "turn-completed", .labels = labels(1, "build", s7)});
    run.event({.ts = at(3), .source = "morvane", .kind = "turn-activity", .labels = labels(1, "build", s7)});
    run.event({.ts = at(4), .source = "morvane", .kind = "turn-completed",
               .labels = labels(1, "build", R"("session":"s-2","persona":"worker")"),
               .payload = R"({"role":"llmlint"})"});
    run.event({.ts = at(5), .source = "morvane", .kind = "turn-completed", .labels = labels(1, "build", s7)});
    // No turn, no group: a dotted, a numeric and a non-agent session label.
    run.event({.ts = at(6), .source = "morvane", .kind = "turn-completed",
               .labels = labels(1, "build", R"("session":".hidden")")});
    run.event({.ts = at(7), .source = "morvane", .kind = "turn-completed", .labels = labels(1, "build", R"("session":7)")});
    run.event({.ts = at(8), .source = "vcs", .kind = "push", .labels = labels(1, "build", R"("session":"s-9")")});
    run.event({.ts = at(9), .kind = "node-settled", .labels = labels(1, "build"), .payload = R"({"status":"ready"})"});
    // Beyond the current round, and round 0: never shown.
    run.event({.ts = at(10), .source = "morvane", .kind = "turn-completed", .labels = labels(2, "build", s7)});
    run.event({.ts = at(11), .kind = "node-dispatched", .labels = labels(0, "build")});
    const auto view = open_view(run);
    ASSERT_EQ(view.round, 1u);

    EXPECT_PRED_FORMAT2(document_as_in_file, written(view, "build"), expected("sessions-node"));
    EXPECT_PRED_FORMAT2(document_as_in_file, written(view), expected("sessions-run"));
}

// Nodes in order of first appearance, the run's own sessions, rollup fallbacks, settle
// statuses, and a round that a version-control event does not finish.
TEST_F(Timeline, NodesRolesAndRunSessions) {
    auto run = root_.run("run-2");
    run.launch();
    run.event({.ts = at(0), .kind = "round-started", .labels = labels(1)});
    run.event({.ts = at(1), .source = "morvane", .kind = "turn-completed",
               .labels = labels(1, "", R"("session":"p-1","persona":"orchestrator")")});
    run.event({.ts = at(2), .source = "morvane", .kind = "turn-completed",
               .labels = labels(1, "", R"("session":"p-2","persona":"planner","member":"judge")")});
    run.event({.ts = at(3), .kind = "node-dispatched", .labels = labels(1, "b", R"("persona":"check-in")")});
    run.event({.ts = at(4), .kind = "node-dispatched", .labels = labels(1, "a")});
    run.event({.ts = at(5), .source = "morvane", .kind = "turn-completed",
               .labels = labels(1, "a", R"("session":"a-1","persona":"reviewer")")});
    run.event({.ts = at(6), .kind = "node-settled", .labels = labels(1, "b"), .payload = R"({"status":"Done"})"});
    run.event({.ts = at(7), .kind = "node-settled", .labels = labels(1, "c"), .payload = R"({"status":5})"});
    run.event({.ts = at(8), .source = "vcs", .kind = "round-finished", .labels = labels(1)});
    run.event({.ts = at(9), .source = "morvane", .kind = "turn-completed", .labels = labels(1)});
    const auto view = open_view(run);

    EXPECT_PRED_FORMAT2(document_as_in_file, written(view), expected("roles-run"));
    EXPECT_PRED_FORMAT2(document_as_in_file, written(view, "c"), expected("roles-node-c"));
    EXPECT_EQ(written(view, "missing"), R"({"timeline_schema_version":4,"run_id":"run-2","spans":[]})");
}

// Operation spans: verification records, publication, lock waits, and a person's wait.
TEST_F(Timeline, OperationsAndHumanWait) {
    auto run = root_.run("run-3");
    run.launch();
    run.event({.ts = at(0), .kind = "round-started", .labels = labels(1)});
    // An attestation before the wait still ends it; one from version control does not count.
    run.event({.ts = at(1), .kind = "human-attested", .labels = labels(1, "sign")});
    run.event({.ts = at(2), .source = "vcs", .kind = "human-attested", .labels = labels(1, "ship")});
    run.event({.ts = at(3), .kind = "node-settled", .labels = labels(1, "sign"), .payload = R"({"status":"waiting"})"});
    run.event({.ts = at(4), .kind = "node-settled", .labels = labels(1, "ship"), .payload = R"({"status":"waiting"})"});
    run.event({.ts = "2026-04-01T10:00:10.000+00:30", .source = "vcs", .kind = "lock-wait",
               .labels = labels(1, "ship"), .payload = R"({"elapsed":1.5})"});
    run.event({.ts = at(11), .source = "vcs", .kind = "session-opened", .labels = labels(1, "ship"),
               .payload = R"({"branch":"feature/x"})"});
    run.event({.ts = at(12), .source = "vcs", .kind = "session-opened", .labels = labels(1, "ship"),
               .payload = R"({"branch":"feature/y"})"});
    for (const char* elapsed : {"-1", R"("2")", "1e400", "null"}) {
        run.line(testing::envelope_line({.ts = at(13), .source = "vcs", .kind = "lock-wait", .labels = labels(1, "ship"),
                                         .payload = std::string(R"({"elapsed":)") + elapsed + "}"}));
    }
    run.event({.ts = at(14), .source = "vcs", .kind = "change-check", .labels = labels(1, "ship"),
               .payload = R"({"conclusion":"failure","detail":"2 failed"})",
               .artifacts = R"([{"id":"gate-1","kind":"gate_log","bytes":9},{"id":"gate-1","kind":"gate_log","bytes":9}])"});
    run.event({.ts = at(15), .source = "vcs", .kind = "change-opened", .labels = labels(1, "ship"),
               .payload = R"({"url":"https://git.example.com/pr/1"})"});
    run.event({.ts = at(16), .source = "vcs", .kind = "sync-conflict", .labels = labels(1, "ship")});
    run.event({.ts = at(17), .source = "vcs", .kind = "lock-wait", .labels = labels(1, "ship"),
               .payload = R"({"elapsed":0.25})"});
    run.event({.ts = at(18), .source = "vcs", .kind = "lock-wait", .labels = labels(1, "ship"),
               .payload = R"({"elapsed":0.0005})"});
    // Another node: a change opened without a session, and a lock wait whose time does not read.
    run.event({.ts = at(19), .source = "vcs", .kind = "change-opened", .labels = labels(1, "docs"),
               .payload = R"({"url":"https://git.example.com/pr/2"})"});
    run.event({.ts = "yesterday", .source = "vcs", .kind = "lock-wait", .labels = labels(1, "docs"),
               .payload = R"({"elapsed":2})"});
    run.event({.ts = at(20), .source = "vcs", .kind = "session-opened", .labels = labels(1, "docs")});
    // A wait stamped so far ahead that its start leaves the four-digit years keeps its time as written.
    run.event({.ts = "9999-12-31T23:30:00.000-01:00", .source = "vcs", .kind = "lock-wait", .labels = labels(1, "far"),
               .payload = R"({"elapsed":0})"});
    const auto view = open_view(run);

    EXPECT_PRED_FORMAT2(document_as_in_file, written(view), expected("operations-run"));
}

// Event entries: the redirections offered by interrupted turns and context edits, and the
// reference a reader follows.
TEST_F(Timeline, EventEntries) {
    auto run = root_.run("run-4");
    run.launch();
    run.event({.ts = at(0), .kind = "round-started", .labels = labels(1)});
    const std::string member = R"("member":"reviewer")";
    const std::pair<std::string, std::string> interrupted[] = {
        {"morvane", R"({"delivered":false,"member":"  ","input_bytes":2048,"reason":"busy"})"},
        {"morvane", R"({"delivered":true,"reason":"busy","input_bytes":-1})"},
        {"morvane", R"({"delivered":"true"})"},
        {"pipeline", R"({"delivered":false})"},
    };
    for (const auto& [source, payload] : interrupted) {
        run.event({.ts = at(1), .source = source, .kind = "turn-interrupted",
                   .labels = labels(1, "", member + R"(,"session":"s-1")"), .payload = payload});
    }
    const std::string edits[] = {
        R"({"operations":[{"kind":"node-added","node":{"id":"x"}},{"kind":"context-added","node":"build","note":"n","delivery":"live"},{"kind":"context-added","node":"b2","note":"n","delivery":"deferred"}]})",
        R"({"operations":[1,{"kind":"context-added","node":" ","note":"n"}]})",
        R"({"operations":[{"kind":"context-added","node":"build","note":"n","delivery":"later"},{"kind":"context-added","node":"build","note":"n","delivery":"live"}]})",
        R"({"operations":[]})",
    };
    for (const auto& payload : edits) run.event({.ts = at(2), .kind = "edit-committed", .labels = labels(1), .payload = payload});
    run.event({.ts = at(3), .source = "vcs", .kind = "change-opened", .labels = R"({"round":1,"step":"open"})",
               .payload = R"({"url":"","status":7})"});
    run.event({.ts = at(4), .source = "vcs", .kind = "change-check", .labels = labels(1),
               .payload = R"({"url":5,"status":"completed"})",
               .artifacts = R"([{"id":"check-1","kind":"session","bytes":1},{"id":"check-2","kind":"pr","bytes":1}])"});
    const auto view = open_view(run);

    EXPECT_PRED_FORMAT2(document_as_in_file, written(view), expected("events-run"));
}

// A journal line that names round 10^15 (and the run's round counter with it) costs no more
// than any other round: only rounds that carry envelopes are visited.
TEST_F(Timeline, HugeRoundNumbersAreLookedUpNotCountedThrough) {
    auto run = root_.run("run-5");
    run.launch();
    run.event({.ts = at(0), .kind = "round-started", .labels = labels(1)});
    run.event({.ts = at(1), .kind = "round-started", .labels = labels(1000000000000000)});
    run.event({.ts = at(2), .kind = "node-dispatched", .labels = labels(1000000000000000, "n")});
    const auto view = open_view(run);
    ASSERT_EQ(view.round, 1000000000000000u);
    EXPECT_EQ(written(view, "n"),
              R"({"timeline_schema_version":4,"run_id":"run-5","spans":[{"id":"node.1000000000000000.n","kind":"node",)"
              R"("label":"n","started_at":"2026-04-01T10:00:02.000Z","ended_at":null,"node_id":"n",)"
              R"("round":1000000000000000,"events":[{"id":"e2","kind":"node-dispatched","at":"2026-04-01T10:00:02.000Z",)"
              R"("node_id":"n","round":1000000000000000}]},{"id":"dispatch.1000000000000000.n","kind":"dispatch",)"
              R"("label":"n dispatch","started_at":"2026-04-01T10:00:02.000Z","ended_at":null,)"
              R"("parent_id":"node.1000000000000000.n","node_id":"n","round":1000000000000000,)"
              R"("dispatch_id":"run-5.1000000000000000.n","transport_role":"agent","status":"running","events":[]}]})");
    const auto whole = testing::parsed(timeline(view, std::nullopt));
    const auto& spans = whole.at("spans").as_array();
    ASSERT_EQ(spans.size(), 3u);
    EXPECT_EQ(spans[0].at("id"), "round-01");
    EXPECT_EQ(spans[1].at("id"), "round-1000000000000000");
}

// A dispatch id that the identifier rule refuses (longer than 128 bytes) is left out.
TEST_F(Timeline, DispatchIdLeftOutWhenTooLong) {
    const std::string id(125, 'r');
    auto run = root_.run(id);
    run.launch();
    run.event({.ts = at(0), .kind = "round-started", .labels = labels(1)});
    run.event({.ts = at(1), .kind = "node-dispatched", .labels = labels(1, "n")});
    const auto view = open_view(run);
    const auto document = testing::parsed(timeline(view, "n"));
    const auto& dispatch = document.at("spans").as_array().at(1).as_object();
    EXPECT_EQ(dispatch.at("kind"), "dispatch");
    EXPECT_FALSE(dispatch.contains("dispatch_id"));
}

}  // namespace
}  // namespace korvalle::payload
