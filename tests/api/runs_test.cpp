// GET /api/v2/runs on the real server: the query rule, run order, paging, settled runs, and the
// telemetry of each listed run through the stand-in pipeline tool and the store's cache.
#include "tests/support/server_fixture.hpp"

#include <future>
#include <sstream>

namespace korvalle::testing {
namespace {

std::size_t count_of(const std::string& text, const std::string& needle) {
    std::size_t n = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

// Every page of the list, following next_cursor.
std::vector<std::string> walk_pages(unsigned short port, const std::string& query) {
    std::vector<std::string> all;
    std::string cursor;
    for (int page = 0; page < 100; ++page) {
        std::string target = "/api/v2/runs?" + query + (cursor.empty() ? "" : "&cursor=" + cursor);
        auto res = http_get(port, target);
        EXPECT_EQ(res.status, 200u) << res.body;
        auto body = parse_json(res.body);
        auto ids = run_ids(body);
        all.insert(all.end(), ids.begin(), ids.end());
        auto* next = body.as_object().if_contains("next_cursor");
        if (!next) break;
        EXPECT_EQ(std::string(next->as_string()), ids.back());
        cursor = std::string(next->as_string());
    }
    return all;
}

class RunListTest : public ServedRoot<RunListTest> {
public:
    static void fill(RunsRoot& root) {
        // Later times first; equal times and runs without time by id; settled runs left out by
        // default; a run in a round whose node is done is never settled.
        add_run(root, "b-old", "2026-03-01T09:00:00.000Z");
        add_run(root, "a-new", "2026-03-05T09:00:00.000Z");
        add_run(root, "c-tie", "2026-03-03T09:00:00.000Z");
        add_run(root, "b-tie", "2026-03-03T09:00:00.000Z");
        add_run(root, "bb-tie", "2026-03-03T09:00:00.000Z");
        add_run(root, "z-notime", "");
        add_run(root, "y-notime", "");
        add_run(root, "s-settled", "2026-03-04T09:00:00.000Z", true);
        add_run(root, "r-inround", "2026-03-02T09:00:00.000Z", false, true);
        root.run("no-launch");  // a directory without launch.json is no run
    }
};

const std::vector<std::string> unsettled_order{"a-new", "b-tie", "bb-tie", "c-tie",
                                               "r-inround", "b-old", "y-notime", "z-notime"};

TEST_F(RunListTest, ListsUnsettledRunsInRunOrderInTheEnvelope) {
    auto res = get("/api/v2/runs");
    ASSERT_EQ(res.status, 200u);
    EXPECT_EQ(res.header("content-type"), "application/json");
    auto body = parse_json(res.body);
    EXPECT_EQ(run_ids(body), unsettled_order);
    std::vector<std::string> keys;
    for (const auto& entry : body.as_object()) keys.emplace_back(entry.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"api_version", "telemetry_schema_version", "observed_at", "runs"}));
    EXPECT_EQ(body.at("api_version"), 2);
    EXPECT_EQ(body.at("telemetry_schema_version"), 12);
}

TEST_F(RunListTest, IncludeSettledPutsSettledRunsInTheirPlace) {
    auto body = parse_json(get("/api/v2/runs?include_settled=true").body);
    auto expected = unsettled_order;
    expected.insert(expected.begin() + 1, "s-settled");
    EXPECT_EQ(run_ids(body), expected);
    EXPECT_EQ(run_ids(parse_json(get("/api/v2/runs?include_settled=false").body)), unsettled_order);
}

TEST_F(RunListTest, PagesFollowTheCursorWithoutGapsOrRepeats) {
    for (int limit : {1, 2, 3, 4, 7, 8, 9}) {
        EXPECT_EQ(walk_pages(port(), "limit=" + std::to_string(limit)), unsettled_order) << limit;
    }
    auto all = unsettled_order;
    all.insert(all.begin() + 1, "s-settled");
    EXPECT_EQ(walk_pages(port(), "limit=2&include_settled=true"), all);

    // Exactly limit runs left: no next cursor.
    auto body = parse_json(get("/api/v2/runs?limit=8").body);
    EXPECT_EQ(run_ids(body).size(), 8u);
    EXPECT_FALSE(body.as_object().contains("next_cursor"));
    EXPECT_EQ(parse_json(get("/api/v2/runs?limit=7").body).at("next_cursor"), "y-notime");
    // After the last run: an empty page. An unknown run: the first page. A settled run: right after it.
    auto last = parse_json(get("/api/v2/runs?cursor=z-notime").body);
    EXPECT_TRUE(run_ids(last).empty());
    EXPECT_FALSE(last.as_object().contains("next_cursor"));
    EXPECT_EQ(run_ids(parse_json(get("/api/v2/runs?cursor=nobody").body)), unsettled_order);
    EXPECT_EQ(run_ids(parse_json(get("/api/v2/runs?cursor=s-settled&limit=1").body)),
              std::vector<std::string>{"b-tie"});
}

// Requests that arrive together share walks and pages; each still gets its own query's page.
TEST_F(RunListTest, ConcurrentRequestsForDifferentPagesEachGetTheirOwn) {
    const std::vector<std::string> targets = {"/api/v2/runs", "/api/v2/runs?limit=2", "/api/v2/runs?include_settled=true",
                                              "/api/v2/runs?cursor=b-tie&limit=3"};
    std::vector<std::string> alone;
    for (const std::string& target : targets) alone.push_back(without_time(get(target)));
    std::vector<std::future<std::string>> clients;
    for (int i = 0; i < 32; ++i) {
        clients.push_back(std::async(std::launch::async, [&, i] { return without_time(get(targets[i % targets.size()])); }));
    }
    for (std::size_t i = 0; i < clients.size(); ++i) EXPECT_EQ(clients[i].get(), alone[i % targets.size()]) << i;
}

TEST_F(RunListTest, QueryRules) {
    const std::pair<const char*, std::size_t> sizes[] = {{"0", 1},  {"007", 7}, {"%2B3", 3}, {"51", 8},
                                                         {"18446744073709551615", 8}, {"1&limit=2", 2}};
    for (const auto& [limit, size] : sizes) {
        EXPECT_EQ(run_ids(parse_json(get(std::string("/api/v2/runs?limit=") + limit).body)).size(), size) << limit;
    }
    // Refused queries answer 422; the first failing key in the order limit, cursor, include_settled
    // is the one named.
    const std::string limit = "invalid request: limit must be a whole number, got ";
    const std::string flag = "invalid request: include_settled must be true or false, got ";
    const std::tuple<std::string, std::string, std::string> refused[] = {
        {"limit=18446744073709551616", "invalid_request", limit + R"("18446744073709551616")"},
        {"limit=-1", "invalid_request", limit + R"("-1")"},
        {"limit=1.5", "invalid_request", limit + R"("1.5")"},
        {"limit=", "invalid_request", limit + R"("")"},
        {"limit=+7", "invalid_request", limit + R"(" 7")"},
        {"limit=%2B", "invalid_request", limit + R"("+")"},
        {"limit=%22%5C", "invalid_request", limit + R"("\"\\")"},
        {"limit=%CC%81", "invalid_request", limit + R"("\u{301}")"},
        {"cursor=", "invalid_run_id", "invalid run id: must not be empty"},
        {"cursor=a%2Fb", "invalid_run_id", "invalid run id: must use only ASCII letters, digits, '-', '_', and '.'"},
        {"cursor=" + std::string(129, 'a'), "invalid_run_id", "invalid run id: must be at most 128 characters"},
        {"include_settled=TRUE", "invalid_request", flag + R"("TRUE")"},
        {"include_settled=1", "invalid_request", flag + R"("1")"},
        {"include_settled=", "invalid_request", flag + R"("")"},
        {"include_settled", "invalid_request", flag + R"("")"},
        {"include_settled=true%20", "invalid_request", flag + R"("true ")"},
        {"include_settled=true%C2%A0", "invalid_request", flag + R"("true\u{a0}")"},
        {"include_settled=x&cursor=&limit=x", "invalid_request", limit + R"("x")"},
        {"include_settled=x&cursor=", "invalid_run_id", "invalid run id: must not be empty"},
    };
    for (const auto& [query, code, message] : refused) {
        auto res = get("/api/v2/runs?" + query);
        EXPECT_EQ(res.status, 422u) << query;
        EXPECT_EQ(error_code(res), code) << query;
        EXPECT_EQ(error_message(res), message) << query;
    }
    // The escaped quote in the detail stays escaped in the body.
    EXPECT_EQ(get("/api/v2/runs?limit=-1").body,
              R"({"error":{"code":"invalid_request","message":"invalid request: limit must be a whole number, got \"-1\""}})");
    // Keys the route does not read are ignored.
    EXPECT_EQ(get("/api/v2/runs?other=%FF&x").status, 200u);
}

