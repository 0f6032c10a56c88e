// What a crowd of run documents holds, on the real router and store served in process: a
// document takes its share of the answers before anything is made for it, and a request waiting
// for the telemetry cache's turn holds no view.
#include "src/api/answer_budget.hpp"
#include "src/api/routes.hpp"
#include "src/store/blocking.hpp"
#include "tests/http/in_process_server.hpp"
#include "tests/support/at_once.hpp"
#include "tests/support/process_watch.hpp"
#include "tests/support/server_fixture.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

namespace korvalle::server {
namespace {

using namespace std::chrono_literals;

// A run of many small envelopes: its envelope facts and journal index are megabytes, made for
// each request when they do not fit beside the view, while its detail is small.
void add_busy_run(testing::RunsRoot& root, const std::string& id, int envelopes) {
    testing::add_run(root, id, "2026-03-05T09:00:00.000Z");
    std::string journal;
    for (int i = 0; i < envelopes; ++i) {
        const std::string labels =
            fmt::format(R"({{"run_id":"{}","node":"n{}","round":1,"session":"s{}"}})", id, i % 4, i % 8);
        journal += testing::envelope_line({.ts = "2026-03-05T09:00:01.000Z", .source = "morvane",
                                           .kind = "turn-completed", .seq = std::uint64_t(i + 1), .labels = labels,
                                           .payload = R"({"message":"m"})"}) +
                   "\n";
    }
    root.run(id).journal_bytes(journal);
}

// A clock by which the files just written have settled: their views are trusted at once.
std::int64_t settled_clock() { return store::RunCache::realtime_ns() + 10 * store::RunCache::settle_ns; }

// The real router over root, with a cache keeping at most view_bytes of views.
struct Served {
    Served(const testing::RunsRoot& root, std::uint64_t view_bytes, std::shared_ptr<store::MemoryBudget> budget)
        : cache(std::make_shared<store::RunCache>(store::RunCache::Bounds{.view_bytes = view_bytes}, settled_clock)),
          answers(std::move(budget)),
          serving(HttpLimits{}, router_stopping_on(std::make_shared<const store::RunStore>(store_of(root, cache)),
                                                   std::make_shared<std::atomic<bool>>(false),
                                                   std::make_shared<BlockingPool>(), answers)) {}
    static store::RunStore store_of(const testing::RunsRoot& root, std::shared_ptr<store::RunCache> cache) {
        return store::RunStore::new_polling_every(root.path().string(), 500, std::move(cache),
                                                  {.telemetry_program = testing::fake_tool_binary().string()});
    }
    std::shared_ptr<store::RunCache> cache;
    std::shared_ptr<store::MemoryBudget> answers;
    InProcessServer serving;
};

std::uint64_t view_bytes(const testing::RunsRoot& root, const std::string& id) {
    auto store = store::RunStore::new_polling_every(root.path().string(), 500);
    return (*store::blocking::find_opened(store, *contract::RunId::make(id)))->bytes;
}

std::string without_observed_at(const std::string& body) {
    const auto at = body.find("\"observed_at\"");
    return at == std::string::npos ? body : body.substr(0, at) + body.substr(body.find(',', at));
}

TEST(CrowdMemory, ACrowdOfDetailsWhosePartsAreMadeForEachBuildsOnlyWhatTheBudgetAdmits) {
    testing::RunsRoot root;
    add_busy_run(root, "busy", 60'000);
    // No room beside the view: its indexes are made for each request.
    Served served(root, view_bytes(root, "busy"), answer_budget(4 << 20));
    const std::string target = "/api/v2/runs/busy?include_conversations=false";
    const testing::HttpResponse first = testing::http_get(served.serving.port, target);
    ASSERT_EQ(first.status, 200u);

    // The process's resident memory, sampled while the crowd is answered.
    const std::size_t start = testing::resident_bytes(::getpid());
    std::atomic<std::size_t> peak{start};
    std::atomic<bool> done{false};
    std::thread sampler([&] {
        for (; !done; std::this_thread::sleep_for(5ms))
            peak = std::max(peak.load(), testing::resident_bytes(::getpid()));
    });
    const auto answers = testing::at_once(48, [&](int) { return testing::http_get(served.serving.port, target); });
    done = true;
    sampler.join();

    int served_whole = 0;
    for (const auto& res : answers) {
        ASSERT_TRUE(res.status == 200 || res.status == 503) << res.status;
        if (res.status != 200) continue;
        ++served_whole;
        EXPECT_EQ(without_observed_at(res.body), without_observed_at(first.body));
    }
    // Each request's parts are some megabytes: built all at once they would take hundreds.
    EXPECT_LT(peak - start, std::size_t{96} << 20);
    EXPECT_GE(served_whole, 1);
    EXPECT_GT(served.answers->figures().refused, 0u);
}

TEST(CrowdMemory, RequestsWaitingForTelemetryHoldNoViewOutsideTheCache) {
    testing::RunsRoot root;
    constexpr int runs = 6;
    for (int i = 0; i < runs; ++i) {
        add_busy_run(root, fmt::format("run-{}", i), 4'000);
        // Each lookup takes a while, so that the others wait their turn.
        testing::write_file(root.path() / fmt::format("run-{}", i) / "fake-telemetry.delay", "200");
    }
    // Room for one view: the views of the runs whose lookups wait are let go by the cache.
    Served served(root, view_bytes(root, "run-0") * 3 / 2, answer_budget());
    const auto target = [](int i) { return fmt::format("/api/v2/runs/run-{}?include_conversations=false", i); };
    const auto waited =
        testing::at_once(runs, [&](int i) { return testing::http_get(served.serving.port, target(i)); });
    // A request that waited let its view go, and read its run again once its telemetry came.
    EXPECT_GT(served.cache->figures().replays, std::uint64_t{runs});
    for (int i = 0; i < runs; ++i) {
        ASSERT_EQ(waited[i].status, 200u);
        EXPECT_EQ(without_observed_at(waited[i].body),
                  without_observed_at(testing::http_get(served.serving.port, target(i)).body)) << "run-" << i;
    }
}

}  // namespace
}  // namespace korvalle::server
