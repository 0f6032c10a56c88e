// The cache of opened runs in process: when an entry is used, replaced, kept for one caller
// only, and dropped.
#include "src/store/run_cache.hpp"
#include "src/store/store.hpp"
#include "tests/support/at_once.hpp"
#include "tests/support/server_fixture.hpp"

#include "sdk/run/liveness.hpp"
#include "src/payload/run_detail/run_detail.hpp"
#include "src/payload/timeline/timeline.hpp"

#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

namespace korvalle::testing {
namespace {

namespace fs = std::filesystem;
using store::RunCache;

// The cache's clock put far enough ahead that every file written by the test counts as settled.
RunCache::Clock later_by(std::int64_t ns) {
    return [ns] { return RunCache::realtime_ns() + ns; };
}
constexpr std::int64_t hour_ns = 3'600'000'000'000;

// Gives every file of the run a modification time of its own, long past: the files then differ
// from any earlier state even when they were rewritten within one tick of the clock.
void backdate(const fs::path& dir, std::int64_t seconds_ago) {
    const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(1'700'000'000 - seconds_ago), 0}};
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        ASSERT_EQ(::utimensat(AT_FDCWD, entry.path().c_str(), times, 0), 0) << entry.path();
    }
}

ledger::RunPaths paths_of(const RunsRoot& root, const std::string& id) {
    return ledger::RunPaths{id, root.path() / id};
}

// Files changed less than two seconds before they were read may change again unseen: a view
// read from them serves its caller and is not kept. The status-change time counts, so a
// modification time set into the past does not make a fresh file settled.
TEST(RunCache, FilesChangedWithinTwoSecondsOfTheReadAreNotTrusted) {
    RunsRoot root;
    add_run(root, "r", "2026-03-05T09:00:00.000Z");
    backdate(root.path() / "r", 100);

    // Each read after the first reads the journal on from where the last stopped; the view is
    // kept only as the base of the next read.
    RunCache fresh;
    ASSERT_TRUE(fresh.open(paths_of(root, "r")));
    ASSERT_TRUE(fresh.open(paths_of(root, "r")));
    EXPECT_EQ(fresh.figures().replays, 2u);
    EXPECT_EQ(fresh.figures().hits, 0u);
    EXPECT_EQ(fresh.figures().records, 0u);

    // Three seconds on, the same files are settled: the second open is answered from the entry.
    RunCache settled({}, later_by(3'000'000'000));
    const store::SharedView first = settled.open(paths_of(root, "r"));
    EXPECT_EQ(settled.open(paths_of(root, "r")), first);
    EXPECT_EQ(settled.figures().replays, 1u);
    EXPECT_EQ(settled.figures().hits, 1u);

    // One second on, they are not.
    RunCache early({}, later_by(1'000'000'000));
    const store::SharedView once = early.open(paths_of(root, "r"));
    EXPECT_NE(early.open(paths_of(root, "r")), once);
    EXPECT_EQ(early.figures().hits, 0u);
}

// A changed journal is replayed and replaces the entry; an unchanged one is not read.
TEST(RunCache, AChangedFileReplacesTheEntry) {
    RunsRoot root;
    add_run(root, "r", "2026-03-05T09:00:00.000Z", false, true);
    RunCache cache({}, later_by(hour_ns));
    const store::SharedView first = cache.open(paths_of(root, "r"));
    ASSERT_TRUE(first);
    EXPECT_EQ(cache.open(paths_of(root, "r")), first);

    root.run("r").event({.ts = "2026-03-05T09:00:01.000Z", .kind = "round-finished", .labels = R"({"round":1})"});
    const store::SharedView second = cache.open(paths_of(root, "r"));
    ASSERT_NE(second, first);
    EXPECT_EQ(second->envelopes.size(), first->envelopes.size() + 1);
    EXPECT_FALSE(second->in_round);
    EXPECT_EQ(cache.open(paths_of(root, "r")), second);
    EXPECT_EQ(cache.figures().entries, 1u);
    EXPECT_EQ(cache.figures().replays, 2u);
}

// A run directory removed and recorded again under the same id is read again, also when the new
// files have the sizes of the old ones; a removed run that is asked for drops its entry.
TEST(RunCache, ARunRemovedAndRecordedAgainUnderItsIdIsReadAgain) {
    RunsRoot root;
    add_run(root, "r", "2026-03-05T09:00:00.000Z");
    backdate(root.path() / "r", 200);
    RunCache cache({}, later_by(hour_ns));
    const store::SharedView first = cache.open(paths_of(root, "r"));
    ASSERT_TRUE(first);
    EXPECT_FALSE(first->in_round);

    fs::remove_all(root.path() / "r");
    add_run(root, "r", "2026-03-05T09:00:00.000Z");  // the same bytes as before
    backdate(root.path() / "r", 100);
    EXPECT_EQ(fs::file_size(root.path() / "r" / "events.jsonl"), first->files_read.files[1].identity->size);
    const store::SharedView second = cache.open(paths_of(root, "r"));
    ASSERT_TRUE(second);
    EXPECT_NE(second, first);

    fs::remove_all(root.path() / "r");
    EXPECT_FALSE(cache.open(paths_of(root, "r")));
    EXPECT_EQ(cache.figures().entries, 0u);
}

// Past the bound the least recently used entries go first; runs no longer listed are dropped.
TEST(RunCache, EntriesBeyondTheBoundAndUnlistedRunsAreDropped) {
    RunsRoot root;
    for (const char* id : {"a", "b", "c"}) add_run(root, id, "2026-03-05T09:00:00.000Z");
    const std::uint64_t one = views::RunView::open(paths_of(root, "a")).value().held_bytes();
    for (const char* id : {"b", "c"}) {
        ASSERT_EQ(views::RunView::open(paths_of(root, id)).value().held_bytes(), one);
    }
    RunCache cache({2 * one}, later_by(hour_ns));
    cache.open(paths_of(root, "a"));
    cache.open(paths_of(root, "b"));
    cache.open(paths_of(root, "a"));  // b is now the least recently used
    cache.open(paths_of(root, "c"));
    EXPECT_EQ(cache.figures().entries, 2u);
    EXPECT_EQ(cache.figures().bytes, 2 * one);
    EXPECT_EQ(cache.figures().replays, 3u);
    cache.open(paths_of(root, "a"));
    cache.open(paths_of(root, "c"));
    EXPECT_EQ(cache.figures().replays, 3u);
    cache.open(paths_of(root, "b"));
    EXPECT_EQ(cache.figures().replays, 4u);

    cache.keep_only({paths_of(root, "b")});
    EXPECT_EQ(cache.figures().entries, 1u);
    EXPECT_EQ(cache.figures().bytes, one);
    // A view larger than the whole bound is handed out but not kept.
    RunCache tiny({one - 1}, later_by(hour_ns));
    EXPECT_TRUE(tiny.open(paths_of(root, "a")));
    EXPECT_EQ(tiny.figures().entries, 0u);
    EXPECT_EQ(tiny.figures().bytes, 0u);
}

// A grown view shares its base's envelopes and appends behind them: the views that requests
// still hold keep exactly what they had, however often the journal is read on from them.
TEST(RunCache, HeldViewsAreNeverChangedByTheReadsGrownFromThem) {
    RunsRoot root;
    add_run(root, "r", "2026-03-05T09:00:00.000Z", false, true);
    RunCache cache({}, later_by(hour_ns));
    const auto kinds = [](const store::SharedView& view) {
        std::vector<std::string> out;
        for (const event::Envelope& envelope : view->envelopes) out.push_back(envelope.kind);
        return out;
    };
    std::vector<std::pair<store::SharedView, std::vector<std::string>>> held;
    for (int step = 0; step < 4; ++step) {
        held.emplace_back(cache.open(paths_of(root, "r")), std::vector<std::string>());
        held.back().second = kinds(held.back().first);
        // Enough lines to outgrow the room of the envelopes' store now and then.
        for (int i = 0; i < 20; ++i) {
            root.run("r").event({.ts = "2026-03-05T09:00:01.000Z", .kind = "step-" + std::to_string(step),
                                 .labels = R"({"round":1})"});
        }
    }
    EXPECT_EQ(cache.figures().grown, 3u);
    for (const auto& [view, seen] : held) EXPECT_EQ(kinds(view), seen);
    EXPECT_EQ(held.back().first->envelopes.size(), held.front().first->envelopes.size() + 60);
}

// Concurrent first reads of one run, by documents or walks, share one open.
TEST(RunCache, ConcurrentReadsOfOneRunShareOneOpen) {
    RunsRoot root;
    add_run(root, "r", "2026-03-05T09:00:00.000Z");
    for (bool documents : {true, false}) {
        RunCache cache({}, later_by(hour_ns));
        const std::vector<const void*> read = at_once(16, [&](int) -> const void* {
            if (documents) return cache.open_run(paths_of(root, "r")).get();
            return cache.open_record(paths_of(root, "r")).get();
        });
        EXPECT_EQ(cache.figures().replays, 1u) << documents;
        for (const void* each : read) EXPECT_EQ(each, read[0]) << documents;
        // Only a document's open keeps its view; both keep the record.
        EXPECT_EQ(cache.figures().entries, documents ? 1u : 0u);
        EXPECT_EQ(cache.figures().records, 1u);
    }
}

// With a budget smaller than any run, every open goes alone; concurrent walks that meet a run
// that does not open are all answered as a store that keeps nothing answers, and every share
// of the budget is given back.
TEST(RunCache, OpensPastTheBudgetWaitTheirTurnAndAreAllAnswered) {
    RunsRoot root;
    for (int i = 0; i < 6; ++i) add_run(root, "r" + std::to_string(i), "2026-03-05T09:00:0" + std::to_string(i) + ".000Z");
    root.run("broken").launch();
    write_file(root.path() / "broken" / "launch.json", "{not a launch record");
    const std::string path = root.path().string();
    auto cache = std::make_shared<RunCache>(RunCache::Bounds{0, 0, 1}, later_by(hour_ns));
    const auto store = store::RunStore::new_polling_every(path, 500, cache);
    const auto fresh = store::RunStore::new_polling_every(path, 500, std::make_shared<RunCache>(RunCache::keeping_nothing()));
    const store::RunsQuery query{std::nullopt, 50, true};
    const std::string expected = json::write(fresh.run_list(query));

    const std::vector<std::string> answers = at_once(8, [&](int) { return json::write(store.run_list(query)); });
    for (const std::string& answer : answers) EXPECT_EQ(answer, expected);
    const RunCache::Figures figures = cache->figures();
    EXPECT_EQ(figures.opens.held, 0u);
    EXPECT_EQ(figures.opens.waiting, 0u);
    EXPECT_EQ(figures.entries + figures.records, 0u);
}

// The process's own resident memory (not its code, which the first call of a function brings
// in) once glibc has given back what it can, in bytes.
std::uint64_t trimmed_resident_bytes() {
    ::malloc_trim(0);
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("RssAnon:")) return std::stoull(line.substr(8)) * 1024;
    }
    return 0;
}

// A run of agent sessions on a few nodes, with version-control checks: about 20 MB of journal.
void add_large_run(RunsRoot& root, const std::string& id) {
    add_run(root, id, "2026-03-05T09:00:00.000Z", false, true);
    std::string journal;
    const std::string detail(300, 'x');
    for (int i = 0; i < 40'000; ++i) {
        const std::string node = "node-" + std::to_string(i / 50 % 8);
        const std::string labels = R"({"run_id":")" + id + R"(","node":")" + node +
                                   R"(","round":1,"persona":"worker","session":"ses-)" + std::to_string(i / 50 % 8) +
                                   R"(","role":"agent"})";
        Event event{.ts = "2026-03-05T09:00:01.000Z", .source = "morvane", .kind = "turn-activity",
                    .stream = "morvane/" + node, .seq = static_cast<std::uint64_t>(i + 10), .labels = labels,
                    .payload = R"({"kind":"tool","name":"Read","detail":")" + detail + std::to_string(i) + R"("})"};
        if (i % 10 == 8) {
            event.kind = "turn-completed";
            event.payload = R"({"message":")" + detail + R"(","model":"m","usage":{"duration":4.5,"tokens_in":1800}})";
        } else if (i % 10 == 5) {
            event.source = "vcs";
            event.kind = "change-check";
            event.payload = R"({"name":"unit-tests","status":"completed","conclusion":"success","required":true})";
            event.artifacts = R"([{"id":"check-)" + std::to_string(i) + R"(","kind":"gate_log","bytes":20480}])";
        }
        journal += envelope_line(event) + "\n";
    }
    root.run(id).journal_bytes(journal);
}

// A kept run is counted by the memory it takes: its view (the room reserved for its envelopes
// beyond those read takes none) and what its first documents keep beside it (the texts reserved
// larger than they were written included), within a tenth of what the process grew by.
TEST(RunCache, AKeptRunIsCountedByTheMemoryItTakes) {
#ifdef KORVALLE_SANITIZED
    GTEST_SKIP() << "the sanitizers' allocator holds memory its own way";
#endif
    RunsRoot root;
    add_large_run(root, "big");
    RunCache cache({}, later_by(hour_ns));
    const std::uint64_t before = trimmed_resident_bytes();
    const store::SharedRun run = cache.open_run(paths_of(root, "big"));
    ASSERT_TRUE(run);
    const auto counted_within_a_tenth = [&](const char* what) {
        const double held = static_cast<double>(trimmed_resident_bytes() - before);
        const double counted = static_cast<double>(cache.figures().bytes);
        EXPECT_GT(counted, 0.9 * held) << what << ": " << counted << " counted, " << held << " held";
        EXPECT_LT(counted, 1.1 * held) << what << ": " << counted << " counted, " << held << " held";
    };
    counted_within_a_tenth("the view");
    const views::LivenessInputs liveness{.this_host = "localhost", .now_ms = views::now_ms()};
    {
        const text::Fragments detail =
            payload::run_detail_fragments(run->view, true, nullptr, run->indexes_of(cache.now()), liveness);
        const text::Fragments timeline = payload::timeline_fragments(run->view, std::nullopt, run->indexes_of());
        ASSERT_GT(text::size_of(detail) + text::size_of(timeline), std::size_t{20'000'000});
    }
    cache.count_indexes(paths_of(root, "big"), run);
    counted_within_a_tenth("the view with what its documents keep");
}

}  // namespace
}  // namespace korvalle::testing
