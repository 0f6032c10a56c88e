// A server short of descriptors answers 500 read_error instead of a shorter run list, remembers
// nothing of the failure, and serves in full once descriptors are free again; at start it takes
// the hard descriptor limit as its soft one.
#include "tests/support/process_watch.hpp"
#include "tests/support/server_fixture.hpp"

#include <sys/resource.h>

#include <set>

namespace korvalle::testing {
namespace {

// Sets the process's soft descriptor limit, keeping its hard one.
void set_soft_limit(pid_t pid, rlim_t soft) {
    struct rlimit limit {};
    ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, nullptr, &limit), 0);
    limit.rlim_cur = soft;
    ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, &limit, nullptr), 0);
}

// The soft limit under which exactly `free` descriptor numbers are unused: the limit bounds the
// numbers a new descriptor may take, not how many are open.
rlim_t limit_leaving(pid_t pid, int free) {
    std::set<int> used;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        used.insert(std::stoi(entry.path().filename().string()));
    }
    int number = 0;
    for (int unused = 0;; ++number) {
        if (!used.contains(number) && ++unused > free) break;
    }
    return static_cast<rlim_t>(number);
}

rlimit limits_of(pid_t pid) {
    struct rlimit limit {};
    EXPECT_EQ(::prlimit(pid, RLIMIT_NOFILE, nullptr, &limit), 0);
    return limit;
}

TEST(Exhaustion, RunningOutOfDescriptorsAnswersReadErrorAndIsNotRemembered) {
#ifdef KORVALLE_SANITIZED
    // The undefined-behaviour checks probe memory through a pipe; starved of descriptors, they
    // report a fault of their own and end the server.
    GTEST_SKIP() << "the sanitizer build's own checks need free descriptors";
#endif
    RunsRoot root;
    add_run(root, "run-a", "2026-03-02T09:00:00.000Z");
    add_run(root, "run-b", "2026-03-03T09:00:00.000Z");
    root.run("run-a")
        .event({.ts = "2026-03-02T09:00:00.000Z", .kind = "node-settled", .labels = R"({"round":1,"node":"build"})",
                .artifacts = R"([{"id":"notes","kind":"report","bytes":20}])"})
        .artifact("notes", "what the agent wrote");
    // What the list holds with descriptors to spare, from a server of its own.
    auto reference = ServerProcess::serve(root.path(), with_fake_tool(root.path() / "reference-calls"));
    auto expected = parse_json(http_get(reference.port(), "/api/v2/runs").body).at("runs");
    EXPECT_EQ(reference.stop(), 0);

    auto server = ServerProcess::serve(root.path(), with_fake_tool(root.path() / "calls"));
    const rlimit original = limits_of(server.pid());
    const int idle = open_descriptors(server.pid());
    const std::string artifact = "/api/v2/runs/run-a/artifacts/notes";
    // No descriptor free beside the connection's leaves the root unlisted; two or three leave no
    // room for the telemetry child's pipes.
    const std::pair<int, std::string> starved[] = {
        {0, "/api/v2/runs"}, {0, artifact}, {1, "/api/v2/runs"}, {2, "/api/v2/runs"}, {3, "/api/v2/runs"}};
    for (const auto& [free, target] : starved) {
        // The last connection must be gone before the free numbers are counted.
        ASSERT_TRUE(eventually([&] { return open_descriptors(server.pid()) == idle; }));
        set_soft_limit(server.pid(), limit_leaving(server.pid(), 1 + free));  // + 1: the connection
        auto res = http_get(server.port(), target);
        EXPECT_EQ(res.status, 500u) << free << " free, " << target << ": " << res.body;
        EXPECT_EQ(res.body, R"({"error":{"code":"read_error","message":"read failed: unexpected read failure"}})");
        set_soft_limit(server.pid(), original.rlim_cur);
    }
    auto res = http_get(server.port(), "/api/v2/runs");
    EXPECT_EQ(res.status, 200u);
    EXPECT_EQ(parse_json(res.body).at("runs"), expected);
    EXPECT_EQ(http_get(server.port(), artifact).status, 200u);
    EXPECT_EQ(server.stop(), 0);
}

TEST(Exhaustion, TheSoftDescriptorLimitIsRaisedToTheHardOneAtStart) {
    const rlimit own = limits_of(0);
    if (own.rlim_max <= 64) GTEST_SKIP() << "the hard limit leaves nothing to raise";
    set_soft_limit(0, 64);
    RunsRoot root;
    auto server = ServerProcess::serve(root.path());
    set_soft_limit(0, own.rlim_cur);
    const rlimit served = limits_of(server.pid());
    EXPECT_EQ(served.rlim_cur, served.rlim_max);
    EXPECT_EQ(served.rlim_max, own.rlim_max);
    EXPECT_EQ(server.stop(), 0);
}

}  // namespace
}  // namespace korvalle::testing
