#include "sdk/graph.hpp"

#include <gtest/gtest.h>

namespace korvalle::graph {
namespace {

plan::Node node(std::string id, std::string task = {}) {
    plan::Node n;
    n.id = std::move(id);
    if (!task.empty()) n.task = std::move(task);
    return n;
}

std::vector<std::string> ids(const std::vector<plan::Node>& tasks) {
    std::vector<std::string> out;
    for (const auto& t : tasks) out.push_back(t.id);
    return out;
}

using Ids = std::vector<std::string>;

TEST(NodeStatus, WordsParseBackInDeclaredOrder) {
    const Ids words = {"pending", "ready",     "running", "waiting", "blocked",
                       "parked",  "cancelled", "done",    "failed",  "skipped"};
    for (std::size_t i = 0; i < words.size(); ++i) {
        auto status = NodeStatus::parse(words[i]);
        ASSERT_TRUE(status.has_value()) << words[i];
        EXPECT_EQ(static_cast<int>(*status), static_cast<int>(i));
        EXPECT_EQ(status->word(), words[i]);
    }
    EXPECT_EQ(NodeStatus::parse("done"), NodeStatus::Done);
    EXPECT_EQ(NodeStatus::parse("cancelled"), NodeStatus::Cancelled);
    EXPECT_LT(NodeStatus(NodeStatus::Running), NodeStatus(NodeStatus::Done));
    EXPECT_EQ(sizeof(NodeStatus), 1u);
}

TEST(NodeStatus, OnlyExactWordsParse) {
    for (const char* text : {"Done", "DONE", " done", "done ", "", "canceled", "skip", "done\n"}) {
        EXPECT_FALSE(NodeStatus::parse(text).has_value()) << '"' << text << '"';
    }
}

TEST(Graph, ReinsertReplacesInPlace) {
    Graph g;
    g.insert(node("a", "first"));
    EXPECT_EQ(g.order, Ids{"a"});
    g.insert(node("b"));
    g.insert(node("c"));
    g.insert(node("a", "second"));
    EXPECT_EQ(g.order, (Ids{"a", "b", "c"}));
    ASSERT_EQ(g.nodes.size(), 3u);
    EXPECT_EQ(g.nodes.at("a").task, "second");
}

TEST(Graph, RemoveDropsFromOrderAndReturnsNode) {
    Graph g;
    for (const char* id : {"a", "b", "c"}) g.insert(node(id));

    EXPECT_FALSE(g.remove("x").has_value());
    EXPECT_EQ(g.order, (Ids{"a", "b", "c"}));
    EXPECT_EQ(g.nodes.size(), 3u);

    auto removed = g.remove("b");
    ASSERT_TRUE(removed.has_value());
    EXPECT_EQ(removed->id, "b");
    EXPECT_EQ(g.order, (Ids{"a", "c"}));
    EXPECT_FALSE(g.nodes.contains("b"));

    g.insert(node("b"));
    EXPECT_EQ(g.order, (Ids{"a", "c", "b"}));
}

TEST(Graph, FromPlanKeepsFirstPositionWithLastFields) {
    plan::Plan p;
    p.concurrency = 7;
    p.tasks = {node("a", "one"), node("b"), node("a", "two")};
    Graph g = Graph::from_plan(p);
    EXPECT_EQ(g.order, (Ids{"a", "b"}));
    EXPECT_EQ(g.nodes.at("a").task, "two");
    EXPECT_EQ(g.concurrency, 7u);
}

TEST(Graph, ToPlanTakesBaseHeaderAndGraphConcurrency) {
    plan::Plan base;
    base.schema_version = 3;
    base.goal = plan::Goal{"ship it"};
    base.name = "";
    base.concurrency = 9;
    base.tasks = {node("ignored")};

    Graph empty;
    empty.concurrency = 2;
    plan::Plan rebuilt = empty.to_plan(base);
    EXPECT_EQ(rebuilt.schema_version, 3u);
    EXPECT_EQ(rebuilt.goal, base.goal);
    EXPECT_EQ(rebuilt.name, std::optional<std::string>(""));
    EXPECT_EQ(rebuilt.concurrency, 2u);
    EXPECT_TRUE(rebuilt.tasks.empty());

    Graph g;
    g.concurrency = 1;
    for (const char* id : {"z", "a", "m"}) g.insert(node(id));
    rebuilt = g.to_plan(plan::Plan{});
    EXPECT_EQ(ids(rebuilt.tasks), (Ids{"z", "a", "m"}));  // insertion order, not key order
    EXPECT_FALSE(rebuilt.goal.has_value());
    EXPECT_FALSE(rebuilt.name.has_value());

    // The plan holds copies: changing it leaves the graph alone.
    rebuilt.tasks[0].task = "changed";
    EXPECT_FALSE(g.nodes.at("z").task.has_value());
}

TEST(Graph, ToPlanSkipsIdsWithoutNode) {
    Graph g;
    g.insert(node("a"));
    g.order.push_back("ghost");
    EXPECT_EQ(ids(g.to_plan(plan::Plan{}).tasks), Ids{"a"});
}

}  // namespace
}  // namespace korvalle::graph
