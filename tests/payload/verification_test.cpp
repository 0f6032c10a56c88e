// Verification records of fixture journals, compared as written text, and the verdict and
// output-text rules event by event.
#include "src/payload/verification.hpp"

#include "sdk/base/json_write.hpp"
#include "sdk/run/views.hpp"
#include "tests/support/view_support.hpp"

#include <gtest/gtest.h>

#include <tuple>

namespace korvalle::payload {
namespace {

using testing::Event;
using testing::open_view;

// A record with its times, as one JSON object, so that a whole list compares as one text.
std::string written(const std::vector<VerificationRecord>& records) {
    boost::json::array out;
    for (const auto& record : records) {
        boost::json::object item = verification_detail(record);
        item.emplace("started_at", record.started_at);
        item.emplace("ended_at", record.ended_at);
        out.push_back(std::move(item));
    }
    return json::write(out);
}

class Verification : public ::testing::Test {
protected:
    // One envelope read from a real journal line.
    event::Envelope envelope(const std::string& source, const std::string& kind, const std::string& payload) {
        auto read = event::read_envelope(testing::envelope_line({.source = source, .kind = kind, .payload = payload}));
        EXPECT_TRUE(read.ok()) << message(read.error());
        return read.ok() ? std::move(read).value() : event::Envelope{};
    }
    bool ok(const std::string& source, const std::string& kind, const std::string& payload) {
        return event_ok(envelope(source, kind, payload));
    }
    std::string output(const std::string& payload) {
        return std::string(event_output_text(envelope("pipeline", "node-settled", payload)));
    }

