// Effective node statuses: what a run's journal recorded, completed by what the dependencies
// say, those on other runs' nodes included.
#pragma once

#include "sdk/plan/graph.hpp"

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace korvalle::views {

struct RunView;

// Statuses by node id, or by cross-run reference text.
using StatusMap = std::map<std::string, graph::NodeStatus>;

// The status of a cross-run reference as resolved when the view was opened, or none.
std::optional<graph::NodeStatus> cross_run_status(const RunView& view, std::string_view reference);

// The effective status of every graph node of the view (graph::derive_statuses with the
// view's graph, its recorded statuses and cross_run_status).
StatusMap derived_statuses(const RunView& view);

}  // namespace korvalle::views

namespace korvalle::graph {

// Answers the status of a whole cross-run reference text, with its context.
using CrossRunLookup = std::optional<NodeStatus> (*)(const views::RunView& context,
                                                     std::string_view reference);

// The effective status of every node of the graph, from the recorded statuses and the
// dependencies: one entry per id of graph.order that has a node.
std::map<std::string, NodeStatus> derive_statuses(const Graph& graph,
                                                  const std::map<std::string, NodeStatus>& recorded,
                                                  const views::RunView& context,
                                                  CrossRunLookup lookup);

}  // namespace korvalle::graph
