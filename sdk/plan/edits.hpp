// Graph edit operations: the changes to a run's task graph that "edit-committed" journal
// events carry in their "operations" array. Only read here; the journal replay applies them.
#pragma once

#include "sdk/plan/plan.hpp"

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace korvalle::edits {

// What happens to the nodes that depend on a dropped node (carried, not applied).
enum class DependentsPolicy : std::uint8_t { Drop, Detach };  // "drop", "detach"
// When a context note is delivered.
enum class Delivery : std::uint8_t { Live, Deferred };  // "live", "deferred"

// The variants, in declared order; each lists its fields in declared order (the order of the
// array form).
struct NodeAdded {
    plan::Node node;
    std::optional<std::string> retry_of;  // the node the added one retries
    bool operator==(const NodeAdded&) const = default;
};
struct EdgeAdded {
    std::string from;  // the dependency
    std::string to;    // the dependent node
    bool operator==(const EdgeAdded&) const = default;
};
struct EdgeRemoved {
    std::string from;
    std::string to;
    bool operator==(const EdgeRemoved&) const = default;
};
struct NodeDropped {
    std::string node;
    DependentsPolicy dependents = DependentsPolicy::Drop;
    bool operator==(const NodeDropped&) const = default;
};
struct Reparent {
    std::string node;
    std::vector<std::string> from;  // the deps list being replaced (not compared)
    std::vector<std::string> to;    // the new deps list
    bool operator==(const Reparent&) const = default;
};
struct RetryRequested {
    std::string node;
    std::string replacement;
    std::vector<std::string> reset;
    bool operator==(const RetryRequested&) const = default;
};
struct NodeParked {
    std::string node;
    bool operator==(const NodeParked&) const = default;
};
struct NodeRequeued {
    std::string node;
    std::optional<boost::json::object> amend;  // members set over the node's JSON object form
    bool operator==(const NodeRequeued&) const = default;
};
struct HumanAttested {
    std::string node;
    bool operator==(const HumanAttested&) const = default;
};
struct CompletionRequested {
    std::string reason;
    bool operator==(const CompletionRequested&) const = default;
};
struct ContextAdded {
    std::string node;
    std::string note;
    Delivery delivery = Delivery::Deferred;  // also when the member is absent
    bool operator==(const ContextAdded&) const = default;
};

// Named on the wire by "kind": "node-added", "edge-added", "edge-removed", "node-dropped",
// "reparent", "retry-requested", "node-parked", "node-requeued", "human-attested",
// "completion-requested", "context-added".
using Operation = std::variant<NodeAdded, EdgeAdded, EdgeRemoved, NodeDropped, Reparent,
                               RetryRequested, NodeParked, NodeRequeued, HumanAttested,
                               CompletionRequested, ContextAdded>;

// Reads one operation from an object (members in any order, "kind" among them, unknown
// members ignored) or an array (the kind word, then the fields by position). Returns the
// operation or the first fault, which has no place.
Result<Operation> read_operation(boost::json::value value);

}  // namespace korvalle::edits
