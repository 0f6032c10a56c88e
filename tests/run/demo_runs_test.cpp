// The demo runs root under examples/ replays as its runs claim to be: settled, active with a
// person to wait for, failed with dependencies on other runs, and stopped.
#include "sdk/base/json_read.hpp"
#include "sdk/journal/journal_lines.hpp"
#include "sdk/run/liveness.hpp"
#include "sdk/run/run_text.hpp"
#include "sdk/run/statuses.hpp"
#include "tests/run/run_support.hpp"

#include <fstream>

namespace korvalle {
namespace {

namespace fs = std::filesystem;
using graph::NodeStatus;
using views::StatusMap;

const fs::path demo_root = fs::path(KORVALLE_SOURCE_DIR) / "examples" / "runs";

class DemoRuns : public ::testing::Test {
protected:
    void SetUp() override { views_ = views::RunView::all(demo_root); }
    const views::RunView& run(std::string_view id) const {
        for (const auto& view : views_) {
            if (view.id() == id) return view;
        }
        throw std::runtime_error("no demo run " + std::string(id));
    }

    // No demo run was launched on the machine that judges them, now.
    static std::string_view liveness_word(const views::RunView& view) {
        return views::liveness_word(view, {.this_host = "a-reader-of-the-demo", .now_ms = views::now_ms()});
    }

    std::vector<views::RunView> views_;
};

TEST_F(DemoRuns, EveryRunOpensWithEveryLineAndFile) {
    ASSERT_EQ(views_.size(), 6u);
    for (const auto& view : views_) {
        SCOPED_TRACE(view.id());
        EXPECT_EQ(view.launch.run_id, view.id());
        const auto journal = journal::read_journal_lines(view.paths.dir / "events.jsonl");
        EXPECT_EQ(view.envelopes.size(), journal.size());
        for (const auto& envelope : view.envelopes) {
            EXPECT_TRUE(views::parse_timestamp_ms(envelope.ts)) << envelope.ts;
            for (const auto& artifact : envelope.artifacts) {
                EXPECT_TRUE(fs::is_regular_file(view.paths.dir / "artifacts" / artifact.id)) << artifact.id;
            }
        }
        for (std::uint64_t r = 1; r <= view.round; ++r) {
            EXPECT_TRUE(plan::Plan::load(view.paths.round_plan(r)).ok()) << r;
            const fs::path result = view.paths.round_result(r);
            if (!fs::exists(result)) continue;
            std::ifstream in(result);
            const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            EXPECT_TRUE(json::parse(text).ok()) << result;
        }
    }
}

TEST_F(DemoRuns, SettledRun) {
    const auto& view = run("2026-03-02-docs-refresh");
    EXPECT_EQ(liveness_word(view), "SETTLED");
    EXPECT_EQ(view.round, 1u);
    EXPECT_EQ(views::derived_statuses(view),
              (StatusMap{{"audit-endpoints", NodeStatus::Done}, {"publish-docs", NodeStatus::Done},
                         {"write-reference", NodeStatus::Done}}));
    EXPECT_EQ(view.change_urls.at("write-reference"), "https://git.example.com/korvalle/docs/pull/212");
}

TEST_F(DemoRuns, ActiveRunInItsSecondRoundWaitsForAPerson) {
    const auto& view = run("2026-03-05-orders-migration");
    EXPECT_EQ(liveness_word(view), "ACTIVE");
    EXPECT_EQ(view.round, 2u);
    EXPECT_TRUE(view.in_round);
    EXPECT_EQ(views::derived_statuses(view),
              (StatusMap{{"backfill-orders", NodeStatus::Running}, {"ops-signoff", NodeStatus::Waiting},
                         {"switch-reads", NodeStatus::Blocked}}));
    // The person has not answered: waiting is derived, nothing settled the node.
    EXPECT_FALSE(view.statuses.contains("ops-signoff"));
    EXPECT_FALSE(view.settled_at.contains("ops-signoff"));
    ASSERT_TRUE(view.plan);
    EXPECT_EQ(view.plan->tasks.front().id, "schema-change");
    EXPECT_TRUE(view.graph.nodes.at("switch-reads").context);
    EXPECT_EQ(view.activity.at("backfill-orders").count, 4u);
    EXPECT_EQ(view.surfaced, 1u);
}

TEST_F(DemoRuns, FailedRunWithDependenciesOnOtherRuns) {
    const auto& view = run("2026-03-06-billing-export");
    EXPECT_EQ(view.cross_run_statuses,
              (StatusMap{{"run:2026-03-02-docs-refresh#publish-docs", NodeStatus::Done},
                         {"run:2026-03-05-orders-migration#backfill-orders", NodeStatus::Blocked}}));
    EXPECT_EQ(views::derived_statuses(view),
              (StatusMap{{"announce", NodeStatus::Skipped}, {"export-job", NodeStatus::Failed},
                         {"finance-review", NodeStatus::Skipped}, {"reconcile", NodeStatus::Blocked}}));
    EXPECT_FALSE(view.in_round);
    EXPECT_EQ(liveness_word(view), "PARKED");

    // The satisfied dependency names the seq of the settle it saw in the other run.
    const auto& upstream = run("2026-03-02-docs-refresh");
    std::optional<std::uint64_t> settle_seq;
    for (const auto& envelope : upstream.envelopes) {
        if (envelope.kind == "node-settled" && envelope.labels.node == "publish-docs") settle_seq = envelope.seq;
    }
    EXPECT_EQ(view.cross_dag_satisfied, (std::map<std::string, std::uint64_t>{
                                            {"run:2026-03-02-docs-refresh#publish-docs", settle_seq.value_or(0)}}));
}

TEST_F(DemoRuns, RunWhoseDriverIsGone) {
    const auto& view = run("2026-03-07-flaky-ci-triage");
    EXPECT_TRUE(view.stopped);
    EXPECT_EQ(liveness_word(view), "DRIVER DEAD");
    EXPECT_EQ(views::derived_statuses(view),
              (StatusMap{{"collect-failures", NodeStatus::Running}, {"quarantine", NodeStatus::Pending}}));
}

}  // namespace
}  // namespace korvalle
