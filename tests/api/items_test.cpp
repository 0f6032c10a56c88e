// GET /api/v2/runs/{run}/conversations/{id} and /artifacts/{id} on the real server: documents of
// the demo root in their envelope, the identifier checks, and files that must not be served.
// (HEAD and other methods are the same for every route: tests/http.)
#include "tests/support/flipping_entry.hpp"
#include "tests/support/server_fixture.hpp"

#include <atomic>
#include <cstdio>
#include <thread>

#include <sys/stat.h>

namespace korvalle::testing {
namespace {

namespace fs = std::filesystem;

const fs::path demo_root = fs::path(KORVALLE_SOURCE_DIR) / "examples" / "runs";
const std::string notes = "/api/v2/runs/2026-03-08-release-notes";

class DemoItems : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        scratch_ = new RunsRoot();
        server_ = new ServerProcess(ServerProcess::serve(demo_root, with_fake_tool(scratch_->path() / "calls")));
    }
    static void TearDownTestSuite() {
        delete server_;
        delete scratch_;
    }
    static HttpResponse get(const std::string& target) { return http_get(server_->port(), target); }

    inline static RunsRoot* scratch_ = nullptr;
    inline static ServerProcess* server_ = nullptr;
};

const std::string envelope_head = R"({"api_version":2,"telemetry_schema_version":12,"observed_at":"T",)";

// One whole conversation in its envelope; the documents themselves are the payload tests'.
TEST_F(DemoItems, ConversationOfTheReleaseNotesRun) {
    // A query string changes nothing.
    auto publish = get(notes + "/conversations/ses-publish-01?scope=node&x=1");
    ASSERT_EQ(publish.status, 200u);
    EXPECT_EQ(publish.header("content-type"), "application/json");
    EXPECT_EQ(without_time(publish),
              envelope_head +
                  R"("conversation":{"canContinue":false,"harnesses":["morvenlath"],"id":"ses-publish-01",)"
                  R"("name":"publish-notes","project":"2026-03-08-release-notes","startedAt":"2026-03-08T10:00:58.000Z",)"
                  R"("state":"turn-completed","turns":[{"assistant":"Opened #88 for the 0.3.4 notes.","durationMs":7900,)"
                  R"("failureKind":null,"harness":"morvenlath","id":"ses-publish-01.0","model":"claude-sonnet-4",)"
                  R"("reasoning":null,"status":"turn-completed","timestamp":"2026-03-08T10:01:06.000Z",)"
                  R"("tools":[{"index":0,"kind":"tool","name":"Bash","input":"gh pr create --fill","output":null}],)"
                  R"("unknown":{},"usage":{"inputTokens":3310,"outputTokens":212,"cacheReadTokens":2900,)"
                  R"("cacheWriteTokens":0,"costUsd":0.0141},"user":"pr-author"},{"assistant":"Merged #88 into main.",)"
                  R"("durationMs":2600,"failureKind":null,"harness":"morvenlath","id":"ses-publish-01.1",)"
                  R"("model":"claude-sonnet-4","reasoning":null,"status":"turn-completed",)"
                  R"("timestamp":"2026-03-08T10:01:44.000Z","tools":[],"unknown":{},"usage":{"inputTokens":3522,)"
                  R"("outputTokens":48,"cacheReadTokens":3300,"cacheWriteTokens":0,"costUsd":0.0052},"user":"pr-author"}]},)"
                  R"("attribution":{"runId":"2026-03-08-release-notes","round":1,"nodeId":"publish-notes",)"
                  R"("launchId":"2026-03-08-release-notes","launcher":"claude-code","transportRole":"agent",)"
                  R"("agentRole":"pr-author","persona":"pr-author","finishedAt":"2026-03-08T10:01:44.000Z"}})");
}

TEST_F(DemoItems, ArtifactsOfEveryKind) {
    const std::pair<std::string, std::string> kinds[] = {
        {"draft-notes-transcript", "conversation"}, {"draft-notes-session", "tandrel_session"},
        {"draft-notes-report", "worker_report"},    {"publish-notes-pr", "pr"},
        {"publish-notes-gate-log", "gate_log"},
    };
    for (const auto& [id, kind] : kinds) {
        SCOPED_TRACE(id);
        auto res = get(notes + "/artifacts/" + id);
        ASSERT_EQ(res.status, 200u);
        std::string file = read_text(demo_root / "2026-03-08-release-notes" / "artifacts" / id);
        const bool truncated = file.size() > 65536;
        if (truncated) file = file.substr(file.size() - 65536);
        boost::json::object expected;
        expected["id"] = id;
        expected["kind"] = kind;
        expected["content"] = file;
        expected["truncated"] = truncated;
        EXPECT_PRED_FORMAT2(same_document, without_time(res), envelope_head + json::write(expected).substr(1));
    }
}

