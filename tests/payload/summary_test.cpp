// Run summaries of fixture runs, checked key by key and as written text.
#include "src/payload/summary.hpp"

#include "src/payload/vocabulary.hpp"

#include "sdk/base/json_write.hpp"
#include "sdk/run/liveness.hpp"
#include "sdk/run/views.hpp"
#include "tests/support/run_builder.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <map>

namespace korvalle::payload {
namespace {

using testing::Event;
using testing::RunBuilder;

const char* const plan_abc =
    R"({"plan":{"schema_version":1,"tasks":[{"id":"a"},{"id":"b","deps":["a"]},{"id":"c","deps":["b"]}]}})";

Event event(std::string kind, std::string ts = "2026-03-02T09:00:00.000Z", std::string labels = "{}",
            std::string payload = "{}") {
    return {.ts = std::move(ts), .kind = std::move(kind), .labels = std::move(labels), .payload = std::move(payload)};
}

class Summary : public ::testing::Test {
protected:
    views::RunView open(const RunBuilder& run) {
        auto loaded = views::RunView::open(ledger::RunPaths{run.id(), run.dir()});
        EXPECT_TRUE(loaded.ok());
        return std::move(loaded.value());
    }
    // Judged now, by a machine that is never the fixtures' launch host.
    static views::LivenessInputs liveness() { return {.this_host = "payload-test-host", .now_ms = views::now_ms()}; }
    boost::json::object summary(const RunBuilder& run) { return run_summary(open(run), nullptr, liveness()).as_object(); }
    std::string text(const RunBuilder& run) { return json::write(run_summary(open(run), nullptr, liveness())); }
    static std::string write(const boost::json::value& value) { return json::write(value); }

    // A run with the plan a -> b -> c, in round 1 (or between rounds after it).
    RunBuilder run_in_round(const std::string& id) {
        RunBuilder run = root_.run(id);
        run.launch()
            .event(event("run-started", "2026-03-02T09:00:00.000Z", "{}", plan_abc))
            .event(event("round-started", "2026-03-02T09:00:01.000Z", R"({"round":1})"))
            .event(event("node-dispatched", "2026-03-02T09:00:02.999Z", R"({"round":1,"node":"a"})"));
        return run;
    }
    RunBuilder run_between_rounds(const std::string& id) {
        RunBuilder run = run_in_round(id);
        run.event(event("node-settled", "2026-03-02T09:00:03.000Z", R"({"round":1,"node":"a"})",
                        R"({"status":"done","outcome":"merged"})"))
            .event(event("round-finished", "2026-03-02T09:00:04.000Z", R"({"round":1})"));
        return run;
    }

    testing::RunsRoot root_;
};

const char* const timing_without_telemetry =
    R"({"agent_seconds":null,"judge_seconds":null,"llmlint_seconds":null,"gate_seconds":null,)"
    R"("publication_wait_seconds":null,"lock_wait_seconds":null,"setup_seconds":null,)"
    R"("scheduling_seconds":null,"wall_seconds":null,"agent_model_ms":null,"judge_model_ms":null,)"
    R"("llmlint_model_ms":null,"tool_ms":null,"idle_orchestration_ms":null,"unattributed_ms":null,)"
    R"("wall_ms":null,"fractions":{"agent_model":null,"judge_model":null,"llmlint_model":null,"tool":null,)"
    R"("idle_orchestration":null,"lock_wait":null,"setup":null,"scheduling":null}})";

TEST_F(Summary, RunWithoutJournal) {
    RunBuilder run = root_.run("r-empty");
    run.launch();
    EXPECT_EQ(text(run),
              std::string(R"({"run_id":"r-empty","state":"active","phase":"starting","last_event":null,)"
                          R"("timing_quality":"legacy","linkage_quality":"labelled","timing":)") +
                  timing_without_telemetry +
                  R"(,"node_counts":{},"launch":{"launch_id":"r-empty","launcher":"codex","session_key":")" +
                  sha256_hex("sess-0001") + R"("}})");
}

TEST_F(Summary, RunDrivingARound) {
    RunBuilder run = run_in_round("r-round");
    auto s = summary(run);
    EXPECT_EQ(s.at("state"), "active");  // in a round, however old the last event
    EXPECT_EQ(s.at("phase"), "driving-round");
    EXPECT_EQ(s.at("last_event"), "node-dispatched");
    // 09:00:02.999 drops its milliseconds.
    EXPECT_EQ(write(s.at("last_progress_at")), "1772442002");
    EXPECT_EQ(s.at("timing_quality"), "partial");
    // Derived while in a round, even though a result file for the round exists.
    run.round_result(1, R"({"nodes":[{"id":"z","status":"done"}]})");
    EXPECT_EQ(write(summary(run).at("node_counts")), R"({"pending":2,"running":1})");
}

