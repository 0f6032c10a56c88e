// Summaries of the demo runs root under examples/, as a run list shows them.
#include "src/payload/summary.hpp"

#include "sdk/base/json_write.hpp"
#include "sdk/run/liveness.hpp"
#include "sdk/run/views.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>

namespace korvalle::payload {
namespace {

const std::filesystem::path demo_root = std::filesystem::path(KORVALLE_SOURCE_DIR) / "examples" / "runs";

struct Expected {
    std::string id, state, phase, last_event, last_progress_at, timing_quality, timing, node_counts, launcher,
        session_key;
};

// Written text of a summary, keys in document order.
std::string text(const Expected& e) {
    return R"({"run_id":")" + e.id + R"(","state":")" + e.state + R"(","phase":")" + e.phase +
           R"(","last_event":")" + e.last_event + R"(","last_progress_at":)" + e.last_progress_at +
           R"(,"timing_quality":")" + e.timing_quality + R"(","linkage_quality":"labelled","timing":)" + e.timing +
           R"(,"node_counts":)" + e.node_counts + R"(,"launch":{"launch_id":")" + e.id + R"(","launcher":")" +
           e.launcher + R"(","session_key":")" + e.session_key + R"("}})";
}

// The timing block without telemetry: only the journal's agent model time is known.
std::string timing_without_telemetry(const std::string& agent_model_ms) {
    return R"({"agent_seconds":null,"judge_seconds":null,"llmlint_seconds":null,"gate_seconds":null,)"
           R"("publication_wait_seconds":null,"lock_wait_seconds":null,"setup_seconds":null,)"
           R"("scheduling_seconds":null,"wall_seconds":null,"agent_model_ms":)" +
           agent_model_ms +
           R"(,"judge_model_ms":null,"llmlint_model_ms":null,"tool_ms":null,"idle_orchestration_ms":null,)"
           R"("unattributed_ms":null,"wall_ms":null,"fractions":{"agent_model":null,"judge_model":null,)"
           R"("llmlint_model":null,"tool":null,"idle_orchestration":null,"lock_wait":null,"setup":null,)"
           R"("scheduling":null}})";
}

class DemoSummaries : public ::testing::Test {
protected:
    void SetUp() override {
        views_ = views::RunView::all(demo_root);
        ASSERT_EQ(views_.size(), 6u);
    }
    std::string summary(std::string_view id,
                        std::shared_ptr<const telemetry::RunTelemetry> telemetry = nullptr) const {
        for (const auto& view : views_)
            if (view.id() == id) return json::write(run_summary(view, telemetry, liveness));
        throw std::runtime_error("no demo run " + std::string(id));
    }

    std::vector<views::RunView> views_;
    // No demo run was launched on the machine that judges them, and the default parking
    // threshold holds.
    const views::LivenessInputs liveness{.this_host = "a-reader-of-the-demo", .now_ms = views::now_ms()};
};

TEST_F(DemoSummaries, EachRunWithoutTelemetry) {
    const Expected runs[] = {
        // Settled: the result file's statuses.
        {"2026-03-02-docs-refresh", "settled", "reviewing-results", "round-finished", "1772442978", "complete",
         timing_without_telemetry("94900"), R"({"done":3})", "claude-code", "07bdf6fe99ba"},
        // Active in a round: the roster derived from the journal.
        {"2026-03-05-orders-migration", "active", "driving-round", "turn-activity", "1772715931", "partial",
         timing_without_telemetry("123600"), R"({"blocked":1,"running":1,"waiting":1})", "codex", "775df17175d5"},
        // Parked after a failure: result words counted as written.
        {"2026-03-06-billing-export", "parked", "reviewing-results", "round-finished", "1772785934", "complete",
         timing_without_telemetry("41200"), R"({"blocked":1,"failed":1,"skipped":2})", "claude-code",
         "e3296516e4eb"},
        // Stopped, its driver gone, no result file.
        {"2026-03-07-flaky-ci-triage", "driver-dead", "finished", "run-stopped", "1772923710", "complete",
         timing_without_telemetry("41200"), R"({"pending":1,"running":1})", "codex", "17b6730f182c"},
        // Settled, with two agent sessions and artifacts of every kind.
        {"2026-03-08-release-notes", "settled", "reviewing-results", "round-finished", "1772964107", "complete",
         timing_without_telemetry("48900"), R"({"done":2})", "claude-code", "ead29129b041"},
    };
    for (const auto& run : runs) EXPECT_EQ(summary(run.id), text(run));
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
              text({"2026-03-02-docs-refresh", "settled", "reviewing-results", "round-finished", "1772442978",
                    "complete",
                    R"({"agent_seconds":94,"judge_seconds":null,)"
                    R"("llmlint_seconds":null,"gate_seconds":10,"publication_wait_seconds":5,"lock_wait_seconds":0,)"
                    R"("setup_seconds":20,"scheduling_seconds":4,"wall_seconds":189,"agent_model_ms":94900,)"
                    R"("judge_model_ms":null,"llmlint_model_ms":null,"tool_ms":null,"idle_orchestration_ms":null,)"
                    R"("unattributed_ms":55000,"wall_ms":189800,"fractions":{"agent_model":0.5,"judge_model":null,)"
                    R"("llmlint_model":null,"tool":null,"idle_orchestration":null,"lock_wait":0.0,)"
                    R"("setup":0.1053740779768177,"scheduling":0.025816649104320338}})",
                    R"({"done":3})", "claude-code", "07bdf6fe99ba"}));
}

}  // namespace
}  // namespace korvalle::payload
