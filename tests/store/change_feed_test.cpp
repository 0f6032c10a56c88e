// The change feed's frame source driven by real file changes under a fixture runs root: each
// test changes files, polls once and compares the frames found, written as "id event data".
#include "src/store/change_feed.hpp"

#include "tests/support/server_fixture.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace korvalle::testing {
namespace {

namespace fs = std::filesystem;

std::string text(const store::Frame& frame) {
    return std::to_string(frame.id) + " " + std::string(contract::event_name(frame.kind)) + " " +
           json::write(frame.data);
}

Event activity(const std::string& ts, const std::string& node, const std::string& detail) {
    return {.ts = ts, .source = "morvane", .kind = "turn-activity", .stream = "agent",
            .labels = R"({"node":)" + quote(node) + R"(,"round":1})", .payload = R"({"detail":)" + quote(detail) + "}"};
}

class ChangeFeed : public ::testing::Test {
protected:
    void SetUp() override { setenv("KORVALLE_UI_KORVALLE_BIN", fake_tool_binary().c_str(), 1); }

    store::Frames frames(std::optional<std::string> run_id = std::nullopt, std::optional<std::uint64_t> after = {}) {
        return store::RunStore::new_polling_every(root_.path().string(), 10).events({std::move(run_id), after});
    }
    // One poll, then every frame it found.
    static std::vector<std::string> poll(store::Frames& frames) {
        frames.poll();
        std::vector<std::string> out;
        while (auto frame = frames.next()) out.push_back(text(*frame));
        return out;
    }
    void append(const std::string& run, const Event& event) { append_file(root_.path() / run / "events.jsonl", envelope_line(event) + "\n"); }

    RunsRoot root_;
};

using Lines = std::vector<std::string>;

TEST_F(ChangeFeed, SnapshotFirstThenOneFrameForEachChangedNewAndRemovedRun) {
    add_run(root_, "run-a", "2026-03-02T09:00:00.000Z");
    add_run(root_, "run-c", "2026-03-02T09:00:00.000Z");
    root_.run(".hidden").launch();  // an id the identifier rule refuses: listed, never a frame
    auto feed = frames();

    auto snapshot = feed.next();
    ASSERT_TRUE(snapshot);
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
    EXPECT_EQ(seven.next()->id, 7u);
    add_run(root_, "run-b", "");
    EXPECT_EQ(poll(seven), Lines{R"(8 run.changed {"run_id":"run-b","round":0})"});

    auto largest = frames(std::nullopt, UINT64_MAX);
    EXPECT_EQ(largest.next()->id, UINT64_MAX);
    add_run(root_, "run-c", "");
    EXPECT_EQ(poll(largest), Lines{R"(0 run.changed {"run_id":"run-c","round":0})"});
}

TEST_F(ChangeFeed, AWatchedRunYieldsItsOwnChangesWithItsActivity) {
    add_run(root_, "other", "2026-03-02T09:00:00.000Z");
    auto feed = frames("watched");
    EXPECT_EQ(feed.next()->kind, contract::SseEvent::Snapshot);
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
    feed.next();
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
    auto snapshot = frames().next();
    EXPECT_EQ(run_ids(snapshot->data).size(), 50u);
    EXPECT_EQ(snapshot->data.at("next_cursor"), "run-149");
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
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "the sanitizer build's own checks need free descriptors";
#endif
    add_run(root_, "run-a", "2026-03-02T09:00:00.000Z");
    add_run(root_, "run-b", "2026-03-02T09:00:00.000Z");
    auto feed = frames("run-a");
    ASSERT_TRUE(feed.next());
    append("run-a", {.ts = "2026-03-02T09:05:00.000Z", .kind = "note"});
    Lines starved;
    without_descriptors([&] { starved = poll(feed); });
    EXPECT_EQ(starved, Lines{}) << "no run is announced as removed, no change is spent";
    EXPECT_EQ(poll(feed), (Lines{R"(1 run.changed {"run_id":"run-a","round":1})"}));
}

}  // namespace
}  // namespace korvalle::testing
