// The run store in process: finding a run, the transcript interval, the error bodies, and the
// directory an artifact is read from.
#include "src/store/store.hpp"
#include "src/store/blocking.hpp"
#include "tests/support/server_fixture.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <filesystem>

namespace korvalle::testing {
namespace {

TEST(Store, FindRunMatchesTheIdExactly) {
    RunsRoot root;
    add_run(root, "Run-1", "2026-03-05T09:00:00.000Z");
    const auto store = store::RunStore::new_polling_every(root.path().string(), 500);
    auto found = store::blocking::find_run(store, *contract::RunId::make("Run-1"));
    ASSERT_TRUE(found.ok());
    EXPECT_EQ((*found)->id(), "Run-1");
    auto missing = store::blocking::find_run(store, *contract::RunId::make("run-1"));
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().body(),
              R"({"error":{"code":"run_not_found","message":"no recorded run run-1"}})");
    const auto elsewhere = store::RunStore::new_polling_every((root.path() / "gone").string(), 500);
    auto nowhere = store::blocking::find_run(elsewhere, *contract::RunId::make("Run-1"));
    EXPECT_FALSE(nowhere.ok());
}

// find_run opens one run by name; its answers are those of every run opened and searched.
TEST(Store, FindRunAnswersAsTheWholeListingWould) {
    RunsRoot root;
    add_run(root, "plain", "2026-03-05T09:00:00.000Z");
    root.run("broken").launch_text(R"({"run_id":"broken"})");
    root.run("no-launch").line("{}");
    std::filesystem::create_directories(root.path() / "dir-launch" / "launch.json");
    std::filesystem::create_directory_symlink(root.path() / "plain", root.path() / "linked");
    std::filesystem::create_directory_symlink(root.path() / "gone", root.path() / "dangling");
    write_file(root.path() / "file-run", "{}");
    const auto all = views::RunView::all(root.path());
    const auto store = store::RunStore::new_polling_every(root.path().string(), 500);
    for (const char* name : {"plain", "linked", "broken", "no-launch", "dir-launch", "dangling", "file-run", "absent"}) {
        auto found = store::blocking::find_run(store, *contract::RunId::make(name));
        const auto it = std::find_if(all.begin(), all.end(), [&](const auto& view) { return view.id() == name; });
        ASSERT_EQ(found.ok(), it != all.end()) << name;
        if (it == all.end()) continue;
        const auto& view = **found;
        EXPECT_EQ(view.paths.dir, it->paths.dir);
        EXPECT_TRUE(std::ranges::equal(view.envelopes, it->envelopes));
        EXPECT_EQ(view.launch, it->launch);
    }
    std::filesystem::remove_all(root.path() / "plain");
    EXPECT_FALSE(store::blocking::find_run(store, *contract::RunId::make("linked")).ok());
}

// A root of many runs has its kept records checked by several threads at once: a change to any
// run, from the first to the last, is on the next list, as a store that keeps nothing lists it.
TEST(Store, AWalkOverManyRunsSeesAChangeToAnyOfThem) {
    RunsRoot root;
    const auto id = [](int i) { return fmt::format("run-{:03}", i); };
    for (int i = 0; i < 300; ++i) add_run(root, id(i), "2026-03-05T09:00:00.000Z", false, true);
    const auto settled_at_once = [] { return store::RunCache::realtime_ns() + 3'600'000'000'000; };
    const auto kept = store::RunStore::new_polling_every(
        root.path().string(), 500, std::make_shared<store::RunCache>(store::RunCache::Bounds{}, settled_at_once));
    const auto fresh = store::RunStore::new_polling_every(
        root.path().string(), 500, std::make_shared<store::RunCache>(store::RunCache::keeping_nothing()));
    const auto list = [](const store::RunStore& store) {
        return json::write(store::blocking::run_list(store, store::RunsQuery{std::nullopt, 50, true}));
    };
    ASSERT_EQ(list(kept), list(fresh));
    for (int i : {0, 99, 100, 150, 201, 299}) {
        // An event newer than every unchanged run's puts the run on the first page.
        root.run(id(i)).event({.ts = fmt::format("2026-03-05T10:00:{:02}.000Z", i % 60), .kind = "round-finished",
                               .labels = R"({"round":1})", .payload = R"({"ok":true})"});
        EXPECT_EQ(list(kept), list(fresh)) << id(i);
    }
}

TEST(Store, TranscriptIntervalIsTenPollIntervalsAndSaturates) {
    EXPECT_EQ(store::RunStore::new_polling_every("r", 1234).transcript_poll_ms(), 12340u);
    EXPECT_EQ(store::RunStore::new_polling_every("r", UINT64_MAX).transcript_poll_ms(), UINT64_MAX);
}

TEST(Store, ErrorsCarryTheirStatusCodeAndEscapedMessage) {
    using error::ApiError;
    const std::tuple<ApiError, unsigned, std::string> cases[] = {
        {ApiError::conversation_not_found(*contract::RunId::make("s-1")), 404u,
         R"({"error":{"code":"conversation_not_found","message":"no recorded conversation s-1"}})"},
        {ApiError::invalid_dispatch_id("must x"), 422u,
         R"({"error":{"code":"invalid_dispatch_id","message":"invalid dispatch id: must x"}})"},
        {ApiError::projection_error("p"), 409u, R"({"error":{"code":"projection_error","message":"projection failed: p"}})"},
        {ApiError::invalid_node_id("must y"), 422u,
         R"({"error":{"code":"invalid_node_id","message":"invalid node id: must y"}})"},
        {ApiError::invalid_request("a \"q\" \\ \n é"), 422u,
         R"({"error":{"code":"invalid_request","message":"invalid request: a \"q\" \\ \n é"}})"},
    };
    for (const auto& [error, status, body] : cases) {
        EXPECT_EQ(error.status(), status) << body;
        EXPECT_EQ(error.body(), body);
    }
}

// The run's name is made to lead to another directory whose launch record and journal are the
// same files (hard links), so that they alone cannot tell: an artifact is read from the directory
// the name leads to now, never from the one a kept view was read from.
TEST(Store, AnArtifactComesFromTheDirectoryTheRunsNameLeadsToNow) {
    RunsRoot root;
    RunBuilder first(root.path() / "first", "r"), second(root.path() / "second", "r");
    first.launch().event({.kind = "node-settled", .labels = R"({"round":1,"node":"a"})",
                          .artifacts = R"([{"id":"report","kind":"report","bytes":1}])"});
    first.artifact("report", "the first directory's");
    second.artifact("report", "the second directory's");
    for (const char* file : {"launch.json", "events.jsonl"}) {
        std::filesystem::create_hard_link(first.dir() / file, second.dir() / file);
    }
    const std::filesystem::path runs = root.path() / "runs";
    std::filesystem::create_directories(runs);
    std::filesystem::create_directory_symlink(first.dir(), runs / "r");
    const auto store = store::RunStore::new_polling_every(
        runs.string(), 500, std::make_shared<store::RunCache>(store::RunCache::Bounds{}, [] {
            return store::RunCache::realtime_ns() + 3'600'000'000'000;
        }));
    const auto content = [&] {
        auto found = store::blocking::artifact(store, *contract::RunId::make("r"), *contract::RunId::make("report"));
        return found ? std::string(found->at("content").as_string()) : found.error().body();
    };
    EXPECT_EQ(content(), "the first directory's");
    std::filesystem::remove(runs / "r");
    std::filesystem::create_directory_symlink(second.dir(), runs / "r");
    EXPECT_EQ(content(), "the second directory's");
}

}  // namespace
}  // namespace korvalle::testing
