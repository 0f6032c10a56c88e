// The change feed's frame source driven by real file changes under a fixture runs root: each
// test changes files, polls once and compares the frames found, written as "id event data".
#include "src/store/change_feed.hpp"
#include "src/store/blocking.hpp"

#include "tests/support/server_fixture.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>

namespace korvalle::testing {
namespace {

namespace fs = std::filesystem;

std::string text(const store::Frame& frame) {
    return std::to_string(frame.id) + " " + std::string(contract::event_name(frame.kind)) + " " +
           json::write(frame.data);
}

// One poll, then every frame it found.
std::vector<std::string> poll_once(store::Frames& frames) {
    store::blocking::poll(frames);
    std::vector<std::string> out;
    while (auto frame = frames.next()) out.push_back(text(*frame));
    return out;
}

Event activity(const std::string& ts, const std::string& node, const std::string& detail) {
    return {.ts = ts, .source = "morvane", .kind = "turn-activity", .stream = "agent",
            .labels = R"({"node":)" + quote(node) + R"(,"round":1})", .payload = R"({"detail":)" + quote(detail) + "}"};
}

// The test's pipeline tool.
store::Settings fake_tool() { return {.telemetry_program = fake_tool_binary().string()}; }

class ChangeFeed : public ::testing::Test {
protected:
    store::Frames frames(std::optional<std::string> run_id = std::nullopt, std::optional<std::uint64_t> after = {}) {
        return store::RunStore::new_polling_every(root_.path().string(), 10, fake_tool()).events({std::move(run_id), after});
    }
    static std::vector<std::string> poll(store::Frames& frames) { return poll_once(frames); }
    void append(const std::string& run, const Event& event) { append_file(root_.path() / run / "events.jsonl", envelope_line(event) + "\n"); }