TEST_F(RunListTest, TelemetryIsFetchedOncePerRunAndSignature) {
    auto calls_file = root_->path() / "calls";
    get("/api/v2/runs");
    auto calls = read_text(calls_file);
    EXPECT_EQ(count_of(calls, "start a-new\n"), 1u);
    get("/api/v2/runs");
    EXPECT_EQ(read_text(calls_file), calls) << "an unchanged run is answered from the cache";
    // One more envelope changes the run's signature.
    root_->run("a-new").event({.ts = "2026-03-05T09:00:00.000Z", .kind = "heartbeat",
                               .labels = R"({"run_id":"a-new"})"});
    get("/api/v2/runs");
    EXPECT_EQ(count_of(read_text(calls_file), "start a-new\n"), 2u);
    // A line that is no envelope leaves the signature as it was.
    root_->run("a-new").line("not json");
    get("/api/v2/runs");
    EXPECT_EQ(count_of(read_text(calls_file), "start a-new\n"), 2u);
}

TEST(RunListTelemetry, OnlyThePageGetsTelemetryAndBadIdsNever) {
    RunsRoot root;
    add_run(root, "r1", "2026-03-05T09:00:00.000Z");
    add_run(root, "r2", "2026-03-04T09:00:00.000Z");
    add_run(root, ".hidden", "2026-03-03T09:00:00.000Z");
    add_run(root, "r9", "2026-03-02T09:00:00.000Z");
    auto server = ServerProcess::serve(root.path(), with_fake_tool(root.path() / "calls"));
    auto body = parse_json(http_get(server.port(), "/api/v2/runs?limit=1").body);
    EXPECT_EQ(read_text(root.path() / "calls"), "start r1\nend r1\n");
    // A run whose name breaks the identifier rule is listed, without telemetry, and its id
    // cannot come back as a cursor.
    body = parse_json(http_get(server.port(), "/api/v2/runs?limit=2").body);
    EXPECT_EQ(body.at("next_cursor"), "r2");
    body = parse_json(http_get(server.port(), "/api/v2/runs?cursor=r2").body);
    EXPECT_EQ(run_ids(body), (std::vector<std::string>{".hidden", "r9"}));
    body = parse_json(http_get(server.port(), "/api/v2/runs?limit=3").body);
    EXPECT_EQ(body.at("next_cursor"), ".hidden");
    EXPECT_EQ(count_of(read_text(root.path() / "calls"), "hidden"), 0u);
    body = parse_json(http_get(server.port(), "/api/v2/runs?limit=1&cursor=r1").body);
    EXPECT_EQ(body.at("next_cursor"), "r2");
    auto res = http_get(server.port(), "/api/v2/runs?cursor=.hidden");
    EXPECT_EQ(res.status, 422u);
    EXPECT_EQ(error_message(res), "invalid run id: must not start with '.'");
    EXPECT_EQ(server.stop(), 0);
    EXPECT_EQ(server.stderr_text(), "");
}