TEST_F(Summary, BetweenRoundsReadsTheResultFile) {
    RunBuilder run = run_between_rounds("r-result");
    run.round_result(1, R"({"ok":false,"nodes":[{"id":"b","status":"done","outcome":"x"},)"
                        R"({"id":"a","status":"failed","outcome":"first"},{"id":"x","status":"not-completed",)"
                        R"("outcome":3},{"id":"a","status":"done"},{"id":7,"status":"done"},{"status":"done"},"junk"]})");
    auto s = summary(run);
    EXPECT_EQ(s.at("phase"), "reviewing-results");
    EXPECT_EQ(s.at("timing_quality"), "complete");
    EXPECT_EQ(s.at("state"), "parked");  // the journal stopped moving long ago
    // The file is the authority: "x" is listed, "c" is not; the later "a" replaces status and
    // outcome alike.
    EXPECT_EQ(write(s.at("node_counts")), R"({"done":2,"not-completed":1})");
    EXPECT_EQ(recorded_statuses(open(run)),
              (Roster{{"a", {"done", std::nullopt}}, {"b", {"done", "x"}}, {"x", {"not-completed", std::nullopt}}}));
}

// A list counts a result file's statuses without a roster: its counts are the roster's (the run
// detail's), whatever the file repeats, leaves unusable or spells beyond ASCII.
TEST_F(Summary, ResultCountsAreThoseOfTheRoster) {
    int count = 0;
    for (const char* nodes : {R"([{"id":"b","status":"z"},{"id":"a","status":"\u00e9"},{"id":"c","status":"Z"}])",
                              R"([{"id":"a","status":"done"},{"id":"a","status":7},{"id":"b","status":"done"}])",
                              R"([{"id":"a","status":"x"},{"id":"b","status":"y"},{"id":"a","status":"y"}])",
                              R"([{"id":"\u00e9","status":"s"},{"id":"e","status":"s"},{"id":"\u00e9","status":"t"}])"}) {
        RunBuilder run = run_between_rounds("r-counts-" + std::to_string(++count));
        run.round_result(1, std::string(R"({"nodes":)") + nodes + "}");
        std::map<std::string, std::uint64_t> by_status;
        for (const auto& [id, recorded] : recorded_statuses(open(run))) ++by_status[recorded.status];
        boost::json::object expected;
        for (const auto& [status, n] : by_status) expected[status] = n;
        EXPECT_EQ(write(summary(run).at("node_counts")), write(expected)) << nodes;
    }
}

TEST_F(Summary, UnusableResultFilesFallBackToTheJournal) {
    // Derived: a done (recorded), b ready, c pending. Unreadable texts are read_json_file's
    // cases; here one of them, and readable files without a usable node.
    const std::string derived = R"({"done":1,"pending":1,"ready":1})";
    int count = 0;
    for (const char* content : {R"({"nodes":[{"id":"a","status":"done"})", R"({"nodes":[]})", R"({"nodes":{}})",
                                "[]", R"({"nodes":[{"id":"a"}]})", R"({"nodes":[1,null]})"}) {
        RunBuilder run = run_between_rounds("r-bad-" + std::to_string(++count));
        run.round_result(1, content);
        EXPECT_EQ(write(summary(run).at("node_counts")), derived) << content;
    }
    RunBuilder missing = run_between_rounds("r-missing");
    EXPECT_EQ(write(summary(missing).at("node_counts")), derived);

    RunBuilder directory = run_between_rounds("r-dir");
    std::filesystem::create_directories(directory.dir() / "round-01" / "result.json");
    EXPECT_EQ(write(summary(directory).at("node_counts")), derived);

    // A FIFO with no writer must not block the summary.
    RunBuilder fifo = run_between_rounds("r-fifo");
    std::filesystem::create_directories(fifo.dir() / "round-01");
    ASSERT_EQ(mkfifo((fifo.dir() / "round-01" / "result.json").c_str(), 0600), 0);
    EXPECT_EQ(write(summary(fifo).at("node_counts")), derived);
}

// The list reads each run's result file through the run's entry in the runs root it holds open:
// a decoy directory with a result file of its own, renamed in the run's place after the run was
// read, is never counted; the run renamed back is read again.
TEST_F(Summary, ADecoyInTheRunsPlaceIsNeverCounted) {
    RunBuilder run = run_between_rounds("r-swapped");
    run.round_result(1, R"({"nodes":[{"id":"a","status":"done"},{"id":"b","status":"failed"}]})");
    const SummaryFacts facts = SummaryFacts::of(open(run));
    testing::RunsRoot elsewhere;
    RunBuilder(elsewhere.path() / "decoy", "r-swapped").round_result(1, R"({"nodes":[{"id":"a","status":"decoy-status"}]})");
    int error = 0;
    const std::optional<files::Directory> runs_root = files::Directory::open(root_.path(), error);
    ASSERT_TRUE(runs_root);
    const auto counts = [&] {
        const SummaryMoment moment = SummaryMoment::of(facts, liveness(), &*runs_root);
        // Opened for the run alone, the runs root gives the same.
        EXPECT_EQ(SummaryMoment::of(facts, liveness()).result_counts, moment.result_counts);
        return moment.result_counts ? write(*moment.result_counts) : "derived";
    };
    EXPECT_EQ(counts(), R"({"done":1,"failed":1})");

    std::filesystem::rename(run.dir(), elsewhere.path() / "aside");
    std::filesystem::rename(elsewhere.path() / "decoy", run.dir());
    EXPECT_EQ(counts(), "derived");
    EXPECT_EQ(SummaryMoment::of(facts, liveness(), nullptr).result_counts, std::nullopt);  // no runs root, no file

    std::filesystem::rename(run.dir(), elsewhere.path() / "decoy");
    std::filesystem::rename(elsewhere.path() / "aside", run.dir());
    EXPECT_EQ(counts(), R"({"done":1,"failed":1})");
}