    RunsRoot root_;
};

using Lines = std::vector<std::string>;

TEST_F(ChangeFeed, SnapshotFirstThenOneFrameForEachChangedNewAndRemovedRun) {
    add_run(root_, "run-a", "2026-03-02T09:00:00.000Z");
    add_run(root_, "run-c", "2026-03-02T09:00:00.000Z");
    root_.run(".hidden").launch();  // an id the identifier rule refuses: listed, never a frame
    auto feed = frames();

    auto snapshot = std::make_optional(store::blocking::snapshot(feed));
    EXPECT_EQ(snapshot->id, 0u);
    EXPECT_EQ(snapshot->kind, contract::SseEvent::Snapshot);
    auto& envelope = snapshot->data.as_object();
    std::vector<std::string> keys;
    for (const auto& entry : envelope) keys.emplace_back(entry.key());
    EXPECT_EQ(keys, (Lines{"api_version", "telemetry_schema_version", "observed_at", "runs"}));
    EXPECT_EQ(run_ids(snapshot->data), (Lines{"run-a", "run-c", ".hidden"}));
    EXPECT_FALSE(feed.next()) << "nothing waits after the snapshot";
    EXPECT_EQ(poll(feed), Lines{}) << "nothing changed";

    append("run-c", {.ts = "2026-03-02T09:05:00.000Z", .kind = "note"});
    add_run(root_, "run-b", "");
    fs::remove_all(root_.path() / "run-a");
    append(".hidden", {.kind = "note"});
    EXPECT_EQ(poll(feed), (Lines{R"(1 run.changed {"run_id":"run-b","round":0})",
                                 R"(2 run.changed {"run_id":"run-c","round":1})",
                                 R"(3 run.removed {"run_id":"run-a"})"}));

    // Lines that do not read as envelopes change nothing; a journal rewritten shorter does.
    append_file(root_.path() / "run-c" / "events.jsonl", "not json\n{\"v\":1}\n");
    EXPECT_EQ(poll(feed), Lines{});
    write_file(root_.path() / "run-c" / "events.jsonl", "");
    // The directory removed and made again under the same id is a new run.
    add_run(root_, "run-a", "2026-03-02T09:00:00.000Z");
    EXPECT_EQ(poll(feed), (Lines{R"(4 run.changed {"run_id":"run-a","round":1})",
                                 R"(5 run.changed {"run_id":"run-c","round":0})"}));
}

TEST_F(ChangeFeed, FrameIdsCountFromTheResumePointItselfAndWrapAfterTheLargest) {
    add_run(root_, "run-a", "2026-03-02T09:00:00.000Z");
    auto seven = frames(std::nullopt, 7);
    EXPECT_EQ(store::blocking::snapshot(seven).id, 7u);
    add_run(root_, "run-b", "");
    EXPECT_EQ(poll(seven), Lines{R"(8 run.changed {"run_id":"run-b","round":0})"});

    auto largest = frames(std::nullopt, UINT64_MAX);
    EXPECT_EQ(store::blocking::snapshot(largest).id, UINT64_MAX);
    add_run(root_, "run-c", "");
    EXPECT_EQ(poll(largest), Lines{R"(0 run.changed {"run_id":"run-c","round":0})"});
}

TEST_F(ChangeFeed, AWatchedRunYieldsItsOwnChangesWithItsActivity) {
    add_run(root_, "other", "2026-03-02T09:00:00.000Z");
    auto feed = frames("watched");
    EXPECT_EQ(store::blocking::snapshot(feed).kind, contract::SseEvent::Snapshot);
    EXPECT_EQ(poll(feed), Lines{}) << "the watched run does not exist yet";

    // It appears: there was no activity before, so even an empty list is news.
    add_run(root_, "watched", "2026-03-02T09:00:00.000Z");
    append("other", {.kind = "note"});
    EXPECT_EQ(poll(feed), (Lines{R"(1 run.changed {"run_id":"watched","round":1})",
                                 R"(2 activity.changed {"run_id":"watched","activity":[]})"}));

    append("watched", activity("2026-03-02T09:01:00.000Z", "build", "cargo test"));
    EXPECT_EQ(poll(feed),
              (Lines{R"(3 run.changed {"run_id":"watched","round":1})",
                     R"(4 activity.changed {"run_id":"watched","activity":[{"round":"1","node":"build",)"
                     R"("at":1772442060000.0,"kind":"","name":"","detail":"cargo test","events":1}]})"}));

    // A change that leaves the activity as it was.
    append("watched", {.ts = "2026-03-02T09:02:00.000Z", .kind = "note"});
    EXPECT_EQ(poll(feed), Lines{R"(5 run.changed {"run_id":"watched","round":1})"});

    // Removed, then recorded again with the same activity: the last activity sent is kept.
    fs::rename(root_.path() / "watched", root_.path() / "elsewhere");
    EXPECT_EQ(poll(feed), Lines{R"(6 run.removed {"run_id":"watched"})"});
    fs::rename(root_.path() / "elsewhere", root_.path() / "watched");
    EXPECT_EQ(poll(feed), Lines{R"(7 run.changed {"run_id":"watched","round":1})"});
}

TEST_F(ChangeFeed, TheWatchedRunsConversationsAreComparedOncePerTenPolls) {
    add_run(root_, "watched", "2026-03-02T09:00:00.000Z");
    auto feed = frames("watched");
    store::blocking::snapshot(feed);
    append("watched", {.ts = "2026-03-02T09:01:00.000Z", .source = "morvane", .kind = "turn-started",
                       .stream = "agent", .labels = R"({"session":"s-1","node":"build","round":1})"});
    EXPECT_EQ(poll(feed), Lines{R"(1 run.changed {"run_id":"watched","round":1})"});
    for (int i = 2; i < 10; ++i) EXPECT_EQ(poll(feed), Lines{}) << "poll " << i;
    EXPECT_EQ(poll(feed), Lines{R"(2 conversation.changed {"run_id":"watched"})"}) << "the tenth poll";

    // The run goes: its conversations go with it at the next check.
    fs::remove_all(root_.path() / "watched");
    EXPECT_EQ(poll(feed), Lines{R"(3 run.removed {"run_id":"watched"})"});
    for (int i = 2; i < 10; ++i) EXPECT_EQ(poll(feed), Lines{}) << "poll " << i;
    EXPECT_EQ(poll(feed), Lines{R"(4 conversation.changed {"run_id":"watched"})"});
}

TEST_F(ChangeFeed, TheSnapshotListsFiftyRunsAndNamesTheCursor) {
    for (int i = 0; i < 51; ++i) add_run(root_, "run-" + std::to_string(100 + i), "");
    auto feed = frames();
    const auto snapshot = std::make_optional(store::blocking::snapshot(feed));
    EXPECT_EQ(run_ids(snapshot->data).size(), 50u);
    EXPECT_EQ(snapshot->data.at("next_cursor"), "run-149");
}

// Streams served by shared looks, each beside a twin that joined with it and polls alone.
class SharedLooks {
public:
    SharedLooks(const fs::path& root, const std::string& watched)
        // The cache's clock an hour ahead keeps every view, so looks at an unchanged run share it.
        : store_(store::RunStore::new_polling_every(
              root.string(), 10,
              std::make_shared<store::RunCache>(store::RunCache::Bounds{},
                                                [] { return store::RunCache::realtime_ns() + 3'600'000'000'000; }),
              fake_tool())),
          watched_(watched) {}