TEST(RunListTelemetry, MissingToolLeavesTelemetryOutWithOneLinePerRun) {
    RunsRoot root;
    add_run(root, "r1", "2026-03-05T09:00:00.000Z");
    add_run(root, "r2", "2026-03-04T09:00:00.000Z");
    auto server = ServerProcess::serve(root.path(), {.env = {{"PATH", "/nonexistent"}},
                                                     .unset_env = {"KORVALLE_UI_KORVALLE_BIN"}});
    for (int i = 0; i < 3; ++i) {
        auto res = http_get(server.port(), "/api/v2/runs");
        EXPECT_EQ(res.status, 200u);
        EXPECT_TRUE(parse_json(res.body).at("runs").at(0).at("timing").at("wall_ms").is_null());
    }
    EXPECT_EQ(server.stop(), 0);
    EXPECT_EQ(server.stderr_text(),
              "korvalle-api: no telemetry for r1: cannot start `korvalle telemetry`: No such file or directory "
              "(os error 2) — install the matching `korvalle`, or name one with KORVALLE_UI_KORVALLE_BIN\n"
              "korvalle-api: no telemetry for r2: cannot start `korvalle telemetry`: No such file or directory "
              "(os error 2) — install the matching `korvalle`, or name one with KORVALLE_UI_KORVALLE_BIN\n");
}

// This machine's name and the parked threshold are those of the environment the server
// started in.
TEST(RunListLiveness, JudgedByTheEnvironmentTheServerStartedIn) {
    RunsRoot root;
    add_run(root, "here", "2026-03-05T09:00:00.000Z");
    root.run("here").launch({.pid = 0, .host = "settings-test-host"});
    add_run(root, "elsewhere", "2026-03-04T09:00:00.000Z");
    ProcessOptions options = with_fake_tool(root.path() / "calls");
    options.env.insert(options.env.end(),
                       {{"HOSTNAME", "settings-test-host"}, {"KORVALLE_PARKED_AFTER_SECONDS", "999999999"}});
    auto server = ServerProcess::serve(root.path(), options);
    const auto runs = parse_json(http_get(server.port(), "/api/v2/runs").body).at("runs");
    ASSERT_EQ(runs.as_array().size(), 2u);
    EXPECT_EQ(runs.at(0).at("run_id"), "here");
    EXPECT_EQ(runs.at(0).at("state"), "driver-dead");  // launched here, without a process
    EXPECT_EQ(runs.at(1).at("state"), "active");       // months old, within the threshold
    EXPECT_EQ(server.stop(), 0);
}

