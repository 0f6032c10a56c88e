// Writing nodes and steps back as JSON object values, and copying nodes.
//
// The writers leave out exactly what the readers fill in for an absent key (the default kind,
// empty lists, false flags, absent optional fields), so a written object reads back equal.
// Optional fields that are set are always written, an empty text, a false verify_via_ci, a
// zero max_turns and an empty steps list included.
#include "sdk/plan/plan_write.hpp"

#include <boost/json/array.hpp>

namespace korvalle::plan {
namespace {

boost::json::array texts(const std::vector<std::string>& list) {
    boost::json::array out;
    out.reserve(list.size());
    for (const auto& entry : list) out.emplace_back(entry);
    return out;
}

void put_text(boost::json::object& out, std::string_view key,
              const std::optional<std::string>& value) {
    if (value) out.emplace(key, *value);
}

template <class Enum>
void put_word(boost::json::object& out, std::string_view key, const std::optional<Enum>& value) {
    if (value) out.emplace(key, word(*value));
}

// The keys that nodes and steps share, up to and including expects_no_diff.
template <class Record>
void put_common_head(boost::json::object& out, const Record& r) {
    out.emplace("id", r.id);
    if (r.kind != NodeKind::Agent) out.emplace("kind", word(r.kind));
    put_text(out, "task", r.task);
    put_text(out, "persona", r.persona);
    if (!r.deps.empty()) out.emplace("deps", texts(r.deps));
    put_text(out, "done_when", r.done_when);
    if (r.max_turns) out.emplace("max_turns", static_cast<std::uint64_t>(*r.max_turns));
    if (r.expects_no_diff) out.emplace("expects_no_diff", true);
}

boost::json::object resume_to_value(const Resume& resume) {
    boost::json::object out;
    out.emplace("branch", resume.branch);
    put_text(out, "checkpoint", resume.checkpoint);
    if (!resume.completed_steps.empty()) out.emplace("completed_steps", texts(resume.completed_steps));
    return out;
}

}  // namespace

boost::json::object step_to_value(const Step& step) {
    boost::json::object out;
    put_common_head(out, step);
    put_text(out, "executor", step.executor);
    put_text(out, "agent_graph", step.agent_graph);
    return out;
}

boost::json::object node_to_value(const Node& node) {
    boost::json::object out;
    put_common_head(out, node);
    put_text(out, "context", node.context);
    if (node.parked) out.emplace("parked", true);
    put_text(out, "executor", node.executor);
    put_text(out, "agent_graph", node.agent_graph);
    put_text(out, "repo", node.repo);
    put_word(out, "repo_type", node.repo_type);
    put_word(out, "workflow", node.workflow);
    put_word(out, "merge_policy", node.merge_policy);
    put_text(out, "base_branch", node.base_branch);
    put_text(out, "branch", node.branch);
    put_text(out, "title", node.title);
    put_text(out, "execution_checkout", node.execution_checkout);
    if (node.verify_via_ci) out.emplace("verify_via_ci", *node.verify_via_ci);
    if (node.steps) {
        boost::json::array steps;
        steps.reserve(node.steps->size());
        for (const auto& step : *node.steps) steps.emplace_back(step_to_value(step));
        out.emplace("steps", std::move(steps));
    }
    if (node.resume) out.emplace("resume", resume_to_value(*node.resume));
    return out;
}

// Every member is a value type, so the copy shares nothing with the source.
Node Node::clone() const { return *this; }

}  // namespace korvalle::plan