    // A stream joins between polls: its snapshot, and its twin's, from the root as it is now.
    void join(std::optional<std::string> run_id, std::optional<std::uint64_t> after) {
        streams_.push_back({store_.events({run_id, after}), store_.events({run_id, after})});
        EXPECT_EQ(text_without_time(store::blocking::snapshot(streams_.back().shared)),
                  text_without_time(store::blocking::snapshot(streams_.back().alone)));
    }

    // One shared look per key, as the server's poller takes it (with the conversation signature
    // when a stream of the key is due to compare it), handed to every stream; each twin polls
    // alone. Gives each stream's frames, failing where a twin's differ.
    std::vector<std::vector<std::string>> poll() {
        bool conversation = false;
        for (auto& stream : streams_) conversation = conversation || stream.shared.conversation_due();
        root_look_ = std::make_shared<store::Observation>(store::blocking::observe(store_, std::nullopt, false, root_look_.get()));
        run_look_ = std::make_shared<store::Observation>(store::blocking::observe(store_, watched_, conversation, run_look_.get()));
        std::vector<std::vector<std::string>> out;
        for (auto& stream : streams_) {
            stream.shared.advance(stream.shared.watched_run() ? *run_look_ : *root_look_);
            out.push_back(drain(stream.shared));
            EXPECT_EQ(out.back(), poll_once(stream.alone)) << "stream " << out.size();
        }
        return out;
    }

    const store::Observation& root_look() const { return *root_look_; }
    const store::Observation& run_look() const { return *run_look_; }

private:
    struct Twins {
        store::Frames shared;
        store::Frames alone;
    };
    static std::string text_without_time(store::Frame frame) {
        frame.data.as_object().erase("observed_at");
        return text(frame);
    }
    static std::vector<std::string> drain(store::Frames& frames) {
        std::vector<std::string> out;
        while (auto frame = frames.next()) out.push_back(text(*frame));
        return out;
    }

