// Parties of journal envelopes, turn duration sums and the timing block.
#include "src/payload.hpp"

#include "sdk/json.hpp"
#include "sdk/views.hpp"
#include "tests/support/run_builder.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace korvalle::payload {
namespace {

using testing::Event;

constexpr std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();

// The envelopes of a run whose journal holds the given events, as the replay reads them.
std::vector<event::Envelope> envelopes_of(const std::vector<Event>& events) {
    testing::RunsRoot root;
    testing::RunBuilder run = root.run("r");
    run.launch();
    for (const Event& e : events) run.event(e);
    auto loaded = views::RunView::open(ledger::RunPaths{run.id(), run.dir()});
    EXPECT_TRUE(loaded.ok());
    return loaded.ok() ? std::move(loaded.value().envelopes) : std::vector<event::Envelope>{};
}

Event turn(std::string payload, std::string labels = "{}", std::string kind = "turn-completed",
           std::string source = "morvane") {
    Event event;
    event.source = std::move(source);
    event.kind = std::move(kind);
    event.stream = "agent";
    event.labels = std::move(labels);
    event.payload = std::move(payload);
    return event;
}

TEST(PartyOf, FirstMatchingSourceDecides) {
    auto envelopes = envelopes_of({
        turn(R"({"role":"reviewer"})", R"({"role":"judge","persona":"llmlint"})"),
        turn(R"({"role":1})", R"({"persona":"llmlint"})"),
        turn("{}", R"({"role":"Judge","member":"agent","persona":"judge"})"),
        turn(R"({"role":"llmlint"})", R"({"role":"judge"})"),
        turn(R"({"x":1})", R"({"member":7,"persona":"worker"})"),
    });
    ASSERT_EQ(envelopes.size(), 5u);
    EXPECT_EQ(party_of(envelopes[0]), Party::Judge);
    EXPECT_EQ(party_of(envelopes[1]), Party::Llmlint);
    EXPECT_EQ(party_of(envelopes[2]), Party::Agent);
    EXPECT_EQ(party_of(envelopes[3]), Party::Llmlint);
    EXPECT_EQ(party_of(envelopes[4]), std::nullopt);
}

TEST(SumTurnDurations, AddsCompletedTurnsPerParty) {
    auto totals = sum_turn_durations(envelopes_of({
        turn(R"({"usage":{"duration":1.5}})"),
        turn(R"({"usage":{"duration":0.0004}})"),
        turn(R"({"usage":{"duration":2}})", R"({"persona":"judge"})"),
        turn(R"({"usage":{"duration":1.9996},"role":"llmlint"})"),
        turn(R"({"usage":{"duration":-0.0},"role":"llmlint"})"),
        turn(R"({"role":"llmlint"})", "{}", "turn-interrupted"),
        turn(R"({"role":"llmlint"})", "{}", "turn-activity"),
        turn(R"({"usage":{"duration":9},"role":"llmlint"})", "{}", "turn-completed", "pipeline"),
        turn(R"({"usage":{"duration":9}})", "{}", "turn-completed", "vcs"),
    }));
    EXPECT_EQ(totals.agent_ms, 1500u);
    EXPECT_EQ(totals.judge_ms, 2000u);
    EXPECT_EQ(totals.llmlint_ms, 1999u);
    EXPECT_EQ(totals.tool_ms, std::nullopt);
    EXPECT_EQ(totals.llmlint_events, 3u);
}

TEST(SumTurnDurations, IgnoresMalformedUsage) {
    auto totals = sum_turn_durations(envelopes_of({
        turn(R"({"usage":{"duration":-1}})"),
        turn(R"({"usage":{"duration":"2"}})"),
        turn(R"({"usage":{"duration":null}})"),
        turn(R"({"usage":[1]})"),
        turn(R"({"usage":"x"})"),
        turn(R"({})"),
        turn(R"({"usage":{"duration":true}})"),
    }));
    EXPECT_EQ(totals, TurnDurations{});
}

TEST(SumTurnDurations, SaturatesInsteadOfWrapping) {
    auto totals = sum_turn_durations(envelopes_of({
        turn(R"({"usage":{"duration":1e300}})"),
        turn(R"({"usage":{"duration":1e300}})"),
        turn(R"({"usage":{"duration":18446744073709551615}})"),
        turn(R"({"usage":{"duration":1}})"),
    }));
    EXPECT_EQ(totals.agent_ms, u64_max);
}

TurnDurations sums(std::optional<std::uint64_t> agent, std::optional<std::uint64_t> judge = std::nullopt,
                   std::optional<std::uint64_t> llmlint = std::nullopt) {
    TurnDurations durations;
    durations.agent_ms = agent;
    durations.judge_ms = judge;
    durations.llmlint_ms = llmlint;
    return durations;
}

std::string block(const telemetry::RunTelemetry* telemetry, const TurnDurations& durations) {
    return json::write(telemetry_breakdown(telemetry, durations));
}

TEST(TelemetryBreakdown, WithoutTelemetryKeepsJournalSums) {
    EXPECT_EQ(block(nullptr, sums(1200, std::nullopt, 0)),
              R"({"agent_seconds":null,"judge_seconds":null,"llmlint_seconds":null,"gate_seconds":null,)"
              R"("publication_wait_seconds":null,"lock_wait_seconds":null,"setup_seconds":null,)"
              R"("scheduling_seconds":null,"wall_seconds":null,"agent_model_ms":1200,"judge_model_ms":null,)"
              R"("llmlint_model_ms":0,"tool_ms":null,"idle_orchestration_ms":null,"unattributed_ms":null,)"
              R"("wall_ms":null,"fractions":{"agent_model":null,"judge_model":null,"llmlint_model":null,)"
              R"("tool":null,"idle_orchestration":null,"lock_wait":null,"setup":null,"scheduling":null}})");
}

TEST(TelemetryBreakdown, BucketsSecondsAndShares) {
    telemetry::RunTelemetry t;
    t.wall_ms = 10000;
    t.agent_ms = 4000;
    t.judge_ms = 3999;
    t.setup_ms = 5000;
    EXPECT_EQ(block(&t, sums(20000, 2500)),
              R"({"agent_seconds":4,"judge_seconds":3,"llmlint_seconds":null,"gate_seconds":null,)"
              R"("publication_wait_seconds":null,"lock_wait_seconds":null,"setup_seconds":5,)"
              R"("scheduling_seconds":null,"wall_seconds":10,"agent_model_ms":20000,"judge_model_ms":2500,)"
              R"("llmlint_model_ms":null,"tool_ms":null,"idle_orchestration_ms":null,"unattributed_ms":0,)"
              R"("wall_ms":10000,"fractions":{"agent_model":2.0,"judge_model":0.25,"llmlint_model":null,)"
              R"("tool":null,"idle_orchestration":null,"lock_wait":null,"setup":0.5,"scheduling":null}})");
}

TEST(TelemetryBreakdown, UnattributedAndZeroWall) {
    telemetry::RunTelemetry t;
    t.wall_ms = 3000;
    t.lock_wait_ms = 1000;
    t.scheduling_ms = 0;
    auto b = telemetry_breakdown(&t, {});
    EXPECT_EQ(json::write(b.at("unattributed_ms")), "2000");
    EXPECT_EQ(json::write(b.at("fractions").at("lock_wait")), "0.3333333333333333");
    EXPECT_EQ(json::write(b.at("fractions").at("scheduling")), "0.0");

    t.wall_ms = 0;
    b = telemetry_breakdown(&t, sums(1200));
    EXPECT_EQ(json::write(b.at("fractions").at("agent_model")), "0.0");
    EXPECT_EQ(json::write(b.at("fractions").at("lock_wait")), "0.0");
    EXPECT_EQ(json::write(b.at("unattributed_ms")), "0");
    EXPECT_EQ(json::write(b.at("wall_seconds")), "0");

    // Tool time has no share, whatever the sums say.
    TurnDurations with_tool;
    with_tool.tool_ms = 5;
    t.wall_ms = 10;
    EXPECT_EQ(json::write(telemetry_breakdown(&t, with_tool).at("fractions").at("tool")), "null");
}

TEST(TelemetryBreakdown, BucketSumSaturates) {
    telemetry::RunTelemetry t;
    t.wall_ms = u64_max;
    t.agent_ms = u64_max;
    t.judge_ms = 5;
    auto b = telemetry_breakdown(&t, {});
    EXPECT_EQ(json::write(b.at("unattributed_ms")), "0");  // not wall - 4
    EXPECT_EQ(json::write(b.at("wall_ms")), "18446744073709551615");
}

}  // namespace
}  // namespace korvalle::payload
