// Each byte counted once, where it lives: the texts kept with a run's view, sent by any number of
// documents, are counted by the cache's bound and by no answer; once the cache lets the view go,
// whichever way, the answers' budget counts each text still held, once for all its readers, until
// the last of them lets go.
#include "src/store/kept_texts.hpp"

#include "src/store/blocking.hpp"
#include "tests/support/server_fixture.hpp"

#include <functional>
#include <set>

namespace korvalle::testing {
namespace {

using store::RunCache;

// Two runs alike, each of one conversation of 40 turns of 50 kB: a run detail of about 2 MB.
struct Runs {
    Runs() {
        for (const char* id : {"a", "b"}) {
            add_run(root, id, "2026-03-05T09:00:00.000Z");
            const std::string turn = R"({"message":")" + std::string(50'000, 'm') + R"("})";
            const std::string labels =
                R"({"run_id":")" + std::string(id) + R"(","node":"build","round":1,"session":"s"})";
            auto run = root.run(id);
            for (int i = 0; i < 40; ++i)
                run.event({.ts = "2026-03-05T09:00:01.000Z", .source = "morvane", .kind = "turn-completed",
                           .seq = 100 + static_cast<std::uint64_t>(i), .labels = labels, .payload = turn});
        }
    }

    // A store whose cache has these bounds, counts the texts it lets go in answers, and takes every
    // file for settled (its clock an hour ahead), so that a view answers until its files change.
    store::RunStore store(RunCache::Bounds bounds, std::shared_ptr<store::MemoryBudget> answers) const {
        auto cache = std::make_shared<RunCache>(bounds, [] { return RunCache::realtime_ns() + 3'600'000'000'000; });
        cache->count_let_go_texts_in(std::move(answers));
        return store::RunStore::new_polling_every(root.path().string(), 500, std::move(cache),
                                                  {.telemetry_program = fake_tool_binary().string()});
    }

    RunsRoot root;
};

text::Fragments detail(const store::RunStore& store, const char* id) {
    return *store::blocking::run(store, *contract::RunId::make(id), true);
}

// The bytes the texts kept in these documents are counted for, each text once.
std::uint64_t kept_text_bytes(const std::vector<text::Fragments>& documents) {
    std::set<const void*> texts;
    std::uint64_t bytes = 0;
    for (const text::Fragments& document : documents) {
        for (const text::Fragment& fragment : document) {
            if (store::kept_bytes({fragment}) == 0 || !texts.insert(fragment.owner.get()).second) continue;
            bytes += store::KeptTexts::bytes_of(*static_cast<const std::string*>(fragment.owner.get()));
        }
    }
    return bytes;
}

TEST(KeptTexts, CountedOnceByTheCacheThenByTheAnswersWhileReadersHoldThemAfterTheCacheLetsGo) {
    Runs runs;
    // What the view of a and its kept parts take of the cache's bound: a bound a quarter larger
    // keeps a, but not a and b.
    const std::uint64_t one_view = [&] {
        const store::RunStore probe = runs.store({}, nullptr);
        detail(probe, "a");
        return probe.run_cache().figures().bytes;
    }();
    struct Way {
        const char* name;
        RunCache::Bounds bounds;
        std::function<void(const store::RunStore&)> let_go;
    };
    const std::vector<Way> ways = {
        {"no longer listed", {}, [](const store::RunStore& store) { store.run_cache().keep_only({}); }},
        {"evicted by another view", {.view_bytes = one_view + one_view / 4},
         [](const store::RunStore& store) { detail(store, "b"); }},
        {"replaced by the view read on", {},
         [&](const store::RunStore& store) {
             runs.root.run("a").event({.ts = "2026-03-05T09:00:02.000Z", .kind = "round-finished", .seq = 1000,
                                       .labels = R"({"run_id":"a","round":1})", .payload = R"({"ok":true})"});
             detail(store, "a");
         }},
    };
    for (const Way& way : ways) {
        SCOPED_TRACE(way.name);
        const auto answers = store::MemoryBudget::make(std::uint64_t{1} << 30);
        const store::RunStore store = runs.store(way.bounds, answers);
        std::vector<text::Fragments> readers;
        for (int i = 0; i < 8; ++i) readers.push_back(detail(store, "a"));
        // The readers share the texts kept with the view, and the cache counts them.
        const std::uint64_t kept = kept_text_bytes(readers);
        EXPECT_GT(kept, 2'000'000u);
        EXPECT_EQ(kept_text_bytes({readers.front()}), kept);
        EXPECT_GE(store.run_cache().figures().bytes, kept);
        EXPECT_EQ(answers->figures().held, 0u);

        way.let_go(store);
        // The answers' budget counts them once, however many readers send them, until the last
        // lets go.
        EXPECT_EQ(answers->figures().held, kept);
        while (readers.size() > 1) {
            readers.pop_back();
            EXPECT_EQ(answers->figures().held, kept);
        }
        readers.clear();
        EXPECT_EQ(answers->figures().held, 0u);
    }
}

}  // namespace
}  // namespace korvalle::testing
