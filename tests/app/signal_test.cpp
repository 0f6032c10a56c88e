// A server ended by a signal other than the stop signals takes its telemetry child's whole
// process group with it, and still ends by that signal.
#include "tests/support/process_watch.hpp"
#include "tests/support/server_fixture.hpp"

#include <csignal>
#include <future>
#include <sstream>

namespace korvalle::testing {
namespace {

using namespace std::chrono_literals;

TEST(EndingSignals, TheTelemetryChildsGroupEndsWithTheServer) {
    for (int sig : {SIGHUP, SIGUSR2, SIGALRM}) {
        RunsRoot root;
        add_run(root, "hanging", "2026-03-02T09:00:00.000Z");
        const auto calls = root.path() / "calls";
        auto server = ServerProcess::serve(root.path(), with_fake_tool(calls, {{"FAKE_KORVALLE_MODE", "hang"}}));
        auto request = std::async(std::launch::async, [port = server.port()] {
            try {
                return http_get(port, "/api/v2/runs").status;
            } catch (const std::exception&) {
                return 0u;  // the server ended first
            }
        });
        pid_t grandchild = 0;
        ASSERT_TRUE(eventually([&] {
            std::istringstream words(read_text(calls));
            for (std::string word; words >> word;) {
                if (word == "grandchild") words >> grandchild;
            }
            return grandchild > 0;
        })) << strsignal(sig);
        const pid_t group = group_of(grandchild);
        ASSERT_GT(group, 0);
        ASSERT_NE(group, server.pid());

        server.signal(sig);
        EXPECT_EQ(server.wait(), 128 + sig) << strsignal(sig);
        EXPECT_TRUE(eventually([&] { return running_in_group(group).empty(); }, 10s)) << strsignal(sig);
        if (!running_in_group(group).empty()) ::kill(-group, SIGKILL);  // nothing left behind on failure
        EXPECT_EQ(request.wait_for(20s), std::future_status::ready);
    }
}

}  // namespace
}  // namespace korvalle::testing
