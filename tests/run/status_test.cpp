// Effective node statuses and dependencies on other runs.
#include "sdk/crossdag.hpp"
#include "tests/run/run_support.hpp"

namespace korvalle {
namespace {

namespace fs = std::filesystem;
using graph::NodeStatus;
using testing::RunsRoot;
using views::StatusMap;

plan::Node node(std::string id, std::vector<std::string> deps = {}, bool parked = false,
                plan::NodeKind kind = plan::NodeKind::Agent) {
    plan::Node n;
    n.id = std::move(id);
    n.deps = std::move(deps);
    n.parked = parked;
    n.kind = kind;
    return n;
}

struct Fixture {
    views::RunView view;

    Fixture& add(plan::Node n) {
        view.graph.insert(std::move(n));
        return *this;
    }
    Fixture& record(const std::string& id, NodeStatus status) {
        view.statuses[id] = status;
        return *this;
    }
    StatusMap derive() const { return views::derived_statuses(view); }
};

Fixture chain() {
    Fixture f;
    f.add(node("a")).add(node("b", {"a"})).add(node("c", {"b"}));
    return f;
}

TEST(Statuses, EmptyGraphAndRecordsOfOtherIds) {
    Fixture f;
    f.record("ghost", NodeStatus::Done);
    EXPECT_TRUE(f.derive().empty());
}

TEST(Statuses, ChainsDecideInOrder) {
    EXPECT_EQ(chain().derive(), (StatusMap{{"a", NodeStatus::Ready}, {"b", NodeStatus::Pending}, {"c", NodeStatus::Pending}}));
    EXPECT_EQ(chain().record("a", NodeStatus::Done).derive(),
              (StatusMap{{"a", NodeStatus::Done}, {"b", NodeStatus::Ready}, {"c", NodeStatus::Pending}}));
    EXPECT_EQ(chain().record("a", NodeStatus::Failed).derive(),
              (StatusMap{{"a", NodeStatus::Failed}, {"b", NodeStatus::Skipped}, {"c", NodeStatus::Skipped}}));
    // c before b in the order: c is decided in the pass after b.
    Fixture reversed;
    reversed.add(node("c", {"b"})).add(node("b", {"a"})).add(node("a")).record("a", NodeStatus::Failed);
    EXPECT_EQ(reversed.derive().at("c"), NodeStatus::Skipped);
}

TEST(Statuses, RecordedBlockedAndSkippedAreDerivedAfresh) {
    Fixture f;
    f.add(node("a")).add(node("p", {}, true)).record("a", NodeStatus::Blocked).record("p", NodeStatus::Skipped);
    EXPECT_EQ(f.derive(), (StatusMap{{"a", NodeStatus::Ready}, {"p", NodeStatus::Parked}}));
}

TEST(Statuses, HumansWaitAndParkedNodesPark) {
    Fixture f;
    f.add(node("a")).add(node("h", {"a"}, false, plan::NodeKind::Human));
    f.add(node("hp", {"a"}, true, plan::NodeKind::Human)).record("a", NodeStatus::Done);
    EXPECT_EQ(f.derive().at("h"), NodeStatus::Waiting);
    EXPECT_EQ(f.derive().at("hp"), NodeStatus::Parked);
}

TEST(Statuses, FailedBeatsHoldingBeatsDone) {
    Fixture f;
    f.add(node("f")).add(node("w", {}, false, plan::NodeKind::Human)).add(node("d")).add(node("c"));
    f.add(node("x", {"f", "w"})).add(node("y", {"d", "c"})).add(node("z", {"d", "w"}));
    f.record("f", NodeStatus::Failed).record("d", NodeStatus::Done).record("c", NodeStatus::Cancelled);
    const StatusMap derived = f.derive();
    EXPECT_EQ(derived.at("x"), NodeStatus::Skipped);
    EXPECT_EQ(derived.at("y"), NodeStatus::Blocked);
    EXPECT_EQ(derived.at("z"), NodeStatus::Blocked);
}

TEST(Statuses, RecordedStatusesStandWhateverTheDependenciesSay) {
    Fixture f;
    f.add(node("a")).add(node("b", {"a"})).record("a", NodeStatus::Failed).record("b", NodeStatus::Running);
    EXPECT_EQ(f.derive().at("b"), NodeStatus::Running);
}

TEST(Statuses, UnknownLocalDependenciesAndCyclesAndCrossRunLookups) {
    Fixture f;
    f.add(node("lone", {"nobody", "run:bad"})).add(node("s", {"s"})).add(node("p", {"q"})).add(node("q", {"p"}));
    f.add(node("none", {"run:up#missing"})).add(node("done", {"run:up#d"})).add(node("running", {"run:up#r"}));
    f.view.cross_run_statuses = {{"run:up#d", NodeStatus::Done}, {"run:up#r", NodeStatus::Running}};
    const StatusMap derived = f.derive();
    EXPECT_EQ(derived.at("lone"), NodeStatus::Ready);
    EXPECT_EQ(derived.at("s"), NodeStatus::Pending);
    EXPECT_EQ(derived.at("p"), NodeStatus::Pending);
    EXPECT_EQ(derived.at("none"), NodeStatus::Blocked);
    EXPECT_EQ(derived.at("done"), NodeStatus::Ready);
    EXPECT_EQ(derived.at("running"), NodeStatus::Pending);
    EXPECT_EQ(views::cross_run_status(f.view, "run:up#d"), NodeStatus::Done);
    EXPECT_FALSE(views::cross_run_status(f.view, "run:up#missing"));
}

// ---- References to other runs. ----

TEST(CrossRun, ReferenceSyntax) {
    EXPECT_EQ(crossdag::parse_ref("run:alpha#build"), (crossdag::Reference{"alpha", "build"}));
    EXPECT_EQ(crossdag::parse_ref("run:alpha#a#b"), (crossdag::Reference{"alpha", "a#b"}));
    EXPECT_EQ(crossdag::parse_ref("run:a b#n"), (crossdag::Reference{"a b", "n"}));
    for (const char* text : {"run:#build", "run:alpha#", "run:alpha", "run:../x#n", "run:a/b#n", "run:a\\b#n",
                             "run:.#n", "run:..#n", "runs:alpha#n", "RUN:alpha#n", ""}) {
        EXPECT_FALSE(crossdag::parse_ref(text)) << text;
    }
}

std::string settle(std::string_view node, std::string_view status, std::string_view kind = "node-settled") {
    return testing::envelope_line({.kind = std::string(kind), .labels = "{\"node\":" + testing::quote(node) + "}",
                                   .payload = "{\"status\":" + testing::quote(status) + "}"});
}

TEST(CrossRun, TheLastKnownSettleDecides) {
    RunsRoot root;
    root.run("up")
        .line(settle("fd", "failed")).line(settle("fd", "done"))
        .line(settle("df", "done")).line(settle("df", "failed"))
        .line(settle("unk", "done")).line(settle("unk", "finished"))
        .line(settle("sk", "skipped"))
        .line(settle("other", "done", "node-dispatched"))
        .line(R"({"kind":"node-settled","labels":{"node":"raw"},"payload":{"status":"done"}})")
        .line(R"(["not","an","object"])")
        .line("{broken")
        .line(settle("fd2", "done"))
        .line(settle("fd2", "done").substr(3));
    const std::set<std::string> refs = {"run:up#fd", "run:up#df", "run:up#unk", "run:up#sk", "run:up#other",
                                        "run:up#raw", "run:up#fd2", "run:up#never", "run:gone#x", "not-a-ref"};
    const StatusMap statuses = crossdag::resolve_quietly(refs, root.path());
    EXPECT_EQ(statuses, (StatusMap{{"run:gone#x", NodeStatus::Blocked}, {"run:up#df", NodeStatus::Blocked},
                                   {"run:up#fd", NodeStatus::Done}, {"run:up#fd2", NodeStatus::Done},
                                   {"run:up#never", NodeStatus::Blocked}, {"run:up#other", NodeStatus::Blocked},
                                   {"run:up#raw", NodeStatus::Done}, {"run:up#sk", NodeStatus::Blocked},
                                   {"run:up#unk", NodeStatus::Done}}));
}

// A settle line whose payload nests to the given total depth, the line's object counting as
// the first level.
std::string deep_settle(std::string_view node, int levels) {
    const auto arrays = static_cast<std::size_t>(levels - 2);
    return R"({"kind":"node-settled","labels":{"node":")" + std::string(node) + R"("},"payload":{"status":"done","deep":)" +
           std::string(arrays, '[') + std::string(arrays, ']') + "}}";
}

TEST(CrossRun, LinesNestedDeeperThan127LevelsDoNotParse) {
    RunsRoot root;
    root.run("up")
        .line(settle("ok", "failed")).line(deep_settle("ok", 127))
        .line(settle("deep", "failed")).line(deep_settle("deep", 128));
    EXPECT_EQ(crossdag::resolve_quietly({"run:up#ok", "run:up#deep"}, root.path()),
              (StatusMap{{"run:up#deep", NodeStatus::Blocked}, {"run:up#ok", NodeStatus::Done}}));
}

TEST(CrossRun, NulInARunTextIsBlockedAndReadsNothing) {
    RunsRoot root;
    root.run("a").line(settle("n", "done"));
    const std::string ref = std::string("run:a\0b#n", 9);
    ASSERT_TRUE(crossdag::parse_ref(ref));
    EXPECT_EQ(crossdag::resolve_quietly({ref, "run:a#n"}, root.path()),
              (StatusMap{{ref, NodeStatus::Blocked}, {"run:a#n", NodeStatus::Done}}));

    // The same through a journal, where the reference arrives as an escaped JSON string.
    auto run = root.run("down");
    run.launch().event({.kind = "run-started",
                        .payload = testing::plan_payload(R"({"id":"x","deps":["run:a\u0000b#n"]})")});
    const auto views = views::RunView::all(root.path());
    ASSERT_EQ(views.size(), 1u);
    EXPECT_EQ(views[0].cross_run_statuses, (StatusMap{{ref, NodeStatus::Blocked}}));
    EXPECT_EQ(views::derived_statuses(views[0]).at("x"), NodeStatus::Blocked);
}

TEST(CrossRun, OpenResolvesEachDistinctReferenceOfTheGraph) {
    RunsRoot root;
    root.run("up").launch().line(settle("build", "done")).line(settle("test", "failed"));
    auto run = root.run("down");
    run.launch().event({.kind = "run-started", .payload = testing::plan_payload(
        R"({"id":"a","deps":["run:up#build","local"]},{"id":"b","deps":["run:up#build","run:up#test"]},)"
        R"({"id":"c","deps":["run:missing#n","run:bad"]})")});
    const auto views = views::RunView::all(root.path());
    ASSERT_EQ(views.size(), 2u);
    const views::RunView& down = views[0];
    EXPECT_EQ(down.cross_run_statuses, (StatusMap{{"run:missing#n", NodeStatus::Blocked},
                                                  {"run:up#build", NodeStatus::Done},
                                                  {"run:up#test", NodeStatus::Blocked}}));
    EXPECT_EQ(views::derived_statuses(down),
              (StatusMap{{"a", NodeStatus::Ready}, {"b", NodeStatus::Blocked}, {"c", NodeStatus::Blocked}}));
}

}  // namespace
}  // namespace korvalle
