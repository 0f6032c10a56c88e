// Run lists share the walks over the runs root: a crowd of lists on a warm root, connected
// first and sent together, costs a few walks, and each is answered with the same page.
#include "src/api/answer_budget.hpp"
#include "src/api/routes.hpp"
#include "tests/http/in_process_server.hpp"
#include "tests/support/at_once.hpp"
#include "tests/support/server_fixture.hpp"

namespace korvalle::server {
namespace {

TEST(SharedLists, ACrowdOfListsOnAWarmRootSharesWalks) {
    testing::RunsRoot root;
    for (int i = 0; i < 20; ++i) testing::add_run(root, "run-" + std::to_string(i), "2026-03-05T09:00:00.000Z");
    auto store = std::make_shared<const store::RunStore>(store::RunStore::new_polling_every(
        root.path().string(), 50, {.telemetry_program = testing::fake_tool_binary().string()}));
    // Made before the server, so that they outlive its drain, which closes their connections: a
    // connection that ends on its own while the drain begins may be left to its stopped context.
    std::vector<std::unique_ptr<testing::HttpClient>> clients;
    InProcessServer serving(HttpLimits{}, router_stopping_on(store, std::make_shared<std::atomic<bool>>(false),
                                                             std::make_shared<BlockingPool>(), answer_budget()));
    const std::string list = "/api/v2/runs?limit=5";
    const std::string warm = testing::http_get(serving.port, list).body;

    constexpr int crowd = 64;
    for (int i = 0; i < crowd; ++i) clients.push_back(std::make_unique<testing::HttpClient>(serving.port));
    const std::uint64_t before = store->walks_started();
    const auto answers =
        testing::at_once(crowd, [&](int i) { return clients[static_cast<std::size_t>(i)]->get(list); });
    const std::uint64_t walks = store->walks_started() - before;

    const auto page = testing::run_ids(testing::parse_json(warm));
    ASSERT_EQ(page.size(), 5u);
    for (const auto& answer : answers) {
        ASSERT_EQ(answer.status, 200u) << answer.body;
        EXPECT_EQ(testing::run_ids(testing::parse_json(answer.body)), page);
    }
    EXPECT_GE(walks, 1u);
    EXPECT_LE(walks, 8u) << "a crowd of " << crowd << " lists shared too few walks";
}

}  // namespace
}  // namespace korvalle::server