TEST(RunListTelemetry, RefusalIsCachedAndRetriedAfterTheRunChanges) {
    RunsRoot root;
    add_run(root, "r1", "2026-03-05T09:00:00.000Z");
    write_file(root.path() / "r1" / "fake-telemetry.mode", "exit 3");
    write_file(root.path() / "r1" / "fake-telemetry.stderr", "first\nnot today\n");
    auto server = ServerProcess::serve(root.path(), with_fake_tool(root.path() / "calls"));
    http_get(server.port(), "/api/v2/runs");
    http_get(server.port(), "/api/v2/runs");
    std::string tool = fake_tool_binary().string();
    EXPECT_EQ(server.stderr_text(), "korvalle-api: no telemetry for r1: `" + tool + " telemetry` refused: not today\n");
    // The tool now answers and the run changes: the next list carries telemetry.
    std::filesystem::remove(root.path() / "r1" / "fake-telemetry.mode");
    root.run("r1").event({.ts = "2026-03-05T09:00:01.000Z", .kind = "heartbeat", .labels = R"({"run_id":"r1"})"});
    auto body = parse_json(http_get(server.port(), "/api/v2/runs").body);
    EXPECT_EQ(body.at("runs").at(0).at("timing").at("wall_ms"), 1000);
    EXPECT_EQ(count_of(read_text(root.path() / "calls"), "start r1\n"), 2u);
}

TEST(RunListTelemetry, ChildrenNeverOverlap) {
    RunsRoot root;
    for (auto id : {"r1", "r2", "r3", "r4"}) add_run(root, id, "2026-03-05T09:00:00.000Z");
    auto server = ServerProcess::serve(root.path(), with_fake_tool(root.path() / "calls", {{"FAKE_KORVALLE_DELAY_MS", "50"}}));
    std::vector<std::future<unsigned>> clients;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(std::async(std::launch::async, [p = server.port()] { return http_get(p, "/api/v2/runs").status; }));
    }
    for (auto& c : clients) EXPECT_EQ(c.get(), 200u);
    // Under the one cache lock every start is followed by its own end.
    std::istringstream calls(read_text(root.path() / "calls"));
    std::string word, id, open;
    int starts = 0;
    while (calls >> word >> id) {
        if (word == "start") {
            EXPECT_EQ(open, "") << "two children at once";
            open = id;
            ++starts;
        } else if (word == "end") {
            EXPECT_EQ(open, id);
            open.clear();
        }
    }
    EXPECT_EQ(starts, 4);
}

TEST(RunListRoots, EmptyAndVanishedRootsListNothing) {
    RunsRoot root;
    auto dir = root.path() / "runs";
    std::filesystem::create_directories(dir);
    auto server = ServerProcess::serve(dir, with_fake_tool(root.path() / "calls"));
    EXPECT_EQ(http_get(server.port(), "/api/v2/runs").status, 200u);
    std::filesystem::remove_all(dir);
    auto res = http_get(server.port(), "/api/v2/runs");
    EXPECT_EQ(res.status, 200u);
    auto body = parse_json(res.body);
    EXPECT_TRUE(run_ids(body).empty());
    EXPECT_FALSE(body.as_object().contains("next_cursor"));
}

TEST(RunListRoots, DemoRootPagesCoverEveryRun) {
    auto demo = std::filesystem::path(KORVALLE_SOURCE_DIR) / "examples" / "runs";
    RunsRoot scratch;
    auto server = ServerProcess::serve(demo, with_fake_tool(scratch.path() / "calls"));
    auto all = parse_json(http_get(server.port(), "/api/v2/runs?include_settled=true").body);
    auto ids = run_ids(all);
    std::size_t runs = 0;
    for (const auto& entry : std::filesystem::directory_iterator(demo)) {
        runs += std::filesystem::exists(entry.path() / "launch.json");
    }
    EXPECT_EQ(ids.size(), runs);
    EXPECT_GE(runs, 2u);
    EXPECT_EQ(walk_pages(server.port(), "limit=1&include_settled=true"), ids);
    for (const auto& run : all.at("runs").as_array()) EXPECT_TRUE(run.as_object().contains("timing"));
}

}  // namespace
}  // namespace korvalle::testing
