// Live activity rows of fixture journals, compared as written JSON text.
#include "src/payload/live_activity.hpp"

#include "sdk/base/json_write.hpp"
#include "sdk/run/views.hpp"
#include "tests/support/view_support.hpp"

#include <gtest/gtest.h>

namespace korvalle::payload {
namespace {

using testing::Event;
using testing::quote;

// A turn-activity report of the agent runtime.
Event report(std::string ts, std::string node, std::string round, std::string payload = "{}",
             std::string source = "morvane") {
    std::string labels = "{" + (node.empty() ? "" : R"("node":)" + node) +
                         (round.empty() ? "" : std::string(node.empty() ? "" : ",") + R"("round":)" + round) + "}";
    return {.ts = std::move(ts), .source = std::move(source), .kind = "turn-activity", .stream = "agent",
            .labels = std::move(labels), .payload = std::move(payload)};
}

class LiveActivity : public ::testing::Test {
protected:
    std::string rows(const std::vector<Event>& events) {
        auto run = root_.run("r" + std::to_string(++runs_));
        run.launch();
        for (const auto& e : events) run.event(e);
        const auto view = testing::open_view(run);
        auto first = live_activity(view);
        EXPECT_EQ(first, live_activity(view)) << "the rows are a function of the journal";
        return json::write(boost::json::value(boost::json::array(first.begin(), first.end())));
    }

    testing::RunsRoot root_;
    int runs_ = 0;
};

TEST_F(LiveActivity, OneRowPerNodeAndRoundHoldingItsLastReportPlacedByItsTime) {
    auto text = rows({
        report("2026-03-02T10:00:00.000Z", quote("build"), "1", R"({"kind":"tool","name":"cargo","detail":"check"})"),
        report("2026-03-02T10:00:05.000Z", quote("build"), "1", R"({"kind":"tool","name":"cargo","detail":"test"})"),
        report("2026-03-02T10:00:06.000Z", quote("build"), "2", R"({"kind":"think"})"),
        report("2026-03-02T10:00:07.000Z", quote("build"), "1", R"({"kind":"edit","name":7,"detail":null})"),
        // Equal times keep first-seen order: "zeta" comes first in the journal, whose order
        // compares the timestamp texts ('+' before 'Z').
        report("2026-03-02T09:00:00.000Z", quote("alpha"), "7"),
        report("2026-03-02T09:00:00.000+00:00", quote("zeta"), "7"),
        // 12:00 at +02:00 is 10:00 UTC; the fraction beyond milliseconds is dropped.
        report("2026-03-02T12:00:01.0009+02:00", quote("offset"), "1"),
    });
    EXPECT_EQ(text,
              R"([{"round":"7","node":"zeta","at":1772442000000.0,"kind":"","name":"","detail":"","events":1},)"
              R"({"round":"7","node":"alpha","at":1772442000000.0,"kind":"","name":"","detail":"","events":1},)"
              R"({"round":"1","node":"offset","at":1772445601000.0,"kind":"","name":"","detail":"","events":1},)"
              R"({"round":"2","node":"build","at":1772445606000.0,"kind":"think","name":"","detail":"","events":1},)"
              R"({"round":"1","node":"build","at":1772445607000.0,"kind":"edit","name":"","detail":"","events":3}])");
}

TEST_F(LiveActivity, ALaterReportWithAnEarlierInstantMovesItsRowEarlier) {
    // Journal order is timestamp text order: "10:00:09+05:00" sorts after "10:00:08Z" but is
    // five hours earlier.
    auto text = rows({
        report("2026-03-02T10:00:00.000Z", quote("a"), "1"),
        report("2026-03-02T10:00:08.000Z", quote("b"), "1"),
        report("2026-03-02T10:00:09.000+05:00", quote("a"), "1", R"({"detail":"late"})"),
    });
    EXPECT_EQ(text,
              R"([{"round":"1","node":"a","at":1772427609000.0,"kind":"","name":"","detail":"late","events":2},)"
              R"({"round":"1","node":"b","at":1772445608000.0,"kind":"","name":"","detail":"","events":1}])");
}

TEST_F(LiveActivity, ReportsThatDoNotQualifyMakeNoRowAndDoNotCount) {
    const std::string ts = "2026-03-02T10:00:00.000Z";
    auto text = rows({
        report(ts, quote("n"), "1", "{}", "pipeline"),
        report(ts, quote("n"), "1", "{}", "vcs"),
        report(ts, quote(".hidden"), "1"),
        report(ts, quote(""), "1"),
        report(ts, quote(std::string(129, 'a')), "1"),
        report(ts, quote("has space"), "1"),
        report(ts, quote("é"), "1"),
        report(ts, "", "1"),
        report(ts, "5", "1"),
        report(ts, quote("n"), ""),
        {.ts = ts, .source = "morvane", .kind = "turn-activity-x", .labels = R"({"node":"n","round":1})"},
        // Timestamps the replay cannot read but RFC 3339 can still count; these cannot.
        report("2026-03-02 10:00:00Z", quote("n"), "1"),
        report("yesterday", quote("n"), "1"),
        report(ts, quote(std::string(128, 'a')), "1"),
    });
    EXPECT_EQ(text, R"([{"round":"1","node":")" + std::string(128, 'a') +
                        R"(","at":1772445600000.0,"kind":"","name":"","detail":"","events":1}])");
}

