// The run list's pages kept beside what they were made from: a page is written again exactly
// when a record, a telemetry outcome, a state word or a round result file's counts changed, and
// every page is the text a store that keeps nothing writes.
#include "src/store/page_memo.hpp"
#include "src/store/blocking.hpp"
#include "src/store/store.hpp"
#include "tests/run/run_support.hpp"
#include "tests/support/server_fixture.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

namespace korvalle::testing {
namespace {

using store::RunCache;

TEST(PageMemo, APageIsWrittenAgainOnlyWhenWhatItShowsChanged) {
    // The driver of "reviewed" runs on the stores' machine until the test ends it.
    const pid_t driver = ::fork();
    if (driver == 0) {
        ::pause();
        ::_exit(0);
    }
    const store::Settings settings{.host_name = "page-memo-host"};
    RunsRoot root;
    add_run(root, "reviewed", "2026-03-05T09:00:00.000Z");
    add_run(root, "older", "2026-03-04T09:00:00.000Z");
    root.run("reviewed").launch({.pid = static_cast<std::uint64_t>(driver), .host = settings.host_name});
    root.run("reviewed").round_result(1, R"({"nodes":[{"id":"build","status":"done"}]})");
    const std::string path = root.path().string();
    // Far enough ahead that the files count as settled: their records are kept between walks.
    constexpr std::int64_t hour_ns = 3'600'000'000'000;
    auto cache = std::make_shared<RunCache>(RunCache::Bounds{}, [] { return RunCache::realtime_ns() + hour_ns; });
    const auto store = store::RunStore::new_polling_every(path, 500, cache, settings);
    const auto fresh =
        store::RunStore::new_polling_every(path, 500, std::make_shared<RunCache>(RunCache::keeping_nothing()), settings);
    const store::RunsQuery all{std::nullopt, 50, true};
    const store::RunsQuery first{std::nullopt, 1, true};
    const auto page_of = [&](const store::RunsQuery& query) {
        auto text = store::blocking::run_list_text(store, store::blocking::walk(store), query);
        EXPECT_PRED_FORMAT2(same_document, *text, json::write(store::blocking::run_list(fresh, query)));
        return text;
    };

    const auto shown = page_of(all);
    EXPECT_EQ(page_of(all), shown);
    const auto one = page_of(first);
    EXPECT_NE(*one, *shown);
    EXPECT_EQ(page_of(all), shown);

    // What the summaries read when the page is made: the process table, and the result file of a
    // run between rounds.
    ::kill(driver, SIGKILL);
    ::waitpid(driver, nullptr, 0);
    const auto ended = page_of(all);
    EXPECT_NE(*ended, *shown);
    EXPECT_NE(ended->find(R"("state":"driver-dead")"), std::string::npos);
    root.run("reviewed").round_result(1, R"({"nodes":[{"id":"build","status":"failed"}]})");
    const auto recounted = page_of(all);
    EXPECT_NE(*recounted, *ended);
    EXPECT_NE(recounted->find(R"("node_counts":{"failed":1})"), std::string::npos);
    // A record read again from a changed journal.
    root.run("older").event({.ts = "2026-03-06T09:00:00.000Z", .kind = "note"});
    const auto reordered = page_of(all);
    EXPECT_NE(*reordered, *recounted);
    EXPECT_EQ(page_of(all), reordered);
    EXPECT_PRED_FORMAT2(same_document, *page_of(first), json::write(store::blocking::run_list(fresh, first)));
}

}  // namespace
}  // namespace korvalle::testing
