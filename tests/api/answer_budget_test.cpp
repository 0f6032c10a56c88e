// The answers' budget on the real router and store, served in process with a small budget: an
// answer larger than the budget is served whole, clients that never read their large answers
// hold back only the large answers behind them, and only until they are closed, and a crowd of
// them holds no thread: small answers go on, and past the queue the server answers busy. The
// large answers held back are made for each request: the view's bound leaves no room beside the
// view for the run detail's conversations (a text kept with the view is counted there instead,
// kept_answers_test.cpp). A crowd of documents takes its shares before anything is made for
// it, and a request waiting for the telemetry cache's turn holds no view.
#include "src/api/answer_budget.hpp"
#include "src/store/blocking.hpp"

#include "src/api/routes.hpp"
#include "tests/http/in_process_server.hpp"
#include "tests/support/at_once.hpp"
#include "tests/support/process_watch.hpp"
#include "tests/support/server_fixture.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <future>
#include <map>
#include <optional>
#include <thread>

namespace korvalle::server {
namespace {

using namespace std::chrono_literals;

// A clock an hour ahead: every file is taken for settled, and a view answers until its files change.
std::int64_t settled_clock() { return store::RunCache::realtime_ns() + 3'600'000'000'000; }

// The bytes of the run's view, as the cache counts them.
std::uint64_t view_bytes(const testing::RunsRoot& root, const std::string& id) {
    auto store = store::RunStore::new_polling_every(root.path().string(), 500);
    return (*store::blocking::find_opened(store, *contract::RunId::make(id)))->bytes;
}

// A runs root with a small run and a run whose detail takes megabytes: one conversation of long
// turns.
struct Roots {
    Roots() {
        testing::add_run(root, "small", "2026-03-05T09:00:00.000Z");
        testing::add_run(root, "big", "2026-03-05T09:00:00.000Z");
        auto run = root.run("big");
        const std::string turn = R"({"message":")" + std::string(100 << 10, 'm') + R"("})";
        for (int i = 0; i < 80; ++i) {
            run.event({.ts = "2026-03-05T09:00:01.000Z", .source = "morvane", .kind = "turn-completed",
                       .labels = R"({"run_id":"big","node":"build","round":1,"session":"ses-1"})", .payload = turn});
        }
    }
    // The run detail's text as the store writes it.
    std::string big_detail() const {
        auto store = store::RunStore::new_polling_every(root.path().string(), 500);
        return text::joined(*store::blocking::run(store, *contract::RunId::make("big"), true));
    }
    // A cache that keeps the big run's view with 1 MiB beside it: its conversations are made for
    // each request. Its files are taken for settled, so that every request answers from the one
    // view, however soon after the files were written it comes.
    std::shared_ptr<store::RunCache> no_room_for_conversations() const {
        const store::RunCache::Bounds bounds{.view_bytes = view_bytes(root, "big") + (1 << 20)};
        return std::make_shared<store::RunCache>(bounds, settled_clock);
    }
    testing::RunsRoot root;
};

// The real router over the root, with the given budget, cache and settings, on the in-process
// listener. A client that never reads keeps its answer until it is closed: the write-stall rule,
// which would otherwise give the answer up 30 s after its socket filled, is set far beyond any
// wait here, so that a slow machine cannot release a share in the middle of a case.
struct Served {
    Served(const testing::RunsRoot& root, std::shared_ptr<store::MemoryBudget> budget,
           std::size_t threads = BlockingPool::default_max_threads,
           std::shared_ptr<store::RunCache> cache = std::make_shared<store::RunCache>(), store::Settings settings = {})
        : answers(budget),
          serving(HttpLimits{.write_stall_timeout = std::chrono::hours(1)},
                  router(root, std::move(budget), threads, std::move(cache), std::move(settings))) {}

    static std::shared_ptr<Router> router(const testing::RunsRoot& root, std::shared_ptr<store::MemoryBudget> budget,
                                          std::size_t threads, std::shared_ptr<store::RunCache> cache,
                                          store::Settings settings) {
        auto store =
            store::RunStore::new_polling_every(root.path().string(), 500, std::move(cache), std::move(settings));
        return router_stopping_on(std::make_shared<const store::RunStore>(std::move(store)),
                                  std::make_shared<std::atomic<bool>>(false), std::make_shared<BlockingPool>(threads),
                                  std::move(budget));
    }

