// The run list and run detail over a hostile runs root: a terabyte launch record, journal and
// round plan (sparse), and run files linked to a kernel file with no end. The answers hold the
// runs that open, and the server's memory stays small (a guard kills it past 1 GiB, failing
// the test). A run's entry flipped between the run and another directory while it is read: no
// answer mixes the two.
#include "tests/support/flipping_entry.hpp"
#include "tests/support/process_watch.hpp"
#include "tests/support/server_fixture.hpp"

#include <unistd.h>

namespace korvalle::testing {
namespace {

namespace fs = std::filesystem;

constexpr off_t terabyte = off_t{1} << 40;

TEST(HostileRoot, HugeAndEndlessRunFilesLeaveTheServerAnswering) {
    RunsRoot root;
    add_run(root, "good", "2026-03-02T09:00:00.000Z");
    add_run(root, "sparse-journal", "2026-03-03T09:00:00.000Z");
    ASSERT_EQ(::truncate((root.path() / "sparse-journal" / "events.jsonl").c_str(), terabyte), 0);
    add_run(root, "sparse-launch", "2026-03-04T09:00:00.000Z");
    ASSERT_EQ(::truncate((root.path() / "sparse-launch" / "launch.json").c_str(), terabyte), 0);
    root.run("endless-launch");
    std::filesystem::create_symlink("/proc/self/pagemap", root.path() / "endless-launch" / "launch.json");
    root.run("endless-journal").launch();
    std::filesystem::create_symlink("/proc/self/pagemap", root.path() / "endless-journal" / "events.jsonl");
    // Round files: a terabyte plan and a result with no end.
    add_run(root, "rounds", "2026-03-01T09:00:00.000Z");
    root.run("rounds").round_plan(1, "");
    ASSERT_EQ(::truncate((root.path() / "rounds" / "round-01" / "plan.json").c_str(), terabyte), 0);
    std::filesystem::create_symlink("/proc/self/pagemap", root.path() / "rounds" / "round-01" / "result.json");

    auto server = ServerProcess::serve(root.path(), with_fake_tool(root.path() / "calls"));
    MemoryGuard guard(server.pid());
    for (int i = 0; i < 3; ++i) {
        auto res = http_get(server.port(), "/api/v2/runs?include_settled=true");
        ASSERT_EQ(res.status, 200u) << res.body;
        EXPECT_EQ(run_ids(parse_json(res.body)),
                  (std::vector<std::string>{"sparse-journal", "good", "rounds", "endless-journal"}));
    }
    for (const char* run : {"sparse-journal", "rounds", "endless-journal"}) {
        EXPECT_EQ(http_get(server.port(), std::string("/api/v2/runs/") + run).status, 200u) << run;
    }
    EXPECT_EQ(error_code(http_get(server.port(), "/api/v2/runs/sparse-launch")), "run_not_found");
    EXPECT_FALSE(guard.tripped());
    EXPECT_EQ(server.stop(), 0);
}

// Writes a directory that looks like run `who`'s: a journal whose plan has the node `who`-node,
// settled and its round finished, naming the artifact "report"; the round's result file and
// the artifact, each saying whose they are.
void write_run_files(RunBuilder run, const std::string& who) {
    const std::string plan = R"({"schema_version":1,"goal":{"text":"g"},"name":"n","tasks":[{"id":")" + who +
                             R"(-node","task":"T."}]})";
    run.event({.kind = "run-started", .labels = R"({"run_id":"r-1"})", .payload = R"({"plan":)" + plan + "}"})
        .event({.kind = "round-started", .labels = R"({"run_id":"r-1","round":1})", .payload = R"({"plan":)" + plan + "}"})
        .event({.kind = "node-settled", .labels = R"({"run_id":"r-1","node":")" + who + R"(-node","round":1})",
                .payload = R"({"status":"done"})", .artifacts = R"([{"id":"report","kind":"report","bytes":1}])"})
        .event({.kind = "round-finished", .labels = R"({"run_id":"r-1","round":1})", .payload = R"({"ok":true})"})
        .round_result(1, R"({"nodes":[{"id":")" + who + R"(-node","status":")" + who + R"(-status"}]})")
        .artifact("report", who + "'s report");
}

// The root's entry "r-1" is renamed over, again and again, with a link to the run and with a link
// to a decoy: a directory with a journal, round result and artifact of its own and no launch
// record (so it is no run). Whatever a request meets, its answer comes from one directory: a run
// detail or run-list entry never holds the decoy's journal or round file beside the run's launch
// record, and the run's artifact is never the decoy's file.
TEST(HostileRoot, AFlippingRunEntryNeverMixesTwoDirectories) {
    RunsRoot scratch;
    const fs::path root = scratch.path() / "root";
    for (const char* dir : {"root", "stored", "decoy"}) fs::create_directories(scratch.path() / dir);
    RunBuilder run(scratch.path() / "stored", "r-1");
    run.launch(Launch{.run_id = "r-1"});
    write_run_files(run, "run");
    write_run_files(RunBuilder(scratch.path() / "decoy", "r-1"), "decoy");
    const fs::path entry = root / "r-1";
    fs::create_directory_symlink(run.dir(), entry);

    auto server = ServerProcess::serve(root, with_fake_tool(scratch.path() / "calls"));
    const FlippingEntry flipping(entry, run.dir(), scratch.path() / "decoy");
    HttpClient client(server.port());
    int answered = 0;
    for (int i = 0; i < 1500; ++i) {
        // Each target with what its answer holds, found or not, when it comes from the run.
        const auto [target, of_the_run] = std::vector<std::pair<std::string, std::string>>{
            {"/api/v2/runs/r-1", "run-node"},
            {"/api/v2/runs?include_settled=true", ""},  // the run is settled
            {"/api/v2/runs/r-1/artifacts/report", "run's report"}}[i % 3];
        const HttpResponse res = client.get(target);
        if (res.status == 404u) continue;
        EXPECT_EQ(res.status, 200u) << target << ": " << res.body;
        EXPECT_EQ(res.body.find("decoy"), std::string::npos) << target << ": " << res.body;
        EXPECT_NE(res.body.find(of_the_run), std::string::npos) << target << ": " << res.body;
        if (res.body.find("\"r-1\"") != std::string::npos) ++answered;
    }
    EXPECT_GT(answered, 0);
    EXPECT_EQ(server.stop(), 0);
}

}  // namespace
}  // namespace korvalle::testing
