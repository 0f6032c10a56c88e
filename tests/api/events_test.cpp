// GET /api/v2/events on the real server: the resume rules, the wire form of events and
// keep-alives (chunked, and plain on HTTP/1.0), HEAD, more frames at once than the stream's queue
// holds, the stop with open streams, a client that stopped reading, and clients that leave at once. Which frames a change makes is the frame source's test (tests/store). Every wait is bounded and fails only when an event never comes.
#include "src/api/answer_budget.hpp"
#include "src/api/routes.hpp"
#include "tests/http/in_process_server.hpp"
#include "tests/support/event_reader.hpp"
#include "tests/support/process_watch.hpp"
#include "tests/support/server_fixture.hpp"

#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <future>
#include <thread>
#include <utility>

namespace korvalle::testing {
namespace {

using namespace std::chrono_literals;

// The server's open descriptors and threads.
std::pair<int, int> usage_of(int pid) {
    int threads = 0;
    for ([[maybe_unused]] const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        ++threads;
    }
    return {open_descriptors(pid), threads};
}

ProcessOptions polling_every(const RunsRoot& root, const std::string& ms) {
    auto options = with_fake_tool(root.path() / "calls");
    options.args = {"--poll-interval-ms", ms};
    return options;
}

class EventsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // A thousand clients need a thousand descriptors here and in the server, which inherits
        // the limit.
        rlimit limit{};
        if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
            limit.rlim_cur = limit.rlim_max;
            ::setrlimit(RLIMIT_NOFILE, &limit);
        }
        root_ = new RunsRoot();
        add_run(*root_, "run-a", "2026-03-02T09:00:00.000Z");
        server_ = new ServerProcess(ServerProcess::serve(root_->path(), polling_every(*root_, "20")));
    }
    static void TearDownTestSuite() {
        delete server_;
        delete root_;
    }
    static unsigned short port() { return server_->port(); }

    inline static RunsRoot* root_ = nullptr;
    inline static ServerProcess* server_ = nullptr;
};

TEST_F(EventsTest, TheFirstEventIsTheSnapshotNumberedFromTheResumePoint) {
    struct Case {
        std::string target;
        std::vector<std::string> headers;
        std::string first_id;
    };
    const Case cases[] = {
        {"/api/v2/events", {}, "0"},
        {"/api/v2/events?after=7", {"last-event-id: 40"}, "7"},
        {"/api/v2/events?after=abc", {"last-event-id: 40"}, "0"},
        {"/api/v2/events?after=18446744073709551615", {}, "18446744073709551615"},
        {"/api/v2/events?after=0042", {}, "42"},
        {"/api/v2/events?after=+5", {}, "0"},  // the query decoding reads '+' as a blank
        {"/api/v2/events?after=%2B5", {}, "5"},
        {"/api/v2/events", {"Last-Event-ID: 12"}, "12"},
        {"/api/v2/events", {"last-event-id: 12a"}, "0"},
        {"/api/v2/events", {"last-event-id: 1\x80"}, "0"},
        {"/api/v2/events?run_id=nope&run_id=run-a&other=1", {}, "0"},
    };
    for (const auto& c : cases) {
        EventReader reader(port(), c.target, c.headers);
        auto event = reader.next_event();
        EXPECT_EQ(id_of(event), c.first_id) << c.target;
        EXPECT_EQ(name_of(event), "snapshot") << c.target;
    }
}

