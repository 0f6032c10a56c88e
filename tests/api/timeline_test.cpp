// GET /api/v2/runs/{run}/timeline on the real server: the scope and node query rule with every
// error of the route in its order of checks, and the success envelope around the document.
#include "tests/support/server_fixture.hpp"

namespace korvalle::testing {
namespace {

class TimelineRoute : public ServedRoot<TimelineRoute> {
public:
    static void fill(RunsRoot& root) {
        add_run(root, "run-1", "2026-03-05T09:00:00.000Z", false, true);
    }
};

// The messages this route composes are pinned here; the identifier rule's phrases are the run
// list's and the identifier tests'.
TEST_F(TimelineRoute, ErrorsInTheOrderOfTheChecks) {
    expect_refusals(server_->port(), {
        // The run id first, even when the scope is wrong too.
        {"/api/v2/runs/.run/timeline?scope=RUN", 422, "invalid_run_id", ""},
        {"/api/v2/runs/a%2Fb/timeline?scope=run", 422, "invalid_run_id", ""},
        // Then the scope: absent, another case, empty, repeated (the last counts), quoted in the message.
        {"/api/v2/runs/run-1/timeline", 422, "invalid_request",
         R"(invalid request: scope must be run or node, got "")"},
        {"/api/v2/runs/no-such-run/timeline?scope=RUN", 422, "invalid_request",
         R"(invalid request: scope must be run or node, got "RUN")"},
        {"/api/v2/runs/run-1/timeline?scope=&node=build", 422, "invalid_request",
         R"(invalid request: scope must be run or node, got "")"},
        {"/api/v2/runs/run-1/timeline?scope=run&scope=Node", 422, "invalid_request",
         R"(invalid request: scope must be run or node, got "Node")"},
        {"/api/v2/runs/run-1/timeline?scope=a%22%5C%0A", 422, "invalid_request",
         R"(invalid request: scope must be run or node, got "a\"\\\n")"},
        // Then the node.
        {"/api/v2/runs/run-1/timeline?scope=run&node=", 422, "invalid_node_id",
         "invalid node id: scope=run covers the whole run and takes no node"},
        {"/api/v2/runs/run-1/timeline?scope=node", 422, "invalid_node_id",
         "invalid node id: scope=node needs the node it scopes to"},
        {"/api/v2/runs/run-1/timeline?scope=node&node=", 422, "invalid_node_id", "invalid node id: must not be empty"},
        {"/api/v2/runs/run-1/timeline?scope=node&node=" + std::string(129, 'n'), 422, "invalid_node_id", ""},
        {"/api/v2/runs/run-1/timeline?scope=node&node=.hidden", 422, "invalid_node_id", ""},
        {"/api/v2/runs/run-1/timeline?scope=node&node=a%2Fb", 422, "invalid_node_id", ""},
        // Only then the runs root.
        {"/api/v2/runs/no-such-run/timeline?scope=run", 404, "run_not_found", ""},
        {"/api/v2/runs/no-such-run/timeline?scope=node&node=build", 404, "run_not_found", ""},
    });
}

TEST_F(TimelineRoute, WholeRunInTheSuccessEnvelope) {
    auto res = get("/api/v2/runs/run-1/timeline?scope=run&foo=1");
    ASSERT_EQ(res.status, 200u);
    EXPECT_EQ(res.header("content-type"), "application/json");
    EXPECT_EQ(without_time(res),
              R"({"api_version":2,"telemetry_schema_version":12,"observed_at":"T","timeline_schema_version":4,"run_id":"run-1",)"
              R"("spans":[{"id":"round-01","kind":"round","label":"round 1","started_at":"2026-03-05T09:00:00.000Z",)"
              R"("ended_at":null,"round":1,"phase":"driving-round","events":[{"id":"e1","kind":"round-started",)"
              R"("at":"2026-03-05T09:00:00.000Z","round":1}]},{"id":"node.01.build","kind":"node","label":"build",)"
              R"("started_at":"2026-03-05T09:00:00.000Z","ended_at":"2026-03-05T09:00:00.000Z","parent_id":"round-01",)"
              R"("node_id":"build","round":1,"status":"done","events":[{"id":"e2","kind":"node-settled",)"
              R"("at":"2026-03-05T09:00:00.000Z","node_id":"build","round":1,"status":"done"}]}]})");
    // The timeline never asks for telemetry.
    EXPECT_FALSE(std::filesystem::exists(root_->path() / "calls"));
}

TEST_F(TimelineRoute, NodeScopeAndANodeNoEnvelopeNames) {
    auto res = get("/api/v2/runs/run-1/timeline?node=build&scope=node");
    ASSERT_EQ(res.status, 200u);
    EXPECT_EQ(without_time(res),
              R"({"api_version":2,"telemetry_schema_version":12,"observed_at":"T","timeline_schema_version":4,"run_id":"run-1",)"
              R"("spans":[{"id":"node.01.build","kind":"node","label":"build","started_at":"2026-03-05T09:00:00.000Z",)"
              R"("ended_at":"2026-03-05T09:00:00.000Z","node_id":"build","round":1,"status":"done","events":[{"id":"e2",)"
              R"("kind":"node-settled","at":"2026-03-05T09:00:00.000Z","node_id":"build","round":1,"status":"done"}]}]})");
    // A repeated node counts with its last value; node ids compare with their letter case.
    const std::string node_document = without_time(res);
    EXPECT_EQ(without_time(get("/api/v2/runs/run-1/timeline?scope=node&node=ghost&node=build")), node_document);
    for (const char* node : {"ghost", "BUILD"}) {
        res = get(std::string("/api/v2/runs/run-1/timeline?scope=node&node=") + node);
        ASSERT_EQ(res.status, 200u);
        EXPECT_EQ(without_time(res), R"({"api_version":2,"telemetry_schema_version":12,"observed_at":"T",)"
                                     R"("timeline_schema_version":4,"run_id":"run-1","spans":[]})");
    }
}

// A run whose journal is garbage, or that vanishes, still answers plainly.
TEST(TimelineRouteBadRuns, BrokenJournalAndVanishedRun) {
    RunsRoot root;
    auto run = root.run("broken");
    run.launch();
    run.line("not json at all");
    run.line(R"({"v":1,"ts":"2026-03-05T09:00:00.000Z"})");
    run.event({.ts = "2026-13-45T99:99:99.999Z", .kind = "round-started", .labels = R"({"round":1})"});
    run.event({.ts = "", .kind = "node-settled", .labels = R"({"round":1,"node":"n"})", .payload = R"({"status":"waiting"})"});
    auto server = ServerProcess::serve(root.path(), with_fake_tool(root.path() / "calls"));
    auto res = http_get(server.port(), "/api/v2/runs/broken/timeline?scope=run");
    ASSERT_EQ(res.status, 200u) << res.body;
    auto body = parse_json(res.body);
    const auto& spans = body.at("spans").as_array();
    ASSERT_EQ(spans.size(), 3u);  // round, node, human wait
    EXPECT_EQ(spans[0].at("started_at"), "");
    EXPECT_EQ(spans[2].at("kind"), "human-wait");
    EXPECT_TRUE(spans[2].at("ended_at").is_null());
    std::filesystem::remove_all(run.dir());
    res = http_get(server.port(), "/api/v2/runs/broken/timeline?scope=run");
    EXPECT_EQ(res.status, 404u);
    EXPECT_EQ(error_code(res), "run_not_found");
}

}  // namespace
}  // namespace korvalle::testing