TEST_F(LiveActivity, InstantsOutsideTheNanosecondRangeAndBefore1970) {
    auto text = rows({
        report("1969-12-31T23:59:58.5Z", quote("before"), "1"),
        report("1969-12-31T23:59:59.9995Z", quote("just-before"), "1"),
        report("9999-12-31T23:59:59.000Z", quote("far"), "1"),
    });
    EXPECT_EQ(text,
              R"([{"round":"1","node":"before","at":-1500.0,"kind":"","name":"","detail":"","events":1},)"
              R"({"round":"1","node":"just-before","at":0.0,"kind":"","name":"","detail":"","events":1},)"
              R"({"round":"1","node":"far","at":253402300799000.0,"kind":"","name":"","detail":"","events":1}])");
}

TEST_F(LiveActivity, NoReportsGiveNoRows) { EXPECT_EQ(rows({}), "[]"); }

// Carried from a view to the one read on from it, over reports that sort before earlier ones
// too, the rows are those of the whole run; a view opened afresh is not carried to.
TEST_F(LiveActivity, RowsCarriedOverAppendsAreThoseOfTheWholeRun) {
    auto run = root_.run("carried");
    run.launch()
        .event(report("2026-03-02T10:00:05.000Z", quote("a"), "1", R"({"name":"first"})"))
        .event(report("2026-03-02T10:00:06.000Z", quote("b"), "1"));
    views::RunView view = testing::open_view(run);
    payload::LiveActivity activity(view);
    for (const auto& [ts, node] : std::vector<std::pair<std::string, std::string>>{
             {"2026-03-02T10:00:07.000Z", "a"},   // in order
             {"2026-03-02T10:00:04.000Z", "a"},   // before the pair's first report
             {"2026-03-02T10:00:05.500Z", "c"},   // a new pair, between the others
             {"2026-03-02T10:00:06.000Z", "b"}}) {  // tied with the pair's last report
        run.event(report(ts, quote(node), "1", R"({"detail":")" + ts + R"("})"));
        std::optional<views::RunView> grown = views::RunView::grown(view);
        ASSERT_TRUE(grown);
        ASSERT_TRUE(activity.carries_to(*grown));
        EXPECT_FALSE(activity.carries_to(testing::open_view(run)));
        payload::LiveActivity carried(activity, *grown);
        EXPECT_EQ(carried.rows(), live_activity(testing::open_view(run))) << ts;
        view = std::move(*grown);
        activity = std::move(carried);
    }
}

}  // namespace
}  // namespace korvalle::payload
