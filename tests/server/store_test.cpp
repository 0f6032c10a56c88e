// The run store in process: finding a run, the change fingerprint, and the intervals.
#include "src/store.hpp"
#include "tests/server/server_fixture.hpp"

namespace korvalle::testing {
namespace {

TEST(Store, FindRunMatchesTheIdExactly) {
    RunsRoot root;
    add_run(root, "Run-1", "2026-03-05T09:00:00.000Z");
    auto found = store::find_run(root.path().string(), *contract::RunId::make("Run-1"));
    ASSERT_TRUE(std::holds_alternative<views::RunView>(found));
    EXPECT_EQ(std::get<views::RunView>(found).id(), "Run-1");
    auto missing = store::find_run(root.path().string(), *contract::RunId::make("run-1"));
    ASSERT_TRUE(std::holds_alternative<error::ApiError>(missing));
    EXPECT_EQ(std::get<error::ApiError>(missing).body(),
              R"({"error":{"code":"run_not_found","message":"no recorded run run-1"}})");
    auto nowhere = store::find_run((root.path() / "gone").string(), *contract::RunId::make("Run-1"));
    EXPECT_TRUE(std::holds_alternative<error::ApiError>(nowhere));
}

TEST(Store, SignatureMovesWithEveryEnvelopeButNotWithGarbage) {
    RunsRoot root;
    add_run(root, "r", "2026-03-05T09:00:00.000Z");
    auto signature = [&] {
        auto found = store::find_run(root.path().string(), *contract::RunId::make("r"));
        return store::RunSignature::of(std::get<views::RunView>(found));
    };
    auto first = signature();
    EXPECT_EQ(first.round, 1u);
    EXPECT_GT(first.last_event_ms, 0u);
    root.run("r").line("{not an envelope");
    EXPECT_EQ(signature(), first);
    root.run("r").event({.ts = "2026-03-05T09:00:00.000Z", .kind = "heartbeat", .labels = R"({"run_id":"r"})"});
    auto second = signature();
    EXPECT_EQ(second.envelope_count, first.envelope_count + 1);
    EXPECT_EQ(second.last_event_ms, first.last_event_ms);
    EXPECT_NE(second, first);
}

TEST(Store, TranscriptIntervalIsTenPollIntervals) {
    EXPECT_EQ(store::RunStore::new_polling_every("r", 500).transcript_poll_ms(), 5000u);
    EXPECT_EQ(store::RunStore::new_polling_every("r", 1234).transcript_poll_ms(), 12340u);
    EXPECT_EQ(store::RunStore::new_polling_every("r", 1).transcript_poll_ms(), 10u);
    EXPECT_EQ(store::RunStore::new_polling_every("r", UINT64_MAX).transcript_poll_ms(), UINT64_MAX);
    EXPECT_EQ(store::RunStore::new_polling_every("./runs/", 7).root(), "./runs/");
}

TEST(Store, ErrorsCarryTheirStatusCodeAndMessage) {
    using error::ApiError;
    auto id = *contract::RunId::make("s-1");
    EXPECT_EQ(ApiError::conversation_not_found(id).message(), "no recorded conversation s-1");
    EXPECT_EQ(ApiError::invalid_dispatch_id("must x").status(), 422u);
    EXPECT_EQ(ApiError::projection_error("p").status(), 409u);
    EXPECT_EQ(ApiError::projection_error("p").code(), "projection_error");
    EXPECT_EQ(ApiError::invalid_node_id("must y").body(),
              R"({"error":{"code":"invalid_node_id","message":"invalid node id: must y"}})");
    EXPECT_EQ(ApiError::invalid_request("a \"q\" \\ \n é").body(),
              R"({"error":{"code":"invalid_request","message":"invalid request: a \"q\" \\ \n é"}})");
}

}  // namespace
}  // namespace korvalle::testing
