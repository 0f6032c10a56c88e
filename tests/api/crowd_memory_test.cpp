// What a crowd of run documents holds, on the real router and store served in process: a
// document takes its share of the answers before anything is made for it, so a crowd asking for
// a run whose parts are made for each request builds only what the budget admits, and requests
// waiting for the telemetry cache's turn hold no view, so their runs' views stay within the run
// cache's bound however many wait.
#include "src/api/answer_budget.hpp"
#include "src/api/routes.hpp"
#include "src/store/blocking.hpp"
#include "tests/http/in_process_server.hpp"
#include "tests/support/process_watch.hpp"
#include "tests/support/server_fixture.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <future>
#include <thread>
#include <vector>

namespace korvalle::server {
namespace {

using namespace std::chrono_literals;

// A run of many small envelopes: its envelope facts and journal index are megabytes, made for
// each request when they do not fit beside the view, while its detail is small.
void add_busy_run(testing::RunsRoot& root, const std::string& id, int envelopes) {
    testing::add_run(root, id, "2026-03-05T09:00:00.000Z");
    std::string journal;
    for (int i = 0; i < envelopes; ++i) {
        const std::string labels = fmt::format(R"({{"run_id":"{}","node":"n{}","round":1,"session":"s{}"}})", id,
                                               i % 4, i % 8);
        journal += testing::envelope_line({.ts = "2026-03-05T09:00:01.000Z", .source = "morvane",
                                           .kind = "turn-completed", .seq = std::uint64_t(i + 1), .labels = labels,
                                           .payload = R"({"message":"m"})"}) +
                   "\n";
    }
    root.run(id).journal_bytes(journal);
}

// The process's resident memory, sampled until stopped: its peak over what it was at the start.
class ResidentPeak {
public:
    ResidentPeak() : start_(testing::resident_bytes(::getpid())), thread_([this] {
        while (!done_.load()) {
            peak_ = std::max(peak_.load(), testing::resident_bytes(::getpid()));
            std::this_thread::sleep_for(5ms);
        }
    }) {}
    ~ResidentPeak() { growth(); }
    // Stops sampling; the peak's growth over the start.
    std::size_t growth() {
        if (!done_.exchange(true)) thread_.join();
        return peak_ > start_ ? peak_ - start_ : 0;
    }

private:
    std::size_t start_;
    std::atomic<std::size_t> peak_{0};
    std::atomic<bool> done_{false};
    std::thread thread_;
};

std::shared_ptr<Router> router_of(const testing::RunsRoot& root, std::shared_ptr<store::RunCache> cache,
                                  std::shared_ptr<store::MemoryBudget> answers) {
    auto store = store::RunStore::new_polling_every(root.path().string(), 500, std::move(cache),
                                                    {.telemetry_program = testing::fake_tool_binary().string()});
    return router_stopping_on(std::make_shared<const store::RunStore>(std::move(store)),
                              std::make_shared<std::atomic<bool>>(false), std::make_shared<BlockingPool>(),
                              std::move(answers));
}

// The bytes of a run's view as the cache holds it.
std::uint64_t view_bytes(const testing::RunsRoot& root, const std::string& id) {
    auto store = store::RunStore::new_polling_every(root.path().string(), 500);
    return (*store::blocking::find_opened(store, *contract::RunId::make(id)))->bytes;
}

// A clock by which the files just written have long settled: their views are trusted at once.
std::int64_t settled_clock() { return store::RunCache::realtime_ns() + 10 * store::RunCache::settle_ns; }

std::string without_observed_at(const std::string& body) {
    const auto at = body.find("\"observed_at\"");
    return at == std::string::npos ? body : body.substr(0, at) + body.substr(body.find(',', at));
}

TEST(CrowdMemory, ACrowdOfDetailsWhosePartsAreMadeForEachBuildsOnlyWhatTheBudgetAdmits) {
    testing::RunsRoot root;
    add_busy_run(root, "busy", 60'000);
    // The view is kept with no room beside it: its indexes and node details are made for each
    // request.
    auto cache = std::make_shared<store::RunCache>(store::RunCache::Bounds{.view_bytes = view_bytes(root, "busy")},
                                                   settled_clock);
    auto answers = answer_budget(4 << 20);
    InProcessServer serving(HttpLimits{}, router_of(root, cache, answers));
    const std::string target = "/api/v2/runs/busy?include_conversations=false";
    const testing::HttpResponse first = testing::http_get(serving.port, target);
    ASSERT_EQ(first.status, 200u);

    ResidentPeak peak;
    std::vector<std::future<testing::HttpResponse>> crowd;
    for (int i = 0; i < 48; ++i)
        crowd.push_back(std::async(std::launch::async, [&] { return testing::http_get(serving.port, target); }));
    int served = 0;
    for (auto& answer : crowd) {
        const testing::HttpResponse res = answer.get();
        if (res.status == 200) {
            ++served;
            EXPECT_EQ(without_observed_at(res.body), without_observed_at(first.body));
        } else {
            EXPECT_EQ(res.status, 503u);
        }
    }
    // Each request's parts are some megabytes: built all at once they would take hundreds.
    EXPECT_LT(peak.growth(), std::size_t{96} << 20);
    EXPECT_GE(served, 1);
    EXPECT_GT(answers->figures().refused, 0u);
    EXPECT_LE(answers->figures().peak, answers->limit() + (std::uint64_t{1} << 20));
}

TEST(CrowdMemory, RequestsWaitingForTelemetryHoldNoViewOutsideTheCache) {
    testing::RunsRoot root;
    constexpr int runs = 6;
    for (int i = 0; i < runs; ++i) {
        const std::string id = fmt::format("run-{}", i);
        add_busy_run(root, id, 4'000);
        // Each lookup takes a while, so that the others wait their turn.
        testing::write_file(root.path() / id / "fake-telemetry.delay", "200");
    }
    // Room for one view: the views of the runs whose lookups wait are let go by the cache.
    const std::uint64_t bound = view_bytes(root, "run-0") * 3 / 2;
    auto cache = std::make_shared<store::RunCache>(store::RunCache::Bounds{.view_bytes = bound}, settled_clock);
    InProcessServer serving(HttpLimits{}, router_of(root, cache, answer_budget()));
    const auto target = [](int i) { return fmt::format("/api/v2/runs/run-{}?include_conversations=false", i); };

    std::vector<std::future<testing::HttpResponse>> details;
    for (int i = 0; i < runs; ++i)
        details.push_back(std::async(std::launch::async, [&, i] { return testing::http_get(serving.port, target(i)); }));
    std::vector<std::string> bodies;
    for (auto& detail : details) {
        const testing::HttpResponse res = detail.get();
        ASSERT_EQ(res.status, 200u);
        bodies.push_back(res.body);
    }
    // A request that waited let its view go, and read its run again once its telemetry came.
    EXPECT_GT(cache->figures().replays, std::uint64_t{runs});
    for (int i = 0; i < runs; ++i) {
        const testing::HttpResponse warm = testing::http_get(serving.port, target(i));
        EXPECT_EQ(without_observed_at(bodies[i]), without_observed_at(warm.body)) << "run-" << i;
    }
}

}  // namespace
}  // namespace korvalle::server
