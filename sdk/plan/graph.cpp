#include "sdk/plan/graph.hpp"

#include <algorithm>
#include <array>

namespace korvalle::graph {
namespace {

constexpr std::array<std::string_view, 10> kStatusWords = {
    "pending", "ready", "running", "waiting", "blocked",
    "parked",  "cancelled", "done", "failed", "skipped",
};

}  // namespace

std::optional<NodeStatus> NodeStatus::parse(std::string_view word) {
    for (std::size_t i = 0; i < kStatusWords.size(); ++i) {
        if (kStatusWords[i] == word) return NodeStatus(static_cast<Value>(i));
    }
    return std::nullopt;
}

std::string_view NodeStatus::word() const { return kStatusWords.at(value); }

Graph Graph::from_plan(const plan::Plan& plan) {
    Graph graph;
    graph.concurrency = plan.concurrency;
    for (const auto& task : plan.tasks) graph.insert(task.clone());
    return graph;
}

void Graph::insert(plan::Node node) {
    auto found = nodes.find(node.id);
    if (found != nodes.end()) {
        found->second = std::move(node);
        return;
    }
    order.push_back(node.id);
    std::string id = node.id;
    nodes.emplace(std::move(id), std::move(node));
}

std::optional<plan::Node> Graph::remove(const std::string& id) {
    std::erase(order, id);
    auto found = nodes.find(id);
    if (found == nodes.end()) return std::nullopt;
    plan::Node node = std::move(found->second);
    nodes.erase(found);
    return node;
}

plan::Plan Graph::to_plan(const plan::Plan& base) const {
    plan::Plan out;
    out.schema_version = base.schema_version;
    out.goal = base.goal;
    out.name = base.name;
    out.concurrency = concurrency;
    out.tasks.reserve(order.size());
    for (const auto& id : order) {
        auto found = nodes.find(id);
        if (found != nodes.end()) out.tasks.push_back(found->second.clone());
    }
    return out;
}

}  // namespace korvalle::graph
