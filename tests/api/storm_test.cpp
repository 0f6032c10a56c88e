// A storm of event streams and lists while a run's open waits for the budget for opens, served
// by a blocking pool of two threads: every wait on a request's path holds no thread, and work
// resumed after a wait goes ahead of work not yet begun, so the run's detail, every stream's
// snapshot and a run list are all answered. A server whose waits held threads would hang here
// for good: the streams would take both threads waiting for the open, whose next step could
// then find none.
#include "src/api/answer_budget.hpp"
#include "src/api/routes.hpp"
#include "tests/http/in_process_server.hpp"
#include "tests/support/event_reader.hpp"
#include "tests/support/sanitizers.hpp"
#include "tests/support/server_fixture.hpp"

#include <future>
#include <memory>
#include <string>
#include <vector>

namespace korvalle::server {
namespace {

using namespace std::chrono_literals;

// A run whose journal takes a noticeable while to open: lines of about 4 KiB.
void add_big_run(testing::RunsRoot& root, const std::string& id, int lines) {
    testing::add_run(root, id, "2026-03-05T09:00:00.000Z");
    const std::string line = testing::envelope_line(
        {.ts = "2026-03-05T09:00:01.000Z", .kind = "note", .payload = R"({"text":")" + std::string(4000, 'n') + R"("})"});
    std::string journal;
    for (int i = 0; i < lines; ++i) journal += line + "\n";
    root.run(id).journal_bytes(journal);
}

TEST(Storm, StreamsAndListsWaitingForARunsOpenHoldNoThread) {
    testing::RunsRoot root;
    add_big_run(root, "a", 4000);
    add_big_run(root, "b", 4000);
    // Each open reserves more than the whole budget for opens, so the two open one after the other.
    auto cache = std::make_shared<store::RunCache>(store::RunCache::Bounds{.open_budget = 1});
    auto store = std::make_shared<const store::RunStore>(store::RunStore::new_polling_every(
        root.path().string(), 50, cache, {.telemetry_program = testing::fake_tool_binary().string()}));
    auto pool = std::make_shared<BlockingPool>(2);
    InProcessServer serving(HttpLimits{},
                            router_stopping_on(store, std::make_shared<std::atomic<bool>>(false), pool, answer_budget()));
    const auto detail = [&](const std::string& id) {
        return std::async(std::launch::async, [&, id] {
            return testing::http_get(serving.port, "/api/v2/runs/" + id + "?include_conversations=false").status;
        });
    };
    const auto until = [&](auto condition) {
        const auto deadline = std::chrono::steady_clock::now() + testing::scaled(20s);
        while (!condition() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    };

    auto first = detail("a");
    until([&] { return cache->figures().opens.held > 0 || first.wait_for(0s) == std::future_status::ready; });
    auto second = detail("b");
    until([&] { return cache->figures().opens.waiting > 0 || second.wait_for(0s) == std::future_status::ready; });
    std::vector<std::unique_ptr<testing::EventReader>> streams;
    for (int i = 0; i < 12; ++i) {
        streams.push_back(std::make_unique<testing::EventReader>(serving.port, "/api/v2/events?run_id=b"));
        streams.push_back(std::make_unique<testing::EventReader>(serving.port, "/api/v2/events"));
    }
    auto list = std::async(std::launch::async, [&] { return testing::http_get(serving.port, "/api/v2/runs").status; });

    const auto wait = testing::scaled(60s);
    ASSERT_EQ(second.wait_for(wait), std::future_status::ready) << "run b's detail never came";
    EXPECT_EQ(first.get(), 200);
    EXPECT_EQ(second.get(), 200);
    for (auto& stream : streams) EXPECT_EQ(testing::name_of(stream->next_event(wait)), "snapshot");
    ASSERT_EQ(list.wait_for(wait), std::future_status::ready) << "the run list never came";
    EXPECT_EQ(list.get(), 200);
    EXPECT_LE(pool->thread_count(), 2u);
}

}  // namespace
}  // namespace korvalle::server
