// Summaries of the demo runs root under examples/, as a run list shows them.
#include "src/payload.hpp"

#include "sdk/json.hpp"
#include "sdk/views.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>

namespace korvalle::payload {
namespace {

const std::filesystem::path demo_root = std::filesystem::path(KORVALLE_SOURCE_DIR) / "examples" / "runs";

const std::string no_telemetry_head =
    R"({"agent_seconds":null,"judge_seconds":null,"llmlint_seconds":null,"gate_seconds":null,)"
    R"("publication_wait_seconds":null,"lock_wait_seconds":null,"setup_seconds":null,)"
    R"("scheduling_seconds":null,"wall_seconds":null,)";
const std::string no_telemetry_tail =
    R"("judge_model_ms":null,"llmlint_model_ms":null,"tool_ms":null,"idle_orchestration_ms":null,)"
    R"("unattributed_ms":null,"wall_ms":null,"fractions":{"agent_model":null,"judge_model":null,)"
    R"("llmlint_model":null,"tool":null,"idle_orchestration":null,"lock_wait":null,"setup":null,)"
    R"("scheduling":null}})";

std::string timing_without_telemetry(const std::string& agent_model_ms) {
    return no_telemetry_head + R"("agent_model_ms":)" + agent_model_ms + "," + no_telemetry_tail;
}

class DemoSummaries : public ::testing::Test {
protected:
    void SetUp() override {
        // No demo run was launched on this machine, and the default parking threshold holds.
        ::setenv("HOSTNAME", "a-reader-of-the-demo", 1);
        ::unsetenv("KORVALLE_PARKED_AFTER_SECONDS");
        views_ = views::RunView::all(demo_root);
        ASSERT_EQ(views_.size(), 4u);
    }
    std::string summary(std::string_view id,
                        std::shared_ptr<const telemetry::RunTelemetry> telemetry = nullptr) const {
        for (const auto& view : views_)
            if (view.id() == id) return json::write(run_summary(view, telemetry));
        throw std::runtime_error("no demo run " + std::string(id));
    }

    std::vector<views::RunView> views_;
};

TEST_F(DemoSummaries, SettledRunCountsItsResultFile) {
    EXPECT_EQ(summary("2026-03-02-docs-refresh"),
              R"({"run_id":"2026-03-02-docs-refresh","state":"settled","phase":"reviewing-results",)"
              R"("last_event":"round-finished","last_progress_at":1772442978,"timing_quality":"complete",)"
              R"("linkage_quality":"labelled","timing":)" +
                  timing_without_telemetry("94900") +
                  R"(,"node_counts":{"done":3},"launch":{"launch_id":"2026-03-02-docs-refresh",)"
                  R"("launcher":"claude-code","session_key":"07bdf6fe99ba"}})");
}

TEST_F(DemoSummaries, SettledRunWithTelemetry) {
    auto t = std::make_shared<telemetry::RunTelemetry>();
    t->agent_ms = 94900;
    t->gate_ms = 10000;
    t->publication_wait_ms = 5000;
    t->lock_wait_ms = 0;
    t->setup_ms = 20000;
    t->scheduling_ms = 4900;
    t->wall_ms = 189800;
    EXPECT_EQ(summary("2026-03-02-docs-refresh", t),
              R"({"run_id":"2026-03-02-docs-refresh","state":"settled","phase":"reviewing-results",)"
              R"("last_event":"round-finished","last_progress_at":1772442978,"timing_quality":"complete",)"
              R"("linkage_quality":"labelled","timing":{"agent_seconds":94,"judge_seconds":null,)"
              R"("llmlint_seconds":null,"gate_seconds":10,"publication_wait_seconds":5,"lock_wait_seconds":0,)"
              R"("setup_seconds":20,"scheduling_seconds":4,"wall_seconds":189,"agent_model_ms":94900,)"
              R"("judge_model_ms":null,"llmlint_model_ms":null,"tool_ms":null,"idle_orchestration_ms":null,)"
              R"("unattributed_ms":55000,"wall_ms":189800,"fractions":{"agent_model":0.5,"judge_model":null,)"
              R"("llmlint_model":null,"tool":null,"idle_orchestration":null,"lock_wait":0.0,)"
              R"("setup":0.1053740779768177,"scheduling":0.025816649104320338}},"node_counts":{"done":3},)"
              R"("launch":{"launch_id":"2026-03-02-docs-refresh","launcher":"claude-code",)"
              R"("session_key":"07bdf6fe99ba"}})");
}

TEST_F(DemoSummaries, ActiveRunDerivesItsRoster) {
    EXPECT_EQ(summary("2026-03-05-orders-migration"),
              R"({"run_id":"2026-03-05-orders-migration","state":"active","phase":"driving-round",)"
              R"("last_event":"turn-activity","last_progress_at":1772715931,"timing_quality":"partial",)"
              R"("linkage_quality":"labelled","timing":)" +
                  timing_without_telemetry("123600") +
                  R"(,"node_counts":{"blocked":1,"running":1,"waiting":1},)"
                  R"("launch":{"launch_id":"2026-03-05-orders-migration","launcher":"codex",)"
                  R"("session_key":"775df17175d5"}})");

    // A share above one is written as it is, and integral shares keep their ".0".
    auto t = std::make_shared<telemetry::RunTelemetry>();
    t->wall_ms = 60000;
    auto timing = json::parse(summary("2026-03-05-orders-migration", t)).value->at("timing");
    EXPECT_EQ(json::write(timing.at("fractions").at("agent_model")), "2.06");
    t->wall_ms = 61800;
    timing = json::parse(summary("2026-03-05-orders-migration", t)).value->at("timing");
    EXPECT_EQ(json::write(timing.at("fractions").at("agent_model")), "2.0");
    EXPECT_EQ(json::write(timing.at("unattributed_ms")), "61800");
}

TEST_F(DemoSummaries, FailedRunCountsResultWordsAsWritten) {
    EXPECT_EQ(summary("2026-03-06-billing-export"),
              R"({"run_id":"2026-03-06-billing-export","state":"parked","phase":"reviewing-results",)"
              R"("last_event":"round-finished","last_progress_at":1772785934,"timing_quality":"complete",)"
              R"("linkage_quality":"labelled","timing":)" +
                  timing_without_telemetry("41200") +
                  R"(,"node_counts":{"blocked":1,"failed":1,"skipped":2},)"
                  R"("launch":{"launch_id":"2026-03-06-billing-export","launcher":"claude-code",)"
                  R"("session_key":"e3296516e4eb"}})");
}

TEST_F(DemoSummaries, StoppedRunWithoutResultFile) {
    EXPECT_EQ(summary("2026-03-07-flaky-ci-triage"),
              R"({"run_id":"2026-03-07-flaky-ci-triage","state":"driver-dead","phase":"finished",)"
              R"("last_event":"run-stopped","last_progress_at":1772923710,"timing_quality":"complete",)"
              R"("linkage_quality":"labelled","timing":)" +
                  timing_without_telemetry("41200") +
                  R"(,"node_counts":{"pending":1,"running":1},)"
                  R"("launch":{"launch_id":"2026-03-07-flaky-ci-triage","launcher":"codex",)"
                  R"("session_key":"17b6730f182c"}})");
}

}  // namespace
}  // namespace korvalle::payload
