// What may be asked of one run by id: the conversations and artifacts its journal names and the
// nodes of its graph, each with one id the run does not have.
#pragma once

#include "sdk/run/views.hpp"
#include "src/payload/conversation.hpp"

#include <set>
#include <string>

namespace korvalle::testing {

struct RunItems {
    std::set<std::string> conversations = {"no-such-session"};
    std::set<std::string> artifacts = {"no-such-artifact"};
    std::set<std::string> nodes = {"no-such-node"};
};

inline RunItems items_of(const views::RunView& view) {
    RunItems items;
    for (const auto& group : payload::session_groups(view)) items.conversations.emplace(group.session);
    for (const auto& envelope : view.envelopes) {
        for (const auto& ref : envelope.artifacts) items.artifacts.insert(ref.id);
    }
    items.nodes.insert(view.graph.order.begin(), view.graph.order.end());
    return items;
}

}  // namespace korvalle::testing