    std::shared_ptr<store::MemoryBudget> answers;
    InProcessServer serving;
};

TEST(AnswerBudget, AnAnswerLargerThanTheBudgetIsServedAloneByteForByte) {
    Roots roots;
    const std::string detail = roots.big_detail();
    Served served(roots.root, answer_budget(2 << 20));
    auto res = testing::http_get(served.serving.port, "/api/v2/runs/big");
    ASSERT_EQ(res.status, 200u);
    // The envelope's head, then the document's members as the store wrote them.
    auto observed = testing::parse_json(res.body).at("observed_at").as_string();
    const std::string expected = R"({"api_version":2,"telemetry_schema_version":12,"observed_at":")" +
                                 std::string(observed) + "\"," + detail.substr(1);
    EXPECT_TRUE(res.body == expected) << res.body.size() << " bytes against " << expected.size();
    EXPECT_GT(res.body.size(), served.answers->limit());
    // Reserved before the document was built, from the view's arena, as its conversations were
    // to be made; then settled at its own bytes, the texts kept with the view counted there.
    EXPECT_GE(served.answers->figures().peak, res.body.size());
    EXPECT_TRUE(testing::eventually([&] { return served.answers->figures().held == 0; }));
}

TEST(AnswerBudget, ClientsThatNeverReadHoldBackOnlyTheLargeAnswersBehindThemUntilClosed) {
    Roots roots;
    const std::uint64_t size = roots.big_detail().size();
    Served served(roots.root, answer_budget(2 * size + size / 2), BlockingPool::default_max_threads,
                  roots.no_room_for_conversations());
    auto figures = [&] { return served.answers->figures(); };

    // Two answers fit and stall in their clients' sockets; the third waits for its share. Each
    // share is about one detail: an answer counts its own bytes, its body less the texts kept
    // with the view that the cache counts, so a share may be a little smaller than the detail.
    std::vector<std::optional<testing::HttpClient>> stalled(3);
    for (auto& client : stalled) {
        client.emplace(served.serving.port, 60s);
        client->send_raw("GET /api/v2/runs/big HTTP/1.1\r\nhost: localhost\r\n\r\n");
    }
    ASSERT_TRUE(testing::eventually([&] { return figures().held > 3 * size / 2 && figures().waiting == 1; }, 60s))
        << figures().held << " held, " << figures().waiting << " waiting";

    // A small answer never waits; a large one waits behind the third.
    EXPECT_EQ(testing::http_get(served.serving.port, "/api/v2/runs/small").status, 200u);
    auto later = std::async(std::launch::async, [&] {
        return testing::HttpClient(served.serving.port, 120s).get("/api/v2/runs/big");
    });
    ASSERT_TRUE(testing::eventually([&] { return figures().waiting == 2; }, 60s));

    for (auto& client : stalled) client.reset();
    ASSERT_EQ(later.wait_for(120s), std::future_status::ready);
    auto res = later.get();
    EXPECT_EQ(res.status, 200u);
    EXPECT_GT(res.body.size(), size);
    EXPECT_LE(figures().peak, served.answers->limit());
    EXPECT_GE(figures().waits, 2u);
}

// Two answers fit and stall; three more wait, until the bytes waiting pass one budget; the rest of
// a crowd that never reads is told the server is busy. Waiting holds no thread: with a pool of two threads,
// small answers still come. At the stop, those still waiting are told too.
TEST(AnswerBudget, ACrowdThatNeverReadsHoldsNoThreadAndPastTheQueueIsToldTheServerIsBusy) {
    Roots roots;
    const std::uint64_t size = roots.big_detail().size();
    Served served(roots.root, answer_budget(2 * size + size / 2), 2, roots.no_room_for_conversations());
    auto figures = [&] { return served.answers->figures(); };

    std::vector<std::optional<testing::HttpClient>> crowd(8);
    for (auto& client : crowd) {
        client.emplace(served.serving.port, 60s);
        client->send_raw("GET /api/v2/runs/big HTTP/1.1\r\nhost: localhost\r\n\r\n");
    }
    ASSERT_TRUE(testing::eventually([&] { return figures().waiting == 3 && figures().refused == 3; }, 60s))
        << figures().waiting << " waiting, " << figures().refused << " refused";

    testing::expect_small_answers_and_busy(served.serving.port, "/api/v2/runs/big");

    served.answers->refuse_waiting();
    EXPECT_EQ(figures().waiting, 0u);
    EXPECT_EQ(figures().refused, 7u);  // three at once, the reader, and three at the stop
    EXPECT_LE(figures().peak, served.answers->limit());
    // Read at last: two whole answers, and six times that the server is busy.
    std::map<unsigned, int> statuses;
    for (auto& client : crowd) ++statuses[client->read_response().status];
    EXPECT_EQ(statuses, (std::map<unsigned, int>{{200, 2}, {503, 6}}));
}

// Readers that never read a document whose text is kept with the view take nothing of the budget
// for it: none waits, however many. Once the cache lets the view go (the journal grew: the next
// request reads it on, and its view replaces the one kept), the budget counts the text once for
// all of them, until the last lets go.
TEST(AnswerBudget, AKeptTextIsCountedOnceByTheCacheThenByTheAnswersUntilItsLastReaderLetsGo) {
    Roots roots;
    const std::uint64_t size = roots.big_detail().size();
    auto cache = std::make_shared<store::RunCache>(store::RunCache::Bounds{}, settled_clock);
    // Room for four such answers, counted each at its whole size: eight would wait.
    Served served(roots.root, answer_budget(4 * size), BlockingPool::default_max_threads, cache);
    auto figures = [&] { return served.answers->figures(); };
    ASSERT_EQ(testing::http_get(served.serving.port, "/api/v2/runs/big").status, 200u);

    std::vector<std::optional<testing::HttpClient>> readers(8);
    for (auto& reader : readers) {
        reader.emplace(served.serving.port, 60s);
        reader->send_raw("GET /api/v2/runs/big HTTP/1.1\r\nhost: localhost\r\n\r\n");
        EXPECT_EQ(reader->read_raw(12), "HTTP/1.1 200");
    }
    const std::uint64_t own = figures().held;
    EXPECT_LT(own, size / 4);
    EXPECT_EQ(figures().waits, 0u);

    roots.root.run("big").event({.ts = "2026-03-05T09:00:02.000Z", .kind = "round-finished", .seq = 1000,
                                 .labels = R"({"run_id":"big","round":1})", .payload = R"({"ok":true})"});
    ASSERT_EQ(testing::http_get(served.serving.port, "/api/v2/runs/big").status, 200u);
    EXPECT_TRUE(testing::eventually([&] { return figures().held > own + size * 3 / 4; }));
    EXPECT_LT(figures().held, own + size * 5 / 4);

    for (auto& reader : readers) reader.reset();
    EXPECT_TRUE(testing::eventually([&] { return figures().held == 0; }));
}

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

// A cache whose bound for views is `views` times the run's view, its files settled.
std::shared_ptr<store::RunCache> room_for(const testing::RunsRoot& root, const std::string& id, double views) {
    const auto bound = static_cast<std::uint64_t>(static_cast<double>(view_bytes(root, id)) * views);
    return std::make_shared<store::RunCache>(store::RunCache::Bounds{.view_bytes = bound}, settled_clock);
}

store::Settings with_the_stand_in() { return {.telemetry_program = testing::fake_tool_binary().string()}; }

TEST(CrowdMemory, ACrowdOfDetailsWhosePartsAreMadeForEachBuildsOnlyWhatTheBudgetAdmits) {
    testing::RunsRoot root;
    add_busy_run(root, "busy", 60'000);
    // No room beside the view: its indexes are made for each request.
    Served served(root, answer_budget(4 << 20), BlockingPool::default_max_threads, room_for(root, "busy", 1),
                  with_the_stand_in());
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
        EXPECT_EQ(testing::without_time(res), testing::without_time(first));
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
    auto cache = room_for(root, "run-0", 1.5);
    Served served(root, answer_budget(), BlockingPool::default_max_threads, cache, with_the_stand_in());
    const auto target = [](int i) { return fmt::format("/api/v2/runs/run-{}?include_conversations=false", i); };
    const auto waited =
        testing::at_once(runs, [&](int i) { return testing::http_get(served.serving.port, target(i)); });
    // A request that waited let its view go, and read its run again once its telemetry came.
    EXPECT_GT(cache->figures().replays, std::uint64_t{runs});
    for (int i = 0; i < runs; ++i) {
        ASSERT_EQ(waited[i].status, 200u);
        EXPECT_EQ(testing::without_time(waited[i]),
                  testing::without_time(testing::http_get(served.serving.port, target(i)))) << "run-" << i;
    }
}

}  // namespace
}  // namespace korvalle::server
