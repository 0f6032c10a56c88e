// A crowd of clients that ask for a large answer and never read, against the real server with
// its real budgets: small answers still come, a large request past the queue is told the server
// is busy, and the stop ends the server with status 0 while the crowd is still connected.
#include "tests/support/process_watch.hpp"
#include "tests/support/server_fixture.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <memory>
#include <stdexcept>
#include <string_view>

namespace korvalle::testing {
namespace {

using namespace std::chrono_literals;

// A client that sends one request and never reads its answer.
class NonReader {
public:
    NonReader(unsigned short port, std::string_view target) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        const sockaddr_in address{.sin_family = AF_INET, .sin_port = htons(port), .sin_addr = {htonl(INADDR_LOOPBACK)}};
        const std::string request = "GET " + std::string(target) + " HTTP/1.1\r\nhost: localhost\r\n\r\n";
        if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::send(fd_, request.data(), request.size(), 0) != static_cast<ssize_t>(request.size())) {
            throw std::runtime_error("cannot send the request");
        }
    }
    ~NonReader() { ::close(fd_); }
    NonReader(const NonReader&) = delete;

    // The status of the answer begun, looked at without taking it; 0 while none has come.
    unsigned status() const {
        char line[12];
        if (::recv(fd_, line, sizeof line, MSG_PEEK | MSG_DONTWAIT) != sizeof line) return 0;
        return static_cast<unsigned>(std::stoul(std::string(line + 9, 3)));
    }

private:
    int fd_;
};

// A run whose detail is about 45 MB: a dozen of them fill the answers' budget (512 MiB), and a
// dozen more its queue.
void add_big_run(RunsRoot& root) {
    add_run(root, "big", "2026-03-05T09:00:00.000Z");
    auto run = root.run("big");
    const std::string turn = R"({"message":")" + std::string(100 << 10, 'm') + R"("})";
    for (int i = 0; i < 440; ++i) {
        run.event({.ts = "2026-03-05T09:00:01.000Z", .source = "morvane", .kind = "turn-completed",
                   .labels = R"({"run_id":"big","node":"build","round":1,"session":"ses-1"})", .payload = turn});
    }
}

TEST(Crowd, SmallAnswersComePastTheQueueTheServerIsBusyAndTheStopEndsTheServer) {
    RunsRoot root;
    add_run(root, "small", "2026-03-05T09:00:00.000Z");
    add_big_run(root);
    auto server = ServerProcess::serve(root.path(), with_fake_tool(root.path() / "calls"));
    MemoryGuard guard(server.pid());

    std::vector<std::unique_ptr<NonReader>> crowd;
    for (int i = 0; i < 40; ++i) crowd.push_back(std::make_unique<NonReader>(server.port(), "/api/v2/runs/big"));
    const auto answered = [&](unsigned status) {
        return std::count_if(crowd.begin(), crowd.end(), [&](const auto& client) { return client->status() == status; });
    };
    // One told busy means the budget and its queue are full; they stay so until the answers being
    // written to the crowd are cut, 30 s after they began.
    ASSERT_TRUE(eventually([&] { return answered(503) > 0; }, 60s)) << server.stderr_text();

    for (const char* small : {"/api/v2/runs", "/api/v2/runs/small", "/api/v2/runs/small/timeline?scope=run"}) {
        EXPECT_EQ(HttpClient(server.port()).get(small).status, 200u) << small;
    }
    HttpClient reader(server.port());
    expect_told_busy(reader, "/api/v2/runs/big");

    // Those still waiting are told the server is busy at once; the answers being written end by
    // the write-stall rule.
    server.signal(SIGTERM);
    EXPECT_EQ(server.wait(60s), 0);
    EXPECT_EQ(answered(0), 0);
    EXPECT_GT(answered(200), 0);
    EXPECT_FALSE(guard.tripped());
    EXPECT_EQ(server.stderr_text(), "") << "a refusal writes no line";
}

}  // namespace
}  // namespace korvalle::testing
