// GET /api/v2/runs/{run} on the real server: the document in its envelope, with and without
// conversations, telemetry from the stand-in pipeline tool, and every refusal in order.
#include "tests/support/server_fixture.hpp"

namespace korvalle::testing {
namespace {

class RunDetailRoute : public ServedRoot<RunDetailRoute> {
public:
    static void fill(RunsRoot& root) {
        add_run(root, "r1", "2026-03-05T09:00:00.000Z");
        auto session = root.run("r1");
        session.event({.ts = "2026-03-05T09:00:01.000Z", .source = "morvane", .kind = "turn-completed",
                       .labels = R"({"run_id":"r1","node":"build","round":1,"session":"ses-1"})",
                       .payload = R"({"message":"Built.","usage":{"duration":2.5}})"});
        root.run("no-launch");  // a directory without launch.json is no run
        root.run("bad-launch").launch_text("{");
    }
};

TEST_F(RunDetailRoute, AnswersTheDocumentInTheEnvelope) {
    auto res = get("/api/v2/runs/r1");
    ASSERT_EQ(res.status, 200u) << res.body;
    EXPECT_EQ(res.header("content-type"), "application/json");
    auto body = parse_json(res.body);
    std::vector<std::string> keys;
    for (const auto& entry : body.as_object()) keys.emplace_back(entry.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"api_version", "telemetry_schema_version", "observed_at", "run", "rounds",
                                              "conversations", "node_details", "launch"}));
    // The stand-in tool's telemetry reaches the head.
    EXPECT_EQ(json::write(body.at("run").at("node_work_ms")),
              R"({"agent_model_ms":2500,"judge_model_ms":null,"llmlint_model_ms":null,"tool_ms":null,"wall_ms":1000})");
    EXPECT_EQ(body.at("rounds").as_array().size(), 1u);
    // No query, "true" and other keys only give the same document.
    EXPECT_PRED_FORMAT2(same_document, without_time(get("/api/v2/runs/r1?include_conversations=true")),
                        without_time(res));
    EXPECT_PRED_FORMAT2(same_document, without_time(get("/api/v2/runs/r1?other=1")), without_time(res));
    // "false" empties the conversations only (the rest is the run detail document's test).
    auto without = parse_json(get("/api/v2/runs/r1?include_conversations=false").body);
    EXPECT_EQ(body.at("conversations").as_array().size(), 1u);
    EXPECT_EQ(json::write(without.at("conversations")), "[]");
    EXPECT_EQ(without.at("run"), body.at("run"));
}

// The identifier rule's and the not-found messages are pinned by the run list's and the store's
// tests; the flag's message for this key is pinned here.
TEST_F(RunDetailRoute, RefusalsInOrder) {
    expect_refusals(server_->port(), {
        {"/api/v2/runs/nope", 404, "run_not_found", ""},
        {"/api/v2/runs/no-launch", 404, "run_not_found", ""},
        {"/api/v2/runs/bad-launch", 404, "run_not_found", ""},
        {"/api/v2/runs/.hidden", 422, "invalid_run_id", ""},
        {"/api/v2/runs/" + std::string(129, 'a'), 422, "invalid_run_id", ""},
        {"/api/v2/runs/a%20b?include_conversations=no", 422, "invalid_run_id", ""},
        {"/api/v2/runs/nope?include_conversations=False", 422, "invalid_request",
         "invalid request: include_conversations must be true or false, got \"False\""},
        {"/api/v2/runs/r1?include_conversations=1", 422, "invalid_request", ""},
        {"/api/v2/runs/r1?include_conversations=", 422, "invalid_request",
         "invalid request: include_conversations must be true or false, got \"\""},
        {"/api/v2/runs/r1?include_conversations", 422, "invalid_request",
         "invalid request: include_conversations must be true or false, got \"\""},
    });
    // The quotes of the received value are escaped inside the body.
    EXPECT_NE(get("/api/v2/runs/r1?include_conversations=yes").body.find(R"(got \"yes\")"), std::string::npos);
}

}  // namespace
}  // namespace korvalle::testing