TEST_F(Summary, RosterInARoundIsDerivedWithOutcomes) {
    RunBuilder run = run_in_round("r-derived");
    run.event(event("node-settled", "2026-03-02T09:00:03.000Z", R"({"round":1,"node":"a"})",
                    R"({"status":"done","outcome":"merged"})"));
    EXPECT_EQ(recorded_statuses(open(run)),
              (Roster{{"a", {"done", "merged"}}, {"b", {"ready", std::nullopt}}, {"c", {"pending", std::nullopt}}}));
}

TEST_F(Summary, CurrentRoundWithoutResultFileIsNotReplacedByAnEarlierOne) {
    RunBuilder run = run_between_rounds("r-round-two");
    run.event(event("round-started", "2026-03-02T09:00:05.000Z", R"({"round":2})"))
        .event(event("round-finished", "2026-03-02T09:00:06.000Z", R"({"round":2})"));
    run.round_result(1, R"({"nodes":[{"id":"z","status":"done"}]})");
    // Round 2 emptied the recorded statuses: a is ready again.
    EXPECT_EQ(write(summary(run).at("node_counts")), R"({"pending":2,"ready":1})");
}

TEST_F(Summary, RoundZeroReadsRoundOne) {
    RunBuilder run = root_.run("r-zero");
    run.launch().event(event("run-started", "2026-03-02T09:00:00.000Z", "{}", plan_abc));
    run.round_result(1, R"({"nodes":[{"id":"q","status":"ready"}]})");
    auto s = summary(run);
    EXPECT_EQ(s.at("phase"), "starting");
    EXPECT_EQ(write(s.at("node_counts")), R"({"ready":1})");  // counted raw, not as "pending"
}

TEST_F(Summary, Phases) {
    RunBuilder stopped = run_in_round("r-stopped");
    stopped.event(event("run-stopped", "2026-03-02T09:00:05.000Z"))
        .event(event("round-started", "2026-03-02T09:00:06.000Z", R"({"round":2})"));
    auto s = summary(stopped);
    EXPECT_EQ(s.at("phase"), "finished");  // stopped wins over a round in progress
    EXPECT_EQ(s.at("state"), "driver-dead");

    RunBuilder surfacing = run_between_rounds("r-surface");
    for (int i = 0; i < 3; ++i) surfacing.event(event("planner-surface-queued", "2026-03-02T09:00:05.000Z"));
    for (int i = 0; i < 2; ++i) surfacing.event(event("planner-surfaced", "2026-03-02T09:00:06.000Z"));
    EXPECT_EQ(summary(surfacing).at("phase"), "surfacing");
    surfacing.event(event("planner-surfaced", "2026-03-02T09:00:07.000Z"));
    EXPECT_EQ(summary(surfacing).at("phase"), "reviewing-results");
}

TEST_F(Summary, UnparseableTimestampsGiveProgressZero) {
    RunBuilder run = root_.run("r-ts");
    run.launch().event(event("run-started", "yesterday", "{}", plan_abc))
        .event(event("quiet-worker", "yesterday, later"));  // sorts after the first
    auto s = summary(run);
    EXPECT_EQ(s.at("last_event"), "quiet-worker");
    EXPECT_EQ(write(s.at("last_progress_at")), "0");
}

TEST_F(Summary, LaunchBlock) {
    // The id is the run directory's; an unknown launcher word and an empty session show so.
    RunBuilder run = root_.run("r-launch");
    run.launch({.run_id = "someone-else", .launcher = "Codex", .session = ""});
    EXPECT_EQ(write(summary(run).at("launch")), R"({"launch_id":"r-launch","launcher":"unknown"})");
    // The session key hashes the session alone, whatever the launcher.
    RunBuilder claude = root_.run("r-claude");
    claude.launch({.launcher = "claude-code"});
    EXPECT_EQ(summary(claude).at("launch").at("session_key").as_string(), sha256_hex("sess-0001"));
}

}  // namespace
}  // namespace korvalle::payload