    testing::RunsRoot root_;
};

TEST_F(Verification, RecordsOfOneNodeInOneRound) {
    auto run = root_.run("r-verify");
    run.launch()
        .event({.ts = "2026-03-02T09:00:01.000Z", .kind = "round-started", .labels = R"({"round":1})"})
        // Selected, no reference: gives no record but starts the next one.
        .event({.ts = "2026-03-02T09:00:02.000Z", .kind = "node-dispatched", .labels = R"({"round":1,"node":"a"})"})
        // Another node between two selected events changes nothing.
        .event({.ts = "2026-03-02T09:00:03.000Z", .source = "vcs", .kind = "push",
                .labels = R"({"round":1,"node":"b"})", .artifacts = R"([{"id":"x","kind":"pr","bytes":1}])"})
        .event({.ts = "2026-03-02T09:00:04.000Z", .source = "vcs", .kind = "change-check",
                .labels = R"({"round":1,"node":"a"})", .payload = R"({"conclusion":"FAILURE","detail":"lint: 2 errors"})",
                .artifacts = R"([{"id":"check-1","kind":"log","bytes":10},{"id":"check-1","kind":"log","bytes":10}])"})
        // Labelled with the node but not the round, or with a differently cased node: not selected.
        .event({.ts = "2026-03-02T09:00:05.000Z", .source = "vcs", .kind = "push", .labels = R"({"node":"a"})",
                .artifacts = R"([{"id":"y","kind":"pr","bytes":1}])"})
        .event({.ts = "2026-03-02T09:00:05.500Z", .source = "vcs", .kind = "push", .labels = R"({"round":1,"node":"A"})",
                .artifacts = R"([{"id":"z","kind":"pr","bytes":1}])"})
        .event({.ts = "not a time", .source = "vcs", .kind = "gate-verdict", .labels = R"({"round":1,"node":"a"})",
                .payload = R"({"verdict":"pass","output":"gate ok"})",
                .artifacts = R"([{"id":"gate-1","kind":"gate","bytes":3}])"})
        .event({.ts = "2026-03-02T09:00:06.000Z", .kind = "round-started", .labels = R"({"round":2})"})
        .event({.ts = "2026-03-02T09:00:07.000Z", .kind = "node-settled", .labels = R"({"round":2,"node":"a"})",
                .payload = R"({"status":"done"})", .artifacts = R"([{"id":"report-2","kind":"report","bytes":3}])"});
    views::RunView view = open_view(run);

    // "not a time" sorts after every digit-led timestamp in the merge order.
    EXPECT_EQ(written(verification_records(view.envelopes, 1, "a")),
              R"([{"ok":false,"output_tail":"lint: 2 errors","artifact_id":"check-1",)"
              R"("started_at":"2026-03-02T09:00:02.000Z","ended_at":"2026-03-02T09:00:04.000Z"},)"
              R"({"ok":false,"output_tail":"lint: 2 errors","artifact_id":"check-1",)"
              R"("started_at":"2026-03-02T09:00:02.000Z","ended_at":"2026-03-02T09:00:04.000Z"},)"
              R"({"ok":true,"output_tail":"gate ok","artifact_id":"gate-1",)"
              R"("started_at":"2026-03-02T09:00:04.000Z","ended_at":"not a time"}])");
    EXPECT_EQ(written(verification_records(view.envelopes, 2, "a")),
              R"([{"ok":true,"output_tail":"","artifact_id":"report-2",)"
              R"("started_at":"2026-03-02T09:00:07.000Z","ended_at":"2026-03-02T09:00:07.000Z"}])");
    EXPECT_EQ(written(verification_records(view.envelopes, 0, "a")), "[]");
    EXPECT_EQ(written(verification_records(view.envelopes, 1, "a ")), "[]");

    // The index gives the same records for every (round, node), and nothing for the unlabelled.
    EnvelopesByRoundNode index(view.envelopes);
    for (std::uint64_t round : {0, 1, 2, 3})
        for (const char* node : {"a", "b", "A", "c"})
            EXPECT_EQ(written(verification_records(index.of(round, node))),
                      written(verification_records(view.envelopes, round, node)))
                << round << " " << node;
    EXPECT_EQ(json::write(current_round_verification(view, index, "a")),
              R"([{"ok":true,"output_tail":"","artifact_id":"report-2"}])");
}

TEST_F(Verification, CurrentRoundIsOneBeforeAnyRound) {
    auto run = root_.run("r-unstarted");
    run.launch().event({.source = "vcs", .kind = "push", .labels = R"({"round":1,"node":"a"})",
                        .artifacts = R"([{"id":"p","kind":"pr","bytes":1}])"});
    views::RunView view = open_view(run);
    ASSERT_EQ(view.round, 0u);
    EXPECT_EQ(json::write(current_round_verification(view, EnvelopesByRoundNode(view.envelopes), "a")),
              R"([{"ok":true,"output_tail":"","artifact_id":"p"}])");
}

TEST_F(Verification, OutputTextFirstPresentKeyDecides) {
    EXPECT_EQ(output(R"({"detail":5,"error":"boom"})"), "");
    EXPECT_EQ(output(R"({"error":"boom","output":"x"})"), "boom");
    EXPECT_EQ(output(R"({"output":"x"})"), "x");
    EXPECT_EQ(output(R"({"detail":null,"output":"x"})"), "");
    EXPECT_EQ(output("{}"), "");
    std::string long_text(200000, 'o');
    EXPECT_EQ(output(R"({"output":")" + long_text + R"("})"), long_text);
}

// Version control's own fields decide its events' verdicts; the status word decides the rest.
TEST_F(Verification, VerdictOfOneEvent) {
    const std::tuple<const char*, const char*, const char*, bool> cases[] = {
        {"vcs", "push", R"({"accepted":false})", false},           {"vcs", "push", R"({"accepted":"false"})", true},
        {"vcs", "push", "{}", true},                               {"vcs", "change-check", "{}", true},
        {"vcs", "change-check", R"({"conclusion":"SUCCESS"})", true}, {"vcs", "change-check", R"({"conclusion":1})", true},
        {"vcs", "change-check", R"({"conclusion":"Neutral"})", true}, {"vcs", "change-check", R"({"conclusion":"skipped"})", true},
        {"vcs", "change-check", R"({"conclusion":"failure"})", false}, {"vcs", "change-check", R"({"conclusion":""})", false},
        {"vcs", "change-check", R"({"conclusion":"success "})", false},
        {"vcs", "gate-verdict", R"({"verdict":"pass"})", true},     {"vcs", "gate-verdict", R"({"verdict":"PASS"})", false},
        {"vcs", "gate-verdict", R"({"verdict":"passed"})", false},  {"vcs", "gate-verdict", "{}", false},
        {"vcs", "sync-conflict", R"({"status":"done"})", false},    {"vcs", "lock-wait", R"({"status":"failed"})", true},
        {"pipeline", "node-settled", R"({"status":"done"})", true}, {"pipeline", "node-settled", "{}", true},
        {"pipeline", "node-settled", R"({"status":"ready"})", false}, {"pipeline", "node-settled", R"({"status":null})", true},
        {"pipeline", "node-settled", R"({"status":"failed"})", false}, {"pipeline", "node-settled", R"({"status":"Done"})", false},
        {"pipeline", "gate-verdict", R"({"verdict":"pass","status":"failed"})", false},
        {"morvane", "push", R"({"accepted":true,"status":"running"})", false},
    };
    for (const auto& [source, kind, payload, verdict] : cases) {
        EXPECT_EQ(ok(source, kind, payload), verdict) << source << " " << kind << " " << payload;
    }
}

}  // namespace
}  // namespace korvalle::payload