    store::RunStore store_;
    std::optional<std::string> watched_;
    std::vector<Twins> streams_;
    std::shared_ptr<store::Observation> root_look_;
    std::shared_ptr<store::Observation> run_look_;
};

TEST_F(ChangeFeed, StreamsJoinedAtDifferentTimesGetFromSharedLooksTheFramesTheyGetAlone) {
    add_run(root_, "run-a", "2026-03-02T09:00:00.000Z");
    add_run(root_, "watched", "2026-03-02T09:00:00.000Z");
    SharedLooks looks(root_.path(), "watched");
    looks.join(std::nullopt, std::nullopt);
    looks.join("watched", 7);
    EXPECT_EQ(looks.poll(), (std::vector<Lines>{{}, {}})) << "nothing changed";

    append("watched", {.ts = "2026-03-02T09:01:00.000Z", .source = "morvane", .kind = "turn-started",
                       .stream = "agent", .labels = R"({"session":"s-1","node":"build","round":1})"});
    EXPECT_EQ(looks.poll(), (std::vector<Lines>{{R"(1 run.changed {"run_id":"watched","round":1})"},
                                                {R"(8 run.changed {"run_id":"watched","round":1})"}}));
    // Joined after that change, from other resume points and at other phases of the
    // conversation checks.
    looks.join(std::nullopt, 41);
    looks.join("watched", UINT64_MAX);
    for (int i = 0; i < 4; ++i) looks.poll();
    append("watched", activity("2026-03-02T09:02:00.000Z", "build", "cargo test"));
    add_run(root_, "run-b", "");
    const auto changed = looks.poll();
    EXPECT_EQ(changed[0], (Lines{R"(2 run.changed {"run_id":"run-b","round":0})",
                                 R"(3 run.changed {"run_id":"watched","round":1})"}));
    EXPECT_EQ(changed[2], (Lines{R"(42 run.changed {"run_id":"run-b","round":0})",
                                 R"(43 run.changed {"run_id":"watched","round":1})"}));
    ASSERT_EQ(changed[3].size(), 2u);
    EXPECT_EQ(changed[3][0], R"(0 run.changed {"run_id":"watched","round":1})") << "after the largest id comes 0";
    EXPECT_EQ(changed[3][1].substr(0, 20), "1 activity.changed {");
    EXPECT_EQ(changed[1][1].substr(0, 21), "10 activity.changed {");

    // The first watcher's tenth poll compares conversations and finds the session; the later
    // one's tenth finds none new: its snapshot saw the session.
    std::vector<std::vector<Lines>> rest;
    for (int i = 0; i < 6; ++i) rest.push_back(looks.poll());
    EXPECT_EQ(rest[2], (std::vector<Lines>{{}, {R"(11 conversation.changed {"run_id":"watched"})"}, {}, {}}));
    fs::remove_all(root_.path() / "run-a");
    EXPECT_EQ(looks.poll(),
              (std::vector<Lines>{{R"(4 run.removed {"run_id":"run-a"})"}, {}, {R"(44 run.removed {"run_id":"run-a"})"}, {}}));
}

TEST_F(ChangeFeed, ALookSharesWhatDidNotChangeWithTheLookBefore) {
    add_run(root_, "run-a", "2026-03-02T09:00:00.000Z");
    append("run-a", activity("2026-03-02T09:01:00.000Z", "build", "cargo test"));
    SharedLooks looks(root_.path(), "run-a");
    looks.join(std::nullopt, std::nullopt);
    looks.join("run-a", std::nullopt);
    looks.poll();
    const store::Observation first = looks.root_look();
    const store::Observation first_run = looks.run_look();
    looks.poll();
    EXPECT_EQ(looks.root_look().runs, first.runs) << "the same signatures are the same object";
    EXPECT_EQ(looks.run_look().runs, first_run.runs);
    EXPECT_EQ(looks.run_look().activity, first_run.activity) << "the same view is not read again";
    append("run-a", {.ts = "2026-03-02T09:05:00.000Z", .kind = "note"});
    looks.poll();
    EXPECT_NE(looks.root_look().runs, first.runs);
    EXPECT_NE(looks.run_look().activity, first_run.activity);
}

TEST_F(ChangeFeed, ALookCountsAsThePollsItStandsForAndOneWithoutTheConversationSignatureLeavesTheCheckDue) {
    add_run(root_, "watched", "2026-03-02T09:00:00.000Z");
    auto store = store::RunStore::new_polling_every(root_.path().string(), 10, fake_tool());
    auto feed = store.events({"watched", std::nullopt});
    store::blocking::snapshot(feed);
    EXPECT_EQ(store.events({}).polls_to_conversation(), UINT64_MAX) << "no run watched";
    append("watched", {.ts = "2026-03-02T09:01:00.000Z", .source = "morvane", .kind = "turn-started",
                       .stream = "agent", .labels = R"({"session":"s-1","node":"build","round":1})"});
    const store::Observation without = store::blocking::observe(store, "watched", false);
    EXPECT_EQ(feed.polls_to_conversation(), 10u);
    feed.advance(without, 4);  // one look standing for four polls
    EXPECT_EQ(feed.polls_to_conversation(), 6u);
    for (int i = 0; i < 5; ++i) feed.advance(without);
    EXPECT_TRUE(feed.conversation_due());
    feed.advance(without);
    EXPECT_TRUE(feed.conversation_due()) << "a look without the signature leaves it due";
    feed.advance(store::blocking::observe(store, "watched", true));
    EXPECT_FALSE(feed.conversation_due());
    Lines frames;
    while (auto frame = feed.next()) frames.push_back(text(*frame));
    EXPECT_EQ(frames, (Lines{R"(1 run.changed {"run_id":"watched","round":1})",
                             R"(2 conversation.changed {"run_id":"watched"})"}));
}

// Runs the function with no descriptor left to open (the soft limit at the lowest free number).
template <class F>
void without_descriptors(F function) {
    const int lowest_free = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(lowest_free, 0);
    ::close(lowest_free);
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlimit saved = limit;
    limit.rlim_cur = static_cast<rlim_t>(lowest_free);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
    function();
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
}

TEST_F(ChangeFeed, APollOutOfDescriptorsFindsNothingAndTheNextSeesEveryChange) {
#ifdef KORVALLE_SANITIZED
    GTEST_SKIP() << "the sanitizer build's own checks need free descriptors";
#endif
    add_run(root_, "run-a", "2026-03-02T09:00:00.000Z");
    add_run(root_, "run-b", "2026-03-02T09:00:00.000Z");
    auto feed = frames("run-a");
    store::blocking::snapshot(feed);
    append("run-a", {.ts = "2026-03-02T09:05:00.000Z", .kind = "note"});
    Lines starved;
    without_descriptors([&] { starved = poll(feed); });
    EXPECT_EQ(starved, Lines{}) << "no run is announced as removed, no change is spent";
    EXPECT_EQ(poll(feed), (Lines{R"(1 run.changed {"run_id":"run-a","round":1})"}));
}

}  // namespace
}  // namespace korvalle::testing
