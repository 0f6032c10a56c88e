// Node statuses and the insertion-ordered graph: insert, remove, from_plan and to_plan.
#include "sdk/plan/graph.hpp"
#include "tests/plan/messages.hpp"

#include <gtest/gtest.h>

namespace korvalle::graph {
namespace {

using Ids = std::vector<std::string>;

plan::Node node(std::string id, std::optional<std::string> task = std::nullopt) {
    return plan::Node{.id = std::move(id), .task = std::move(task)};
}

Ids ids(const std::vector<plan::Node>& tasks) {
    Ids out;
    for (const auto& t : tasks) out.push_back(t.id);
    return out;
}

TEST(NodeStatus, ExactWordsParseBackInDeclaredOrder) {
    const Ids words = {"pending", "ready", "running", "waiting", "blocked",
                       "parked", "cancelled", "done", "failed", "skipped"};
    for (std::size_t i = 0; i < words.size(); ++i) {
        auto status = NodeStatus::parse(words[i]);
        ASSERT_TRUE(status.has_value()) << words[i];
        EXPECT_EQ(static_cast<std::size_t>(*status), i);
        EXPECT_EQ(status->word(), words[i]);
    }
    for (const char* text : {"Done", "DONE", " done", "done ", "", "canceled", "skip", "done\n"}) {
        EXPECT_FALSE(NodeStatus::parse(text).has_value()) << '"' << text << '"';
    }
}

TEST(Graph, InsertReplacesInPlaceAndRemoveDropsFromOrder) {
    Graph g;
    for (const char* id : {"a", "b", "c"}) g.insert(node(id, "first"));
    g.insert(node("a", "second"));
    EXPECT_EQ(g.order, (Ids{"a", "b", "c"}));
    ASSERT_EQ(g.nodes.size(), 3u);
    EXPECT_EQ(g.nodes.at("a").task, "second");

    EXPECT_FALSE(g.remove("x").has_value());
    EXPECT_EQ(g.order, (Ids{"a", "b", "c"}));
    EXPECT_EQ(g.remove("b"), node("b", "first"));
    EXPECT_EQ(g.order, (Ids{"a", "c"}));
    EXPECT_FALSE(g.nodes.contains("b"));
    g.insert(node("b"));
    EXPECT_EQ(g.order, (Ids{"a", "c", "b"}));
}

TEST(Graph, FromPlanKeepsFirstPositionWithLastFields) {
    Graph g = Graph::from_plan(plan::Plan{.concurrency = 7, .tasks = {node("a", "one"), node("b"), node("a", "two")}});
    EXPECT_EQ(g.order, (Ids{"a", "b"}));
    EXPECT_EQ(g.nodes.at("a").task, "two");
    EXPECT_EQ(g.concurrency, 7u);
}

TEST(Graph, ToPlanTakesBaseHeaderAndGraphConcurrency) {
    const plan::Plan base{
        .schema_version = 3, .goal = plan::Goal{"ship it"}, .name = "", .concurrency = 9, .tasks = {node("ignored")}};
    Graph empty;
    empty.concurrency = 2;
    EXPECT_EQ(empty.to_plan(base), (plan::Plan{.schema_version = 3, .goal = base.goal, .name = "", .concurrency = 2}));

    Graph g;
    g.concurrency = 1;
    for (const char* id : {"z", "a", "m"}) g.insert(node(id));
    g.order.push_back("ghost");  // an id without a node is skipped
    plan::Plan rebuilt = g.to_plan(plan::Plan{});
    EXPECT_EQ(ids(rebuilt.tasks), (Ids{"z", "a", "m"}));  // insertion order, not key order
    EXPECT_FALSE(rebuilt.goal.has_value());
    EXPECT_FALSE(rebuilt.name.has_value());
    // The plan holds copies: changing it leaves the graph alone.
    rebuilt.tasks[0].task = "changed";
    EXPECT_FALSE(g.nodes.at("z").task.has_value());
}

}  // namespace
}  // namespace korvalle::graph
