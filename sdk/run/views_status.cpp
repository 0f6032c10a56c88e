// Effective node statuses: what the journal recorded, completed by what the dependencies say.
#include "sdk/run/crossdag.hpp"
#include "sdk/run/views.hpp"

namespace korvalle::graph {

namespace {

struct Marks {
    bool all_done = true;
    bool holding = false;
    bool failed = false;

    void add(NodeStatus status) {
        switch (status) {
        case NodeStatus::Done: break;
        case NodeStatus::Pending:
        case NodeStatus::Ready:
        case NodeStatus::Running: all_done = false; break;
        case NodeStatus::Waiting:
        case NodeStatus::Blocked:
        case NodeStatus::Parked:
        case NodeStatus::Cancelled: holding = true; all_done = false; break;
        case NodeStatus::Failed:
        case NodeStatus::Skipped: failed = true; all_done = false; break;
        }
    }
};

// The status a node's dependencies decide, or none while one of them is undecided.
std::optional<NodeStatus> decide(const Graph& graph, const plan::Node& node,
                                 const std::map<std::string, NodeStatus>& result,
                                 const views::RunView& context, CrossRunLookup lookup) {
    Marks marks;
    for (const std::string& dep : node.deps) {
        if (crossdag::parse_ref(dep)) {
            if (const std::optional<NodeStatus> status = lookup(context, dep)) {
                marks.add(*status);
            } else {
                marks.holding = true;
                marks.all_done = false;
            }
            continue;
        }
        if (!graph.nodes.contains(dep)) continue;  // not a node of this run: passed over
        const auto found = result.find(dep);
        if (found == result.end()) {
            marks.all_done = false;
        } else {
            marks.add(found->second);
        }
    }
    if (marks.failed) return NodeStatus::Skipped;
    if (marks.holding) return NodeStatus::Blocked;
    if (!marks.all_done) return std::nullopt;
    if (node.parked) return NodeStatus::Parked;
    if (node.kind == plan::NodeKind::Human) return NodeStatus::Waiting;
    return NodeStatus::Ready;
}

}  // namespace

std::map<std::string, NodeStatus> derive_statuses(const Graph& graph,
                                                  const std::map<std::string, NodeStatus>& recorded,
                                                  const views::RunView& context,
                                                  CrossRunLookup lookup) {
    std::map<std::string, NodeStatus> result;
    // Recorded statuses stand, except blocked and skipped, which are always derived afresh.
    for (const std::string& id : graph.order) {
        const auto node = graph.nodes.find(id);
        if (node == graph.nodes.end()) continue;
        const auto status = recorded.find(node->second.id);
        if (status != recorded.end() && status->second != NodeStatus::Blocked &&
            status->second != NodeStatus::Skipped) {
            result.emplace(node->second.id, status->second);
        }
    }
    // Decisions are visible at once, so a pass decides a chain in order; the result depends on
    // the graph's order and must not be computed any other way.
    for (bool decided = true; decided;) {
        decided = false;
        for (const std::string& id : graph.order) {
            const auto node = graph.nodes.find(id);
            if (node == graph.nodes.end() || result.contains(node->second.id)) continue;
            if (auto status = decide(graph, node->second, result, context, lookup)) {
                result.emplace(node->second.id, *status);
                decided = true;
            }
        }
    }
    for (const std::string& id : graph.order) {
        const auto node = graph.nodes.find(id);
        if (node != graph.nodes.end()) result.emplace(node->second.id, NodeStatus::Pending);
    }
    return result;
}

}  // namespace korvalle::graph

namespace korvalle::views {

std::optional<graph::NodeStatus> cross_run_status(const RunView& view, std::string_view reference) {
    const auto found = view.cross_run_statuses.find(std::string(reference));
    if (found == view.cross_run_statuses.end()) return std::nullopt;
    return found->second;
}

StatusMap derived_statuses(const RunView& view) {
    return graph::derive_statuses(view.graph, view.statuses, view, cross_run_status);
}

}  // namespace korvalle::views
