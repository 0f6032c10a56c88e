// Effective node statuses: what the journal recorded, completed by what the dependencies say.
#include "sdk/run/statuses.hpp"

#include "sdk/run/crossdag.hpp"
#include "sdk/run/views.hpp"

#include <cstdint>
#include <functional>
#include <queue>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace korvalle::graph {

namespace {

// The derivation is defined by passes over the graph's order, repeated until one decides
// nothing, where each decision is visible at once to the nodes after it in the same pass. A
// decision needs a dependency that is done, failed or holding; a decided node is never done
// (it is skipped, blocked, parked, waiting or ready), so a node with an undecided dependency
// can only be decided through a failed or holding mark. Each decision therefore depends on the
// moment (pass, position) at which such marks reach it: a mark set by the node at position j in
// pass p reaches the node at position i in pass p when i > j, and in pass p + 1 otherwise.
// Replaying those moments in time order, each node and each dependency edge once, gives the
// passes' result without running them: a chain listed against its order used to take one pass
// per node, each pass visiting every node.

enum class Mark : std::uint8_t { None, NotDone, Holding, Failed };

Mark mark_of(NodeStatus status) {
    switch (status) {
    case NodeStatus::Done: return Mark::None;
    case NodeStatus::Pending:
    case NodeStatus::Ready:
    case NodeStatus::Running: return Mark::NotDone;
    case NodeStatus::Waiting:
    case NodeStatus::Blocked:
    case NodeStatus::Parked:
    case NodeStatus::Cancelled: return Mark::Holding;
    case NodeStatus::Failed:
    case NodeStatus::Skipped: return Mark::Failed;
    }
    return Mark::NotDone;
}

// One node of the order while its status is derived.
struct Slot {
    const plan::Node* node = nullptr;
    std::optional<NodeStatus> status;  // recorded (kept) or decided
    bool failed = false;               // a failed dependency has reached it
    bool holding = false;              // a holding dependency has reached it
    bool all_done = true;              // every dependency is known and done
    std::vector<std::size_t> dependents;  // positions of the undecided nodes that depend on it
};

// The decision of a node whose marks allow one.
NodeStatus decision(const Slot& slot) {
    if (slot.failed) return NodeStatus::Skipped;
    if (slot.holding) return NodeStatus::Blocked;
    if (slot.node->parked) return NodeStatus::Parked;
    if (slot.node->kind == plan::NodeKind::Human) return NodeStatus::Waiting;
    return NodeStatus::Ready;
}

bool decidable(const Slot& slot) { return slot.failed || slot.holding || slot.all_done; }

// Nodes of the order with their recorded statuses: blocked and skipped are always derived
// afresh, every other recorded status stands.
std::vector<Slot> seeded_slots(const Graph& graph, const std::map<std::string, NodeStatus>& recorded,
                               std::unordered_map<std::string_view, std::size_t>& position) {
    std::vector<Slot> slots;
    slots.reserve(graph.order.size());
    for (const std::string& id : graph.order) {
        const auto node = graph.nodes.find(id);
        if (node == graph.nodes.end() || !position.emplace(node->second.id, slots.size()).second) continue;
        Slot slot;
        slot.node = &node->second;
        const auto status = recorded.find(node->second.id);
        if (status != recorded.end() && status->second != NodeStatus::Blocked &&
            status->second != NodeStatus::Skipped) {
            slot.status = status->second;
        }
        slots.push_back(std::move(slot));
    }
    return slots;
}

void add_mark(Slot& slot, Mark mark) {
    if (mark != Mark::None) slot.all_done = false;
    if (mark == Mark::Holding) slot.holding = true;
    if (mark == Mark::Failed) slot.failed = true;
}

// Marks what is known before the first pass (recorded statuses and cross-run references) and
// links each undecided dependency to the nodes waiting on it.
void link_dependencies(std::vector<Slot>& slots, const std::unordered_map<std::string_view, std::size_t>& position,
                       const views::RunView& context, CrossRunLookup lookup) {
    for (std::size_t at = 0; at < slots.size(); ++at) {
        Slot& slot = slots[at];
        if (slot.status) continue;
        for (const std::string& dep : slot.node->deps) {
            if (crossdag::parse_ref(dep)) {
                const std::optional<NodeStatus> status = lookup(context, dep);
                add_mark(slot, status ? mark_of(*status) : Mark::Holding);
                continue;
            }
            const auto found = position.find(dep);
            if (found == position.end()) continue;  // not a node of this run: passed over
            Slot& target = slots[found->second];
            if (target.status) {
                add_mark(slot, mark_of(*target.status));
            } else {
                slot.all_done = false;
                target.dependents.push_back(at);
            }
        }
    }
}

}  // namespace

std::map<std::string, NodeStatus> derive_statuses(const Graph& graph,
                                                  const std::map<std::string, NodeStatus>& recorded,
                                                  const views::RunView& context,
                                                  CrossRunLookup lookup) {
    std::unordered_map<std::string_view, std::size_t> position;
    std::vector<Slot> slots = seeded_slots(graph, recorded, position);
    link_dependencies(slots, position, context, lookup);

    // Positions due in the current pass and in the next one, smallest first.
    using Due = std::priority_queue<std::size_t, std::vector<std::size_t>, std::greater<>>;
    Due now, next;
    for (std::size_t at = 0; at < slots.size(); ++at) {
        if (!slots[at].status && decidable(slots[at])) now.push(at);
    }
    while (!now.empty()) {
        while (!now.empty()) {
            const std::size_t at = now.top();
            now.pop();
            Slot& slot = slots[at];
            if (slot.status) continue;
            slot.status = decision(slot);
            const Mark mark = mark_of(*slot.status);
            if (mark != Mark::Holding && mark != Mark::Failed) continue;  // ready reaches nobody
            for (const std::size_t waiting : slot.dependents) {
                if (slots[waiting].status) continue;
                add_mark(slots[waiting], mark);
                (waiting > at ? now : next).push(waiting);
            }
        }
        std::swap(now, next);
    }

    std::map<std::string, NodeStatus> result;
    for (const Slot& slot : slots) result.emplace(slot.node->id, slot.status.value_or(NodeStatus::Pending));
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
