// Parties of journal envelopes, turn duration sums and the timing block.
#include "src/payload/timing.hpp"

#include "sdk/journal/event.hpp"
#include "sdk/base/json_write.hpp"
#include "tests/support/run_builder.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <tuple>

namespace korvalle::payload {
namespace {

constexpr std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();

// An agent-stream envelope as the journal reader reads it.
event::Envelope turn(std::string payload, std::string labels = "{}", std::string kind = "turn-completed",
                     std::string source = "morvane") {
    auto read = event::read_envelope(testing::envelope_line(
        {.source = source, .kind = kind, .stream = "agent", .seq = 1, .labels = labels, .payload = payload}));
    EXPECT_TRUE(read.ok()) << message(read.error());
    return read.ok() ? *read : event::Envelope{};
}

TEST(PartyOf, FirstMatchingSourceDecides) {
    // Payload role, then label role, label member, persona label; only exact words count.
    const std::tuple<const char*, const char*, std::optional<Party>> cases[] = {
        {R"({"role":"reviewer"})", R"({"role":"judge","persona":"llmlint"})", Party::Judge},
        {R"({"role":1})", R"({"persona":"llmlint"})", Party::Llmlint},
        {"{}", R"({"role":"Judge","member":"agent","persona":"judge"})", Party::Agent},
        {R"({"role":"llmlint"})", R"({"role":"judge"})", Party::Llmlint},
        {R"({"x":1})", R"({"member":7,"persona":"worker"})", std::nullopt},
    };
    for (const auto& [payload, labels, party] : cases) EXPECT_EQ(party_of(turn(payload, labels)), party) << labels;
}

TEST(SumTurnDurations, AddsCompletedTurnsPerParty) {
    auto totals = sum_turn_durations(std::vector<event::Envelope>{
        turn(R"({"usage":{"duration":1.5}})"),
        turn(R"({"usage":{"duration":0.0004}})"),
        turn(R"({"usage":{"duration":2}})", R"({"persona":"judge"})"),
        turn(R"({"usage":{"duration":1.9996},"role":"llmlint"})"),
        turn(R"({"usage":{"duration":-0.0},"role":"llmlint"})"),
        turn(R"({"role":"llmlint"})", "{}", "turn-interrupted"),
        turn(R"({"role":"llmlint"})", "{}", "turn-activity"),
        turn(R"({"usage":{"duration":9},"role":"llmlint"})", "{}", "turn-completed", "pipeline"),
        turn(R"({"usage":{"duration":9}})", "{}", "turn-completed", "vcs"),
    });
    EXPECT_EQ(totals.agent_ms, 1500u);
    EXPECT_EQ(totals.judge_ms, 2000u);
    EXPECT_EQ(totals.llmlint_ms, 1999u);
    EXPECT_EQ(totals.tool_ms, std::nullopt);
    EXPECT_EQ(totals.llmlint_events, 3u);

    // A malformed usage adds nothing, and does not make a sum of 0 appear.
    for (const char* payload : {R"({"usage":{"duration":-1}})", R"({"usage":{"duration":"2"}})",
                                R"({"usage":{"duration":null}})", R"({"usage":{"duration":true}})",
                                R"({"usage":[1]})", R"({"usage":"x"})", "{}"})
        EXPECT_EQ(sum_turn_durations(std::vector<event::Envelope>{turn(payload)}), TurnDurations{}) << payload;
}

TEST(SumTurnDurations, SaturatesInsteadOfWrapping) {
    auto totals = sum_turn_durations(std::vector<event::Envelope>{
        turn(R"({"usage":{"duration":1e300}})"),
        turn(R"({"usage":{"duration":1e300}})"),
        turn(R"({"usage":{"duration":18446744073709551615}})"),
        turn(R"({"usage":{"duration":1}})"),
    });
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

std::string at(const boost::json::object& block, std::string_view key) { return json::write(block.at(key)); }

TEST(TelemetryBreakdown, WithoutTelemetryKeepsJournalSums) {
    auto b = telemetry_breakdown(nullptr, sums(1200, std::nullopt, 0));
    EXPECT_EQ(at(b, "agent_model_ms"), "1200");
    EXPECT_EQ(at(b, "judge_model_ms"), "null");
    EXPECT_EQ(at(b, "llmlint_model_ms"), "0");  // a sum of zero is not an absent sum
    EXPECT_EQ(at(b, "unattributed_ms"), "null");
}

TEST(TelemetryBreakdown, BucketsSecondsAndShares) {
    telemetry::RunTelemetry t;
    t.wall_ms = 10000;
    t.agent_ms = 4000;
    t.judge_ms = 3999;
    t.setup_ms = 5000;
    // Seconds are floored; the model share may exceed one and keeps its ".0".
    EXPECT_EQ(json::write(telemetry_breakdown(&t, sums(20000, 2500))),
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
    EXPECT_EQ(at(b, "unattributed_ms"), "2000");
    EXPECT_EQ(at(b.at("fractions").as_object(), "lock_wait"), "0.3333333333333333");
    EXPECT_EQ(at(b.at("fractions").as_object(), "scheduling"), "0.0");

    t.wall_ms = 0;
    b = telemetry_breakdown(&t, sums(1200));
    EXPECT_EQ(at(b.at("fractions").as_object(), "agent_model"), "0.0");
    EXPECT_EQ(at(b.at("fractions").as_object(), "lock_wait"), "0.0");
    EXPECT_EQ(at(b, "unattributed_ms"), "0");
    EXPECT_EQ(at(b, "wall_seconds"), "0");

    // Tool time has no share, whatever the sums say.
    TurnDurations with_tool;
    with_tool.tool_ms = 5;
    t.wall_ms = 10;
    EXPECT_EQ(at(telemetry_breakdown(&t, with_tool).at("fractions").as_object(), "tool"), "null");
}

TEST(TelemetryBreakdown, BucketSumSaturates) {
    telemetry::RunTelemetry t;
    t.wall_ms = u64_max;
    t.agent_ms = u64_max;
    t.judge_ms = 5;
    auto b = telemetry_breakdown(&t, {});
    EXPECT_EQ(at(b, "unattributed_ms"), "0");  // not wall - 4
    EXPECT_EQ(at(b, "wall_ms"), "18446744073709551615");
}

}  // namespace
}  // namespace korvalle::payload