// Each message is pinned once: the identifier rule's phrases are the run list's and the
// identifier tests', so most rows here check the kind only.
TEST_F(DemoItems, IdsAreCheckedRunFirstBeforeAnythingIsRead) {
    expect_refusals(server_->port(), {
        {"/api/v2/runs/.bad/conversations/.bad", 422, "invalid_run_id", ""},
        {"/api/v2/runs/.bad/artifacts/a%2Fb", 422, "invalid_run_id", ""},
        {"/api/v2/runs/no-such-run/conversations/a%20b", 422, "invalid_conversation_id",
         "invalid conversation id: must use only ASCII letters, digits, '-', '_', and '.'"},
        {"/api/v2/runs/no-such-run/artifacts/..", 422, "invalid_artifact_id", "invalid artifact id: must not start with '.'"},
        {notes + "/artifacts/%2E%2E", 422, "invalid_artifact_id", ""},
        {notes + "/artifacts/a%2Fb", 422, "invalid_artifact_id", ""},
        {notes + "/artifacts/..%2F..%2F..%2Fetc%2Fpasswd", 422, "invalid_artifact_id", ""},
        {notes + "/artifacts/x%00", 422, "invalid_artifact_id", ""},
        {notes + "/artifacts/" + std::string(129, 'a'), 422, "invalid_artifact_id", ""},
        {"/api/v2/runs/no-such-run/conversations/x", 404, "run_not_found", ""},
        {"/api/v2/runs/no-such-run/artifacts/x", 404, "run_not_found", ""},
        {notes + "/conversations/SES-DRAFT-01", 404, "conversation_not_found", "no recorded conversation SES-DRAFT-01"},
        {notes + "/conversations/draft-notes-report", 404, "conversation_not_found", ""},
        {notes + "/artifacts/ses-draft-01", 404, "artifact_not_found", "no recorded artifact ses-draft-01"},
        // Present in the run directory, but no journal line names it.
        {notes + "/artifacts/launch.json", 404, "artifact_not_found", ""},
    });
}

// A file that turns into a FIFO between two requests: a plain not-found answer, nothing logged,
// no reader blocked. (Which files are never served is the artifact document's test.)
TEST(RunItems, AFileThatBecomesAFifoAnswersNotFound) {
    RunsRoot root;
    auto run = root.run("r-1");
    run.launch()
        .event({.kind = "node-settled", .labels = R"({"round":1,"node":"a"})",
                .artifacts = R"([{"id":"swapped","kind":"report","bytes":1}])"})
        .artifact("swapped", "served once");
    auto server = ServerProcess::serve(root.path(), with_fake_tool(root.path() / "calls"));
    EXPECT_EQ(http_get(server.port(), "/api/v2/runs/r-1/artifacts/swapped").status, 200u);
    fs::remove(run.dir() / "artifacts" / "swapped");
    ASSERT_EQ(::mkfifo((run.dir() / "artifacts" / "swapped").c_str(), 0600), 0);
    auto res = http_get(server.port(), "/api/v2/runs/r-1/artifacts/swapped");
    EXPECT_EQ(res.status, 404u);
    EXPECT_EQ(error_code(res), "artifact_not_found");
    EXPECT_EQ(server.stderr_text().find("artifact"), std::string::npos);
}

// The run's entry in the runs root is renamed over, again and again, with a link to the run and
// with a link to a directory outside that looks like the same run (its launch record and journal
// link to the run's own) and whose artifacts link to a secret beside it; the run's own "leak"
// links to that secret. Every answer is the run's own file or not found.
TEST(RunItems, AFlippingRunEntryNeverServesAFileOutside) {
    RunsRoot scratch;
    const fs::path root = scratch.path() / "root";
    const fs::path outside = scratch.path() / "outside";
    const std::string secret = "SECRET-9b27";
    RunBuilder run(scratch.path() / "stored", "r-1");
    run.launch()
        .event({.kind = "node-settled", .labels = R"({"round":1,"node":"a"})",
                .artifacts = R"([{"id":"report","kind":"report","bytes":1},{"id":"leak","kind":"log","bytes":1}])"})
        .artifact("report", "inside the run");
    write_file(outside / "secret", secret);
    fs::create_symlink(outside / "secret", run.dir() / "artifacts" / "leak");
    fs::create_directories(outside / "artifacts");
    for (const char* id : {"report", "leak"}) fs::create_symlink("../secret", outside / "artifacts" / id);
    for (const char* file : {"launch.json", "events.jsonl"}) fs::create_symlink(run.dir() / file, outside / file);
    fs::create_directories(root);
    const fs::path entry = root / "r-1";
    fs::create_directory_symlink(run.dir(), entry);

    auto server = ServerProcess::serve(root, with_fake_tool(scratch.path() / "calls"));
    const FlippingEntry flipping(entry, run.dir(), outside);
    HttpClient client(server.port());
    for (int i = 0; i < 2000; ++i) {
        const std::string id = i % 2 ? "report" : "leak";
        HttpResponse res = client.get("/api/v2/runs/r-1/artifacts/" + id);
        EXPECT_EQ(res.body.find(secret), std::string::npos) << id;
        if (res.status == 200u) {
            EXPECT_EQ(parse_json(res.body).at("content"), "inside the run") << id;
        } else {
            EXPECT_EQ(res.status, 404u) << res.body;
        }
    }
    EXPECT_EQ(server.stop(), 0);
}

}  // namespace
}  // namespace korvalle::testing
