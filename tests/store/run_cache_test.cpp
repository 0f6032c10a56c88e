// The cache of opened runs in process: when an entry is used, replaced, kept for one caller
// only, and dropped.
#include "src/store/run_cache.hpp"
#include "src/store/blocking.hpp"
#include "src/store/store.hpp"
#include "tests/support/at_once.hpp"
#include "tests/support/server_fixture.hpp"

#include "sdk/run/liveness.hpp"
#include "src/payload/run_detail/run_detail.hpp"
#include "src/payload/timeline/timeline.hpp"

#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

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
    ASSERT_TRUE(store::blocking::open(fresh, paths_of(root, "r")));
    ASSERT_TRUE(store::blocking::open(fresh, paths_of(root, "r")));
    EXPECT_EQ(fresh.figures().replays, 2u);
    EXPECT_EQ(fresh.figures().hits, 0u);
    EXPECT_EQ(fresh.figures().records, 0u);

    // Three seconds on, the same files are settled: the second open is answered from the entry.
    RunCache settled({}, later_by(3'000'000'000));
    const store::SharedView first = store::blocking::open(settled, paths_of(root, "r"));
    EXPECT_EQ(store::blocking::open(settled, paths_of(root, "r")), first);
    EXPECT_EQ(settled.figures().replays, 1u);
    EXPECT_EQ(settled.figures().hits, 1u);

    // One second on, they are not.
    RunCache early({}, later_by(1'000'000'000));
    const store::SharedView once = store::blocking::open(early, paths_of(root, "r"));
    EXPECT_NE(store::blocking::open(early, paths_of(root, "r")), once);
    EXPECT_EQ(early.figures().hits, 0u);
}

// A changed journal is replayed and replaces the entry; an unchanged one is not read.
TEST(RunCache, AChangedFileReplacesTheEntry) {
    RunsRoot root;
    add_run(root, "r", "2026-03-05T09:00:00.000Z", false, true);
    RunCache cache({}, later_by(hour_ns));
    const store::SharedView first = store::blocking::open(cache, paths_of(root, "r"));
    ASSERT_TRUE(first);
    EXPECT_EQ(store::blocking::open(cache, paths_of(root, "r")), first);

    root.run("r").event({.ts = "2026-03-05T09:00:01.000Z", .kind = "round-finished", .labels = R"({"round":1})"});
    const store::SharedView second = store::blocking::open(cache, paths_of(root, "r"));
    ASSERT_NE(second, first);
    EXPECT_EQ(second->envelopes.size(), first->envelopes.size() + 1);
    EXPECT_FALSE(second->in_round);
    EXPECT_EQ(store::blocking::open(cache, paths_of(root, "r")), second);
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
    const store::SharedView first = store::blocking::open(cache, paths_of(root, "r"));
    ASSERT_TRUE(first);
    EXPECT_FALSE(first->in_round);

    fs::remove_all(root.path() / "r");
    add_run(root, "r", "2026-03-05T09:00:00.000Z");  // the same bytes as before
    backdate(root.path() / "r", 100);
    EXPECT_EQ(fs::file_size(root.path() / "r" / "events.jsonl"), first->files_read.files[1].identity->size);
    const store::SharedView second = store::blocking::open(cache, paths_of(root, "r"));
    ASSERT_TRUE(second);
    EXPECT_NE(second, first);

    fs::remove_all(root.path() / "r");
    EXPECT_FALSE(store::blocking::open(cache, paths_of(root, "r")));
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
    store::blocking::open(cache, paths_of(root, "a"));
    store::blocking::open(cache, paths_of(root, "b"));
    store::blocking::open(cache, paths_of(root, "a"));  // b is now the least recently used
    store::blocking::open(cache, paths_of(root, "c"));
    EXPECT_EQ(cache.figures().entries, 2u);
    EXPECT_EQ(cache.figures().bytes, 2 * one);
    EXPECT_EQ(cache.figures().replays, 3u);
    store::blocking::open(cache, paths_of(root, "a"));
    store::blocking::open(cache, paths_of(root, "c"));
    EXPECT_EQ(cache.figures().replays, 3u);
    store::blocking::open(cache, paths_of(root, "b"));
    EXPECT_EQ(cache.figures().replays, 4u);

    cache.keep_only({paths_of(root, "b")});
    EXPECT_EQ(cache.figures().entries, 1u);
    EXPECT_EQ(cache.figures().bytes, one);
    // A view larger than the whole bound is handed out but not kept.
    RunCache tiny({one - 1}, later_by(hour_ns));
    EXPECT_TRUE(store::blocking::open(tiny, paths_of(root, "a")));
    EXPECT_EQ(tiny.figures().entries, 0u);
    EXPECT_EQ(tiny.figures().bytes, 0u);
}

// A run of agent sessions on a few nodes, with version-control checks: about 500 bytes of journal
// per line (20 MB by default), the run id among its labels.
void add_large_run(RunsRoot& root, const std::string& id, int lines = 40'000) {
    add_run(root, id, "2026-03-05T09:00:00.000Z", false, true);
    std::string journal;
    const std::string detail(300, 'x');
    for (int i = 0; i < lines; ++i) {
        const std::string n = std::to_string(i / 50 % 8);
        const std::string labels = R"({"run_id":")" + id + R"(","node":"node-)" + n +
                                   R"(","round":1,"persona":"worker","session":"ses-)" + n + R"(","role":"agent"})";
        Event event{.ts = "2026-03-05T09:00:01.000Z", .source = "morvane", .kind = "turn-activity",
                    .stream = "morvane/node-" + n, .seq = static_cast<std::uint64_t>(i + 10), .labels = labels,
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

// A freed view leaves its blocks for the next open, which reads a run of other bytes into them
// and reads what an open in memory of its own reads; the blocks kept count in the budget for
// opens.
TEST(RunCache, OpensReuseTheBlocksOfFreedViews) {
    RunsRoot root;
    // About a megabyte of journal each: the views' blocks are pages of their own.
    for (const std::string id : {"a", "b"}) add_large_run(root, id, 2'500);
    RunCache cache(RunCache::keeping_nothing(), later_by(hour_ns));
    for (const std::string id : {"a", "b", "a"}) {
        const store::SharedView view = store::blocking::open(cache, paths_of(root, id));
        ASSERT_TRUE(view);
        const views::RunView own = views::RunView::open(paths_of(root, id)).value();
        EXPECT_TRUE(std::ranges::equal(view->envelopes, own.envelopes)) << id;
    }
    const RunCache::Figures figures = cache.figures();
    EXPECT_GT(figures.blocks.reused, 0u);
    EXPECT_GT(figures.blocks.bytes, 0u);
    EXPECT_EQ(figures.opens.held, figures.blocks.bytes);
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
        held.emplace_back(store::blocking::open(cache, paths_of(root, "r")), std::vector<std::string>());
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

// Lines [from, to) of a journal of ticks, about 120 bytes each: enough of them fill several of
// the blocks a read on samples.
std::string ticks(int from, int to) {
    std::string text;
    for (int i = from; i < to; ++i) {
        const std::string payload = R"({"n":)" + std::to_string(100000 + i) + R"(,"pad":")" + std::string(60, 'p') + R"("})";
        text += envelope_line({.ts = "2026-03-05T09:00:00.000Z", .kind = "tick",
                               .seq = static_cast<std::uint64_t>(i + 1), .payload = payload}) + "\n";
    }
    return text;
}

// A journal of several blocks is changed before its old end (a byte written over in place, the
// file truncated and written again, a hole punched) and appended to. A read while the change is
// less than two seconds old may go on from the kept view, checking only samples of the bytes
// before the old end; the first read once the journal has been still for two seconds checks them
// all and answers as a fresh open does.
TEST(RunCache, RewritesBeforeTheOldEndAreSeenOnceTheJournalHasBeenStill) {
    RunsRoot root;
    const fs::path journal = root.run("r").launch().dir() / "events.jsonl";
    const std::string text = ticks(0, 3000);
    ASSERT_GT(text.size(), 4 * files::BlockDigests::block_bytes);
    const std::size_t middle = text.find("\"n\":", 3 * files::BlockDigests::block_bytes) + 5;
    const std::pair<std::string, std::function<void()>> changes[] = {
        {"written over", [&] { overwrite_file(journal, middle, "9"); }},
        {"truncated and written again", [&] { write_file(journal, std::string(text).replace(middle, 1, "9")); }},
        {"punched", [&] { ASSERT_TRUE(punch_hole(journal, 2 * files::BlockDigests::block_bytes, 4096)); }},
    };
    for (const auto& [name, change] : changes) {
        write_file(journal, text);
        std::atomic<std::int64_t> ahead{0};
        RunCache cache({}, [&] { return RunCache::realtime_ns() + ahead.load(); });
        ASSERT_TRUE(store::blocking::open(cache, paths_of(root, "r")));
        change();
        append_file(journal, ticks(3000, 3002));
        ASSERT_TRUE(store::blocking::open(cache, paths_of(root, "r")));
        ahead = 3'000'000'000;
        const store::SharedView still = store::blocking::open(cache, paths_of(root, "r"));
        const views::RunView fresh = views::RunView::open(paths_of(root, "r")).value();
        ASSERT_TRUE(still);
        EXPECT_TRUE(std::ranges::equal(still->envelopes, fresh.envelopes)) << name;
        EXPECT_EQ(still->last_event_at, fresh.last_event_at) << name;
        // It is trusted from now on: the next read is answered from it.
        EXPECT_EQ(store::blocking::open(cache, paths_of(root, "r")), still) << name;
    }
}

// A journal with a line that is not UTF-8 yields nothing, and no append changes that: its view
// is kept, by walks too, and reads after appends go on from it without reading the journal again,
// until the line is mended.
TEST(RunCache, AJournalThatIsNotUtf8ForGoodIsNotReadAgainForAppends) {
    RunsRoot root;
    const fs::path journal = root.run("r").launch().dir() / "events.jsonl";
    const std::string before = ticks(0, 1500);
    write_file(journal, before + "{\"bad\":\"\xff\"}\n" + ticks(1500, 1600));
    RunCache cache({}, later_by(hour_ns));
    for (int i = 0; i < 4; ++i) {
        if (i > 0) append_file(journal, ticks(1599 + i, 1600 + i));
        const store::SharedRecord read = store::blocking::open_record(cache, paths_of(root, "r"));
        ASSERT_TRUE(read);
        EXPECT_EQ(read->signature.envelope_count, 0u);
        EXPECT_EQ(cache.figures().entries, 1u);  // the view, kept by a walk
    }
    EXPECT_EQ(cache.figures().grown, 3u);
    EXPECT_EQ(cache.figures().replays, 4u);

    overwrite_file(journal, before.size() + 8, "x");
    append_file(journal, ticks(1603, 1604));
    const store::SharedRecord mended = store::blocking::open_record(cache, paths_of(root, "r"));
    ASSERT_TRUE(mended);
    EXPECT_EQ(mended->signature.envelope_count, views::RunView::open(paths_of(root, "r")).value().envelopes.size());
    EXPECT_EQ(mended->signature.envelope_count, 1604u);  // the mended line is no envelope
    EXPECT_EQ(cache.figures().grown, 3u);
}

// Concurrent first reads of one run, by documents or walks, share one open.
TEST(RunCache, ConcurrentReadsOfOneRunShareOneOpen) {
    RunsRoot root;
    add_run(root, "r", "2026-03-05T09:00:00.000Z");
    for (bool documents : {true, false}) {
        RunCache cache({}, later_by(hour_ns));
        const std::vector<const void*> read = at_once(16, [&](int) -> const void* {
            if (documents) return store::blocking::open_run(cache, paths_of(root, "r")).get();
            return store::blocking::open_record(cache, paths_of(root, "r")).get();
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
    const std::string expected = json::write(store::blocking::run_list(fresh, query));

    const std::vector<std::string> answers = at_once(8, [&](int) { return json::write(store::blocking::run_list(store, query)); });
    for (const std::string& answer : answers) EXPECT_EQ(answer, expected);
    const RunCache::Figures figures = cache->figures();
    EXPECT_EQ(figures.opens.held, 0u);
    EXPECT_EQ(figures.opens.waiting, 0u);
    EXPECT_EQ(figures.entries + figures.records, 0u);
}

// A document's read never blocks: past the budget for opens it waits for its share, and a read
// of the same run meanwhile waits for that open, each told by its resume. Once the cache refuses
// waiting (at the stop), both are refused, while a walk still gets its turn.
TEST(RunCache, ReadsInStepsWaitForTheBudgetAndForTheOpenAndAreRefusedAtTheStop) {
    RunsRoot root;
    add_run(root, "held", "2026-03-05T09:00:00.000Z");
    add_run(root, "r", "2026-03-05T09:00:00.000Z");
    for (const bool stop : {false, true}) {
        SCOPED_TRACE(stop);
        // No view is kept, so an opened run holds its share of the budget until it is dropped.
        RunCache cache(RunCache::Bounds{0, 0, 1}, later_by(hour_ns));
        store::SharedRun held = store::blocking::open_run(cache, paths_of(root, "held"));
        ASSERT_TRUE(held);
        RunCache::Reading leader(cache, paths_of(root, "r"));
        RunCache::Reading joiner(cache, paths_of(root, "r"));
        int resumed = 0;
        const store::Resume resume = [&] { ++resumed; };
        EXPECT_EQ(leader.step(resume), store::Step::Waits);
        EXPECT_EQ(joiner.step(resume), store::Step::Waits);
        EXPECT_EQ(cache.figures().opens.waiting, 1u);
        EXPECT_EQ(resumed, 0);
        if (stop) {
            cache.refuse_waiting();
        } else {
            held.reset();
        }
        const store::Step ends = stop ? store::Step::Refused : store::Step::Done;
        EXPECT_EQ(resumed, 1);
        EXPECT_EQ(leader.step(resume), ends);
        EXPECT_EQ(resumed, 2);
        // Refused, the joiner looks again and would lead an open that must wait.
        EXPECT_EQ(joiner.step(resume), ends);
        if (!stop) {
            ASSERT_TRUE(leader.run());
            EXPECT_EQ(joiner.run(), leader.run());
            EXPECT_EQ(cache.figures().joined, 1u);
            continue;
        }
        store::SharedRecord walked;
        std::jthread walk([&] { walked = store::blocking::open_record(cache, paths_of(root, "r")); });
        while (cache.figures().opens.waiting == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        held.reset();
        walk.join();
        EXPECT_TRUE(walked);
        EXPECT_EQ(cache.figures().opens.refused, 2u);
    }
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

const views::LivenessInputs liveness{.this_host = "localhost", .now_ms = views::now_ms()};

// A document of the whole run, the detail or else the timeline, made from the cache's run as a
// request makes it; what it keeps beside the view is counted after.
std::string document(RunCache& cache, const ledger::RunPaths& paths, const store::SharedRun& run, bool detail) {
    std::string text = text::joined(
        detail ? payload::run_detail_fragments(run->view, true, nullptr, run->indexes_of(cache.now()), liveness)
               : payload::timeline_fragments(run->view, std::nullopt, run->indexes_of()));
    cache.count_indexes(paths, run);
    return text;
}

// A kept run is counted by the memory it takes: its view (the room reserved for its envelopes
// beyond those read takes none) and what its first documents keep beside it (the texts reserved
// larger than they were written included), within a tenth of what the process grew by.
TEST(RunCache, AKeptRunIsCountedByTheMemoryItTakes) {
#if defined(KORVALLE_SANITIZED) || defined(KORVALLE_THREAD_SANITIZED)
    GTEST_SKIP() << "the sanitizers' allocators and shadow memory hold memory their own way";
#endif
    RunsRoot root;
    add_large_run(root, "big");
    RunCache cache({}, later_by(hour_ns));
    const std::uint64_t before = trimmed_resident_bytes();
    const store::SharedRun run = store::blocking::open_run(cache, paths_of(root, "big"));
    ASSERT_TRUE(run);
    const auto counted_within_a_tenth = [&](const char* what) {
        const double held = static_cast<double>(trimmed_resident_bytes() - before);
        EXPECT_NEAR(static_cast<double>(cache.figures().bytes), held, held / 10) << what;
    };
    counted_within_a_tenth("the view");
    ASSERT_GT(document(cache, paths_of(root, "big"), run, true).size() +
                  document(cache, paths_of(root, "big"), run, false).size(),
              std::size_t{20'000'000});
    counted_within_a_tenth("the view with what its documents keep");
}

// A view that fits the bound is kept even when what its documents keep would not fit beside it:
// the parts that fit are kept, in the order the documents ask for them, and the rest is made for
// each document, which answers as one made from the view alone.
TEST(RunCache, AViewIsKeptAndWhatDoesNotFitBesideItIsMadeForEachDocument) {
    RunsRoot root;
    add_large_run(root, "big", 4'000);
    const ledger::RunPaths paths = paths_of(root, "big");

    // Everything the full detail keeps, and its conversations alone, as a cache that keeps it all
    // counts them.
    RunCache roomy({}, later_by(hour_ns));
    const store::SharedRun probe = store::blocking::open_run(roomy, paths);
    ASSERT_TRUE(probe);
    const std::string expected = document(roomy, paths, probe, true);
    EXPECT_EQ(expected, payload::run_detail(probe->view, true, nullptr, liveness));
    const std::uint64_t kept = probe->indexes.bytes();
    const std::uint64_t conversations = probe->indexes_of().conversations()->size();
    ASSERT_GT(conversations, kept / 2);

    // A bound with room beside the view for all of that but half the conversations' text.
    const std::uint64_t bound = probe->bytes + kept - conversations / 2;
    RunCache cache(RunCache::Bounds{.view_bytes = bound}, later_by(hour_ns));
    const store::SharedRun run = store::blocking::open_run(cache, paths);
    ASSERT_TRUE(run);
    const auto kept_within_the_bound = [&] {
        EXPECT_EQ(cache.figures().entries, 1u);
        EXPECT_LE(cache.figures().bytes, bound);
    };
    for (int request = 0; request < 2; ++request) {
        EXPECT_EQ(store::blocking::open_run(cache, paths), run);
        EXPECT_EQ(document(cache, paths, run, true), expected) << request;
        kept_within_the_bound();
    }
    EXPECT_EQ(cache.figures().replays, 1u);
    EXPECT_GT(run->indexes.bytes(), 0u);
    EXPECT_LT(run->indexes.bytes(), kept - conversations / 2);
    // The indexes are kept; the conversations are made again for each document.
    EXPECT_EQ(&run->indexes_of().journal(), &run->indexes_of().journal());
    const text::SharedText first = run->indexes_of().conversations();
    EXPECT_NE(first, run->indexes_of().conversations());
    EXPECT_EQ(*first, *run->indexes_of().conversations());

    // The whole-run timeline does not fit beside them either, and answers the same.
    EXPECT_EQ(document(cache, paths, run, false), payload::timeline(probe->view, std::nullopt));
    kept_within_the_bound();
}

}  // namespace
}  // namespace korvalle::testing
