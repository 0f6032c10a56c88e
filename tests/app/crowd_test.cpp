// A crowd of clients that ask for a large answer and never read, against the real server with
// its real budgets: the document is one text kept with the run's view, counted once where it
// lives, so every one of them is answered and none is told the server is busy; small answers
// still come, a client that reads gets the whole document, and the stop ends the server with
// status 0 while the crowd is still connected. (A crowd of answers made for each request fills
// the answers' budget and its queue: answer_budget_test.cpp.)
#include "tests/support/event_reader.hpp"
#include "tests/support/process_watch.hpp"
#include "tests/support/server_fixture.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <csignal>
#include <deque>
#include <thread>

namespace korvalle::testing {
namespace {

using namespace std::chrono_literals;

TEST(Crowd, EveryOneOfACrowdThatNeverReadsAKeptDocumentIsAnsweredAndTheStopEndsTheServer) {
    RunsRoot root;
    add_run(root, "small", "2026-03-05T09:00:00.000Z");
    // A run whose detail is about 45 MB: counted by each answer, a dozen of them would fill the
    // answers' budget (512 MiB), and a dozen more its queue.
    add_run(root, "big", "2026-03-05T09:00:00.000Z");
    const std::string turn = R"({"message":")" + std::string(100 << 10, 'm') + R"("})";
    auto big = root.run("big");
    for (int i = 0; i < 440; ++i) {
        big.event({.ts = "2026-03-05T09:00:01.000Z", .source = "morvane", .kind = "turn-completed",
                   .labels = R"({"run_id":"big","node":"build","round":1,"session":"ses-1"})", .payload = turn});
    }
    // Its files settle first: a view read within 2 s of their last change answers only the
    // requests that began before its read, and each later one would read the run again.
    std::this_thread::sleep_for(2100ms);
    auto server = ServerProcess::serve(root.path(), with_fake_tool(root.path() / "calls"));
    MemoryGuard guard(server.pid());

    // Each asks once and never reads; the status of the answer begun is looked at without taking
    // it (0 while none has come).
    std::deque<EventReader> crowd;
    for (int i = 0; i < 40; ++i) crowd.emplace_back(server.port(), "/api/v2/runs/big");
    const auto answered = [&](unsigned status) {
        return std::count_if(crowd.begin(), crowd.end(), [&](EventReader& client) {
            char line[12];
            const bool begun = ::recv(client.socket().native_handle(), line, sizeof line, MSG_PEEK | MSG_DONTWAIT) ==
                               sizeof line;
            return (begun ? static_cast<unsigned>(std::stoul(std::string(line + 9, 3))) : 0u) == status;
        });
    };
    ASSERT_TRUE(eventually([&] { return answered(200) == 40; }, 60s)) << server.stderr_text();
    for (const char* small : {"/api/v2/runs", "/api/v2/runs/small", "/api/v2/runs/small/timeline?scope=run"}) {
        EXPECT_EQ(http_get(server.port(), small).status, 200u) << small;
    }
    const HttpResponse read = http_get(server.port(), "/api/v2/runs/big");
    EXPECT_EQ(read.status, 200u);
    EXPECT_GT(read.body.size(), 45'000'000u);

    // The answers being written end by the write-stall rule.
    server.signal(SIGTERM);
    EXPECT_EQ(server.wait(60s), 0);
    EXPECT_EQ(answered(200), 40);
    EXPECT_FALSE(guard.tripped());
    EXPECT_EQ(server.stderr_text(), "");
}

}  // namespace
}  // namespace korvalle::testing
