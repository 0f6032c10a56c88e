// The run list and run detail over a hostile runs root: a terabyte launch record, journal and
// round plan (sparse), and run files linked to a kernel file with no end. The answers hold the
// runs that open, and the server's memory stays small (a guard kills it past 1 GiB, failing
// the test).
#include "tests/support/process_watch.hpp"
#include "tests/support/server_fixture.hpp"

#include <unistd.h>

namespace korvalle::testing {
namespace {

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

}  // namespace
}  // namespace korvalle::testing
