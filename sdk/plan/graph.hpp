// The task graph of one run, and the words of a node's status.
//
// A run's journal replay fills a graph from the plan that started the run and changes it with
// the recorded edits; the run projections turn it back into a plan. Node ids keep the order of
// their first insertion; the map by id is only a lookup structure and never gives an order.
#pragma once

#include "sdk/plan/plan.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvalle::graph {

// The state of a node, held in one byte. The values are in declared order, which callers use to
// compare and group statuses. Converts implicitly to its enumerator, so it compares, switches
// and orders like a plain enumeration: `status == NodeStatus::Done`.
struct NodeStatus {
    enum Value : std::uint8_t {
        Pending,
        Ready,
        Running,
        Waiting,
        Blocked,
        Parked,
        Cancelled,
        Done,
        Failed,
        Skipped,
    };

    Value value = Pending;

    constexpr NodeStatus() = default;
    constexpr NodeStatus(Value v) : value(v) {}
    constexpr operator Value() const { return value; }

    // The status whose word is exactly the text (case-sensitive, no trimming); nullopt for any
    // other text, the empty text included.
    static std::optional<NodeStatus> parse(std::string_view word);
    // "pending", "ready", "running", "waiting", "blocked", "parked", "cancelled", "done",
    // "failed", "skipped".
    std::string_view word() const;
};

struct Graph {
    std::vector<std::string> order;           // ids, in the order of first insertion
    std::map<std::string, plan::Node> nodes;  // the node of each id in order
    std::uint32_t concurrency = 4;            // carried into every plan built from the graph

    // A graph holding copies of the plan's tasks, in the plan's order, with its concurrency.
    // Of two tasks with one id, the second's fields stand at the first's position.
    static Graph from_plan(const plan::Plan& plan);

    // Adds the node, or replaces the node of the same id in place (the id keeps the position
    // of its first insertion).
    void insert(plan::Node node);

    // Drops the id from the order and returns its node; nullopt when there was none.
    std::optional<plan::Node> remove(const std::string& id);

    // A new plan with the base plan's schema version, goal and name, the graph's concurrency,
    // and copies of the graph's nodes in order.
    plan::Plan to_plan(const plan::Plan& base) const;
};

}  // namespace korvalle::graph
