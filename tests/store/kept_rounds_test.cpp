// The run detail's round objects kept with a view: shared by the documents while the round files
// are unchanged, made again when one changes while the journal does not, kept only from files
// settled for two seconds, and made once for concurrent first requests.
#include "src/store/kept_rounds.hpp"
#include "src/store/blocking.hpp"

#include "src/store/store.hpp"
#include "tests/support/at_once.hpp"
#include "tests/support/server_fixture.hpp"

#include <atomic>

namespace korvalle::testing {
namespace {

using store::RunCache;

constexpr std::int64_t hour_ns = 3'600'000'000'000;

// A run driving round 2, round 1 finished with its plan and result files.
void two_rounds(RunsRoot& root) {
    auto run = root.run("r");
    run.launch();
    const std::string plan = R"({"plan":)" + plan_json + "}";
    run.event({.ts = "2026-03-05T09:00:00.000Z", .kind = "run-started", .labels = R"({"run_id":"r"})", .payload = plan});
    run.event({.ts = "2026-03-05T09:00:01.000Z", .kind = "round-started", .labels = R"({"run_id":"r","round":1})",
               .payload = plan});
    run.event({.ts = "2026-03-05T09:00:02.000Z", .kind = "round-finished", .labels = R"({"run_id":"r","round":1})",
               .payload = R"({"ok":true})"});
    run.event({.ts = "2026-03-05T09:00:03.000Z", .kind = "round-started", .labels = R"({"run_id":"r","round":2})",
               .payload = plan});
    run.round_plan(1, plan_json).round_result(1, R"({"ok":true,"nodes":[{"id":"build","status":"done"}]})");
}

// The test's pipeline tool.
store::Settings fake_tool() { return {.telemetry_program = fake_tool_binary().string()}; }

// A store over the root whose cache reads the clock ahead by ahead_ns.
store::RunStore store_of(const RunsRoot& root, std::int64_t ahead_ns) {
    return store::RunStore::new_polling_every(
        root.path().string(), 500,
        std::make_shared<RunCache>(RunCache::Bounds{}, [ahead_ns] { return RunCache::realtime_ns() + ahead_ns; }),
        fake_tool());
}

// A run detail in fragments, and the fragment that is round n's object (none: no such fragment).
struct Answer {
    std::string text;
    std::shared_ptr<const void> round_owner;
};

Answer detail(const store::RunStore& store, std::uint64_t round) {
    const text::Fragments fragments = *store::blocking::run(store, *contract::RunId::make("r"), true);
    const std::string head = R"({"run_id":"r","round":)" + std::to_string(round) + ",";
    Answer answer{text::joined(fragments), nullptr};
    for (const text::Fragment& fragment : fragments)
        if (fragment.bytes.starts_with(head)) answer.round_owner = fragment.owner;
    return answer;
}

TEST(KeptRounds, SharedWhileTheirFilesAreUnchangedAndMadeAgainWhenOneChanges) {
    RunsRoot root;
    two_rounds(root);
    const auto fresh = store::RunStore::new_polling_every(root.path().string(), 500,
                                                          std::make_shared<RunCache>(RunCache::keeping_nothing()), fake_tool());
    const auto expected = [&] { return text::joined(*store::blocking::run(fresh, *contract::RunId::make("r"), true)); };
    const store::RunStore kept = store_of(root, hour_ns);

    const Answer first = detail(kept, 1);
    ASSERT_NE(first.round_owner, nullptr);
    EXPECT_PRED_FORMAT2(same_document, first.text, expected());
    const Answer again = detail(kept, 1);
    EXPECT_EQ(again.round_owner, first.round_owner);  // the object is shared, not made again
    EXPECT_EQ(again.text, first.text);

    // Each change of a round file, the journal as it was: the next document shows it.
    const auto changed = [&](std::uint64_t round) {
        const Answer answer = detail(kept, round);
        EXPECT_PRED_FORMAT2(same_document, answer.text, expected());
        return answer;
    };
    std::this_thread::sleep_for(std::chrono::milliseconds(15));  // a tick of the file times on
    root.run("r").round_result(1, R"({"ok":false,"nodes":[{"id":"build","status":"failed"}]})");
    EXPECT_NE(changed(1).round_owner, first.round_owner);
    std::filesystem::remove(root.path() / "r" / "round-01" / "result.json");
    changed(1);
    root.run("r").round_plan(1, "not a plan");  // round 1 is shown no more
    EXPECT_EQ(changed(1).round_owner, nullptr);
    // The round being driven: its result file written later.
    const Answer driven = detail(kept, 2);
    ASSERT_NE(driven.round_owner, nullptr);
    root.run("r").round_result(2, R"({"ok":true,"state":"complete","nodes":[{"id":"build","status":"done"}]})");
    EXPECT_NE(changed(2).round_owner, driven.round_owner);
}

TEST(KeptRounds, ObjectsReadFromFilesChangedWithinTwoSecondsAreNotKept) {
    RunsRoot root;
    two_rounds(root);
    const store::RunStore early = store_of(root, 1'000'000'000);
    EXPECT_NE(detail(early, 1).round_owner, detail(early, 1).round_owner);
    const store::RunStore settled = store_of(root, 3'000'000'000);
    EXPECT_EQ(detail(settled, 1).round_owner, detail(settled, 1).round_owner);
}

// Concurrent first requests: one makes each object and every other takes that one.
TEST(KeptRounds, ConcurrentFirstRequestsMakeEachObjectOnce) {
    store::KeptRoom room;
    store::KeptTexts texts;
    store::KeptRounds rounds(room, texts);
    std::atomic<int> made{0};
    const auto make = [&] {
        ++made;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        auto object = std::make_shared<payload::RoundObject>();
        object->text = std::make_shared<const std::string>("{}");
        return store::KeptRounds::Object(std::move(object));
    };
    const std::vector<const void*> got =
        at_once(16, [&](int i) -> const void* { return rounds.get(i % 2, RunCache::realtime_ns(), make).get(); });
    EXPECT_EQ(made.load(), 2);
    for (int i = 2; i < 16; ++i) EXPECT_EQ(got[static_cast<std::size_t>(i)], got[static_cast<std::size_t>(i % 2)]);
    EXPECT_GT(room.bytes(), 0u);

    // The same through the store: every kept part of the run's view, round objects included, is
    // made once and shared by all the answers.
    RunsRoot root;
    two_rounds(root);
    const store::RunStore store = store_of(root, hour_ns);
    const std::vector<Answer> answers = at_once(16, [&](int) { return detail(store, 1); });
    for (const Answer& answer : answers) {
        EXPECT_EQ(answer.text, answers.front().text);
        EXPECT_EQ(answer.round_owner, answers.front().round_owner);
    }
}

}  // namespace
}  // namespace korvalle::testing
