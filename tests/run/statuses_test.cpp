// Effective node statuses and dependencies on other runs.
#include "sdk/run/statuses.hpp"

#include "sdk/run/crossdag.hpp"
#include "tests/run/run_support.hpp"

#include <random>

namespace korvalle {
namespace {

using graph::NodeStatus;
using testing::RunsRoot;
using views::StatusMap;
using enum graph::NodeStatus::Value;

plan::Node node(std::string id, std::vector<std::string> deps = {}, bool parked = false,
                plan::NodeKind kind = plan::NodeKind::Agent) {
    plan::Node n;
    n.id = std::move(id);
    n.deps = std::move(deps);
    n.parked = parked;
    n.kind = kind;
    return n;
}

plan::Node human(std::string id, std::vector<std::string> deps = {}, bool parked = false) {
    return node(std::move(id), std::move(deps), parked, plan::NodeKind::Human);
}

TEST(Statuses, DerivationFromRecordsAndDependencies) {
    struct Case {
        const char* what;
        std::vector<plan::Node> nodes;  // in graph order
        StatusMap recorded;
        StatusMap expected;
    };
    const Case cases[] = {
        {"records of ids outside the graph", {}, {{"ghost", Done}}, {}},
        {"a chain decides in order", {node("a"), node("b", {"a"}), node("c", {"b"})}, {},
         {{"a", Ready}, {"b", Pending}, {"c", Pending}}},
        {"a done", {node("a"), node("b", {"a"}), node("c", {"b"})}, {{"a", Done}},
         {{"a", Done}, {"b", Ready}, {"c", Pending}}},
        {"a failure skips the chain", {node("a"), node("b", {"a"}), node("c", {"b"})}, {{"a", Failed}},
         {{"a", Failed}, {"b", Skipped}, {"c", Skipped}}},
        {"c before b in the order is decided in a later pass", {node("c", {"b"}), node("b", {"a"}), node("a")},
         {{"a", Failed}}, {{"a", Failed}, {"b", Skipped}, {"c", Skipped}}},
        {"recorded blocked and skipped are derived afresh", {node("a"), node("p", {}, true)},
         {{"a", Blocked}, {"p", Skipped}}, {{"a", Ready}, {"p", Parked}}},
        {"humans wait, parked nodes park", {node("a"), human("h", {"a"}), human("hp", {"a"}, true)}, {{"a", Done}},
         {{"a", Done}, {"h", Waiting}, {"hp", Parked}}},
        {"failed beats holding beats done",
         {node("f"), human("w"), node("d"), node("c"), node("x", {"f", "w"}), node("y", {"d", "c"}),
          node("z", {"d", "w"})},
         {{"f", Failed}, {"d", Done}, {"c", Cancelled}},
         {{"f", Failed}, {"w", Waiting}, {"d", Done}, {"c", Cancelled}, {"x", Skipped}, {"y", Blocked},
          {"z", Blocked}}},
        {"recorded statuses stand whatever the dependencies say", {node("a"), node("b", {"a"})},
         {{"a", Failed}, {"b", Running}}, {{"a", Failed}, {"b", Running}}},
        {"unknown local dependencies and malformed references hold nothing; cycles stay pending",
         {node("lone", {"nobody", "run:bad"}), node("s", {"s"}), node("p", {"q"}), node("q", {"p"})}, {},
         {{"lone", Ready}, {"s", Pending}, {"p", Pending}, {"q", Pending}}},
    };
    for (const Case& c : cases) {
        views::RunView view;
        for (const plan::Node& n : c.nodes) view.graph.insert(n.clone());
        view.statuses = c.recorded;
        EXPECT_EQ(views::derived_statuses(view), c.expected) << c.what;
    }
}

TEST(Statuses, OtherRunsDecideTheirReferences) {
    views::RunView view;
    for (auto& n : {node("none", {"run:up#missing"}), node("done", {"run:up#d"}), node("running", {"run:up#r"})}) {
        view.graph.insert(n.clone());
    }
    view.cross_run_statuses = {{"run:up#d", Done}, {"run:up#r", Running}};
    EXPECT_EQ(views::derived_statuses(view), (StatusMap{{"none", Blocked}, {"done", Ready}, {"running", Pending}}));
    EXPECT_EQ(views::cross_run_status(view, "run:up#d"), Done);
    EXPECT_FALSE(views::cross_run_status(view, "run:up#missing"));
}

// The derivation as it is defined: passes over the order until one decides nothing, each
// decision visible at once. Slow (a pass per decision), kept here as the reference.
StatusMap derived_by_passes(const views::RunView& view) {
    const graph::Graph& graph = view.graph;
    StatusMap result;
    for (const std::string& id : graph.order) {
        const auto status = view.statuses.find(id);
        if (status != view.statuses.end() && status->second != Blocked && status->second != Skipped) {
            result.emplace(id, status->second);
        }
    }
    for (bool decided = true; decided;) {
        decided = false;
        for (const std::string& id : graph.order) {
            const plan::Node& n = graph.nodes.at(id);
            if (result.contains(id)) continue;
            bool all_done = true, holding = false, failed = false;
            for (const std::string& dep : n.deps) {
                std::optional<NodeStatus> status;
                if (crossdag::parse_ref(dep)) {
                    status = views::cross_run_status(view, dep);
                    if (!status) status = Blocked;
                } else if (!graph.nodes.contains(dep)) {
                    continue;
                } else if (result.contains(dep)) {
                    status = result.at(dep);
                }
                if (!status) {
                    all_done = false;
                } else if (*status == Failed || *status == Skipped) {
                    failed = true;
                } else if (*status == Waiting || *status == Blocked || *status == Parked || *status == Cancelled) {
                    holding = true;
                }
                if (status != Done) all_done = false;
            }
            std::optional<NodeStatus> decision;
            if (failed) decision = Skipped;
            else if (holding) decision = Blocked;
            else if (all_done) decision = n.parked ? Parked : n.kind == plan::NodeKind::Human ? Waiting : Ready;
            if (decision) {
                result.emplace(id, *decision);
                decided = true;
            }
        }
    }
    for (const std::string& id : graph.order) result.emplace(id, Pending);
    return result;
}

TEST(Statuses, TheOneWalkGivesWhatThePassesGiveOnRandomGraphs) {
    const NodeStatus statuses[] = {Pending, Ready, Running, Done, Waiting, Blocked, Parked, Cancelled, Failed, Skipped};
    std::mt19937 random(20261207);
    const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
    for (int trial = 0; trial < 3000; ++trial) {
        const std::size_t count = 1 + pick(12);
        views::RunView view;
        for (std::size_t i = 0; i < count; ++i) {
            std::vector<std::string> deps;
            for (std::size_t d = pick(4); d > 0; --d) {
                const std::size_t kind = pick(10);
                if (kind < 7) deps.push_back("n" + std::to_string(pick(count)));
                else if (kind == 7) deps.push_back("nobody");
                else deps.push_back("run:up#" + std::to_string(pick(4)));
            }
            view.graph.insert(node("n" + std::to_string(pick(count * 2)), deps, pick(5) == 0,
                                   pick(4) == 0 ? plan::NodeKind::Human : plan::NodeKind::Agent));
            if (pick(3) == 0) view.statuses["n" + std::to_string(pick(count * 2))] = statuses[pick(10)];
        }
        for (int r = 0; r < 3; ++r) view.cross_run_statuses["run:up#" + std::to_string(r)] = statuses[pick(10)];
        ASSERT_EQ(views::derived_statuses(view), derived_by_passes(view)) << "trial " << trial;
    }
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
    EXPECT_EQ(statuses, (StatusMap{{"run:gone#x", Blocked}, {"run:up#df", Blocked},
                                   {"run:up#fd", Done}, {"run:up#fd2", Done},
                                   {"run:up#never", Blocked}, {"run:up#other", Blocked},
                                   {"run:up#raw", Done}, {"run:up#sk", Blocked},
                                   {"run:up#unk", Done}}));
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
              (StatusMap{{"run:up#deep", Blocked}, {"run:up#ok", Done}}));
}

TEST(CrossRun, NulInARunTextIsBlockedAndReadsNothing) {
    RunsRoot root;
    root.run("a").line(settle("n", "done"));
    const std::string ref = std::string("run:a\0b#n", 9);
    ASSERT_TRUE(crossdag::parse_ref(ref));
    EXPECT_EQ(crossdag::resolve_quietly({ref, "run:a#n"}, root.path()),
              (StatusMap{{ref, Blocked}, {"run:a#n", Done}}));

    // The same through a journal, where the reference arrives as an escaped JSON string.
    auto run = root.run("down");
    run.launch().event({.kind = "run-started",
                        .payload = testing::plan_payload(R"({"id":"x","deps":["run:a\u0000b#n"]})")});
    const auto views = views::RunView::all(root.path());
    ASSERT_EQ(views.size(), 1u);
    EXPECT_EQ(views[0].cross_run_statuses, (StatusMap{{ref, Blocked}}));
    EXPECT_EQ(views::derived_statuses(views[0]).at("x"), Blocked);
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
    EXPECT_EQ(down.cross_run_statuses, (StatusMap{{"run:missing#n", Blocked},
                                                  {"run:up#build", Done},
                                                  {"run:up#test", Blocked}}));
    EXPECT_EQ(views::derived_statuses(down),
              (StatusMap{{"a", Ready}, {"b", Blocked}, {"c", Blocked}}));
}

}  // namespace
}  // namespace korvalle