TEST_F(EventsTest, EventsGoOutInTheirWireFormAfterTheEventStreamHead) {
    EventReader reader(port(), "/api/v2/events?after=3");
    const auto& head = reader.head();
    EXPECT_EQ(head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << head;
    for (auto line : {"\r\ncontent-type: text/event-stream\r\n", "\r\ncache-control: no-cache\r\n",
                      "\r\ntransfer-encoding: chunked\r\n", "\r\ndate: "}) {
        EXPECT_NE(head.find(line), std::string::npos) << line << " in " << head;
    }
    EXPECT_EQ(head.find("content-length"), std::string::npos);
    auto snapshot = reader.next_event();
    EXPECT_EQ(snapshot.rfind("id: 3\nevent: snapshot\ndata: {\"api_version\":2,\"telemetry_schema_version\":12,", 0),
              0u) << snapshot;
    auto body = parse_json(data_of(snapshot));
    EXPECT_EQ(run_ids(body), std::vector<std::string>{"run-a"});

    append_file(root_->path() / "run-a" / "events.jsonl", envelope_line({.ts = "2026-03-02T09:10:00.000Z", .kind = "note"}) + "\n");
    EXPECT_EQ(reader.next_event(), "id: 4\nevent: run.changed\ndata: {\"run_id\":\"run-a\",\"round\":1}");
}

TEST_F(EventsTest, BadRunIdsAreRefusedBeforeAnyStreamStarts) {
    HttpClient client(port());
    const std::pair<const char*, const char*> refused[] = {
        {"/api/v2/events?run_id=", "must not be empty"},
        {"/api/v2/events?run_id=.x&after=1", "must not start with '.'"},
        {"/api/v2/events?run_id=a%2Fb", "must use only ASCII letters, digits, '-', '_', and '.'"},
    };
    for (const auto& [target, phrase] : refused) {
        auto res = client.get(target);
        EXPECT_EQ(res.status, 422u) << target;
        EXPECT_EQ(error_code(res), "invalid_run_id");
        EXPECT_EQ(error_message(res), std::string("invalid run id: ") + phrase);
    }
}

TEST_F(EventsTest, HeadAnswersTheStreamHeadAndTheConnectionGoesOn) {
    HttpClient client(port());
    auto head = client.request("HEAD", "/api/v2/events");
    EXPECT_EQ(head.status, 200u);
    EXPECT_EQ(head.header("content-type"), "text/event-stream");
    EXPECT_EQ(head.header("cache-control"), "no-cache");
    EXPECT_TRUE(head.body.empty());
    EXPECT_EQ(client.get("/healthz").body, R"({"status":"ok"})");
}

TEST_F(EventsTest, AQuietStreamGetsAKeepAliveCommentEveryFifteenSeconds) {
    EventReader reader(port(), "/api/v2/events?run_id=quiet");
    EXPECT_EQ(name_of(reader.next_event()), "snapshot");
    EXPECT_EQ(reader.next(30s), ":");
}

TEST_F(EventsTest, AThousandClientsThatLeaveAtOnceLeaveNoDescriptorOrThreadBehind) {
    // The baseline: the server with no client but this test's own probe, after one run list
    // (the store's openers, one per core, start with the first walk over the runs and stay).
    // Blocking-pool threads left from earlier tests may still be there; they leave after 10 s idle.
    EXPECT_EQ(http_get(port(), "/api/v2/runs").status, 200u);
    auto [idle_descriptors, idle_threads] = usage_of(server_->pid());
    {
        std::vector<std::unique_ptr<EventReader>> readers;
        for (int i = 0; i < 1000; ++i) readers.push_back(std::make_unique<EventReader>(port(), "/api/v2/events"));
        for (int i = 0; i < 1000; i += 99) EXPECT_EQ(name_of(readers[i]->next_event()), "snapshot");
    }
    EXPECT_EQ(http_get(port(), "/api/v2/runs").status, 200u);
    // Structured bindings are captured by copy: clang 14 cannot capture them by reference.
    const auto back_to_idle = [&, idle_descriptors = idle_descriptors, idle_threads = idle_threads] {
        const auto [descriptors, threads] = usage_of(server_->pid());
        return descriptors <= idle_descriptors && threads <= idle_threads;
    };
    EXPECT_TRUE(eventually(back_to_idle, 40s)) << usage_of(server_->pid()).first << " descriptors open";
    EXPECT_TRUE(server_->running());
}

// One poll per interval serves every stream of the root and every stream watching the same run,
// and the poller of a key ends with its last stream; streams that joined at different times,
// from different resume points, still each get their own frames and ids.
TEST_F(EventsTest, StreamsJoinedAtDifferentTimesShareThePollAndEachGetsItsOwnFramesAndIds) {
    add_run(*root_, "shared", "2026-03-02T09:00:00.000Z");
    const auto note = [](const std::string& ts) {
        append_file(root_->path() / "shared" / "events.jsonl", envelope_line({.ts = ts, .kind = "note"}) + "\n");
    };
    const auto changed = [](const std::string& id) {
        return "id: " + id + "\nevent: run.changed\ndata: {\"run_id\":\"shared\",\"round\":1}";
    };
    EventReader first(port(), "/api/v2/events");
    EventReader watching(port(), "/api/v2/events?run_id=shared", {"last-event-id: 7"});
    EXPECT_EQ(id_of(first.next_event()), "0");
    EXPECT_EQ(id_of(watching.next_event()), "7");
    note("2026-03-02T09:10:00.000Z");
    EXPECT_EQ(first.next_event(), changed("1"));
    EXPECT_EQ(watching.next_event(), changed("8"));

    // Joined after that change: their snapshots hold it.
    EventReader later(port(), "/api/v2/events?after=41");
    EventReader later_watching(port(), "/api/v2/events?run_id=shared&after=18446744073709551615");
    EXPECT_EQ(id_of(later.next_event()), "41");
    EXPECT_EQ(id_of(later_watching.next_event()), "18446744073709551615");
    note("2026-03-02T09:11:00.000Z");
    EXPECT_EQ(first.next_event(), changed("2"));
    EXPECT_EQ(watching.next_event(), changed("9"));
    EXPECT_EQ(later.next_event(), changed("42"));
    EXPECT_EQ(later_watching.next_event(), changed("0"));

    // The run's watchers leave, and the run's poller ends with them at its next poll; new
    // watchers start another.
    watching.socket().close();
    later_watching.socket().close();
    std::this_thread::sleep_for(100ms);  // five poll intervals
    EventReader again(port(), "/api/v2/events?run_id=shared");
    EventReader last(port(), "/api/v2/events?run_id=shared&after=5");
    EXPECT_EQ(id_of(again.next_event()), "0");
    EXPECT_EQ(id_of(last.next_event()), "5");
    note("2026-03-02T09:12:00.000Z");
    EXPECT_EQ(first.next_event(), changed("3"));
    EXPECT_EQ(later.next_event(), changed("43"));
    EXPECT_EQ(again.next_event(), changed("1"));
    EXPECT_EQ(last.next_event(), changed("6"));
    // Joined some polls after them: its conversation checks fall due at looks of its own.
    EventReader third(port(), "/api/v2/events?run_id=shared&after=20");
    EXPECT_EQ(id_of(third.next_event()), "20");

    // Looks that find nothing new are not handed to a stream, yet count as its polls: the
    // conversation check of each still comes at its tenth, whenever it joined.
    append_file(root_->path() / "shared" / "events.jsonl",
                envelope_line({.ts = "2026-03-02T09:13:00.000Z", .source = "morvane", .kind = "turn-started",
                               .stream = "agent", .labels = R"({"session":"s-1","node":"build","round":1})"}) + "\n");
    EXPECT_EQ(again.next_event(), changed("2"));
    EXPECT_EQ(again.next_event(), "id: 3\nevent: conversation.changed\ndata: {\"run_id\":\"shared\"}");
    EXPECT_EQ(last.next_event(), changed("7"));
    EXPECT_EQ(last.next_event(), "id: 8\nevent: conversation.changed\ndata: {\"run_id\":\"shared\"}");
    EXPECT_EQ(third.next_event(), changed("21"));
    EXPECT_EQ(third.next_event(), "id: 22\nevent: conversation.changed\ndata: {\"run_id\":\"shared\"}");
}

// Twenty runs changed at once: their frames outnumber the stream's queue, and leave in listing
// order with consecutive ids, chunked on HTTP/1.1 and as plain bytes on HTTP/1.0.
TEST(EventsQueue, MoreFramesThanTheQueueHoldsLeaveInOrder) {
    RunsRoot root;
    std::vector<std::string> ids;
    for (int i = 10; i < 30; ++i) ids.push_back("run-" + std::to_string(i));
    for (const auto& id : ids) add_run(root, id, "2026-03-02T09:00:00.000Z");
    auto server = ServerProcess::serve(root.path(), polling_every(root, "20"));
    EventReader chunked(server.port(), "/api/v2/events");
    EventReader plain(server.port(), "/api/v2/events", {}, 0, "GET", "HTTP/1.0");
    EXPECT_EQ(plain.head().rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << plain.head();
    EXPECT_EQ(plain.head().find("transfer-encoding"), std::string::npos) << plain.head();
    EXPECT_EQ(name_of(chunked.next_event()), "snapshot");
    EXPECT_EQ(name_of(plain.next_event()), "snapshot");
    for (const auto& id : ids) {
        append_file(root.path() / id / "events.jsonl", envelope_line({.ts = "2026-03-02T09:10:00.000Z", .kind = "note"}) + "\n");
    }
    for (std::size_t i = 0; i < ids.size(); ++i) {
        const std::string expected = "id: " + std::to_string(i + 1) + "\nevent: run.changed\ndata: {\"run_id\":\"" +
                                     ids[i] + "\",\"round\":1}";
        ASSERT_EQ(chunked.next_event(), expected);
        ASSERT_EQ(plain.next_event(), expected);
    }
}

TEST(EventsStop, OpenStreamsEndWithTheirLastChunkAndTheServerExits) {
    RunsRoot root;
    add_run(root, "run-a", "2026-03-02T09:00:00.000Z");
    auto server = ServerProcess::serve(root.path(), polling_every(root, "50"));
    EventReader all(server.port(), "/api/v2/events");
    EventReader watching(server.port(), "/api/v2/events?run_id=run-a");
    EXPECT_EQ(name_of(all.next_event()), "snapshot");
    EXPECT_EQ(name_of(watching.next_event()), "snapshot");
    server.signal(SIGTERM);
    EXPECT_EQ(all.next(), std::nullopt);
    EXPECT_TRUE(all.ended_cleanly());
    EXPECT_EQ(watching.next(), std::nullopt);
    EXPECT_TRUE(watching.ended_cleanly());
    EXPECT_EQ(server.wait(), 0);
}

TEST(EventsStop, AClientThatStoppedReadingCannotHoldTheStop) {
    // Large activity events to a client that never reads, with a small receive buffer: the
    // connection's buffers and then the stream's queue fill up.
    RunsRoot root;
    auto run = root.run("busy");
    run.launch();
    std::string detail(1000, 'x');
    auto report = [&](int node, int second) {
        return Event{.ts = "2026-03-02T09:00:" + std::string(second < 10 ? "0" : "") + std::to_string(second) + ".000Z",
                     .source = "morvane", .kind = "turn-activity", .stream = "agent",
                     .labels = R"({"node":"n)" + std::to_string(node) + R"(","round":1})",
                     .payload = R"({"detail":")" + detail + "\"}"};
    };
    for (int node = 0; node < 300; ++node) run.event(report(node, 0));
    auto server = ServerProcess::serve(root.path(), polling_every(root, "20"));
    EventReader stalled(server.port(), "/api/v2/events?run_id=busy", {}, 4096);
    // Each poll now finds the activity changed: about 330 KB per poll for a client that reads nothing.
    for (int i = 0; i < 150; ++i) {
        run.event(report(i % 300, 1 + i % 50));
        std::this_thread::sleep_for(20ms);
    }
    server.signal(SIGTERM);
    EXPECT_EQ(server.wait(20s), 0) << "the stop waits for the stalled stream one poll interval and 5 s, not forever";
}

// Streams whose snapshots are still to be made when the server stops (their first reads wait for
// the pool's only thread) end without a frame, having opened and walked nothing: a watched run's
// look and a walk over the root alike.
TEST(EventsStop, ASnapshotNotMadeAtTheStopEndsWithoutAFrameAndReadsNothing) {
    RunsRoot root;
    add_run(root, "run-a", "2026-03-02T09:00:00.000Z");
    // Nothing is kept, so that any open or walk would read the run and be counted.
    auto cache = std::make_shared<store::RunCache>(store::RunCache::keeping_nothing());
    auto store = std::make_shared<const store::RunStore>(
        store::RunStore::new_polling_every(root.path().string(), 50, cache));
    auto pool = std::make_shared<server::BlockingPool>(1);
    auto stopping = std::make_shared<std::atomic<bool>>(false);
    server::InProcessServer serving(server::HttpLimits{},
                                    server::router_stopping_on(store, stopping, pool, server::answer_budget()));

    std::promise<void> release;
    pool->submit([held = release.get_future().share()] { held.wait(); });
    EventReader watching(serving.port, "/api/v2/events?run_id=run-a");
    EventReader all(serving.port, "/api/v2/events");
    EXPECT_EQ(watching.head().substr(0, 12), "HTTP/1.1 200");
    EXPECT_EQ(all.head().substr(0, 12), "HTTP/1.1 200");
    // The stop as its signal's handler takes it, the listener aside.
    stopping->store(true);
    store->run_cache().refuse_waiting();
    store->stop_telemetry();
    release.set_value();

    EXPECT_EQ(watching.next(), std::nullopt);
    EXPECT_TRUE(watching.ended_cleanly());
    EXPECT_EQ(all.next(), std::nullopt);
    EXPECT_TRUE(all.ended_cleanly());
    EXPECT_EQ(cache->figures().replays, 0u);
    EXPECT_EQ(cache->figures().hits, 0u);
}

}  // namespace
}  // namespace korvalle::testing
