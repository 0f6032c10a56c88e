// Journal replay: folds one envelope at a time into a run view's replay state. Nothing here fails; whatever an
// envelope lacks or holds in an unexpected form is passed over.
#include "sdk/run/views.hpp"

#include "sdk/plan/edits.hpp"
#include "sdk/plan/plan_write.hpp"
#include "sdk/run/run_text.hpp"

#include <algorithm>
#include <array>
#include <limits>

namespace korvalle::views {

namespace {

using graph::NodeStatus;

// Counters saturate: a journal can never wrap them back to 0.
void bump(std::uint64_t& counter) {
    if (counter != std::numeric_limits<std::uint64_t>::max()) ++counter;
}

const boost::json::string* string_at(const boost::json::object& payload, std::string_view key) {
    const boost::json::value* value = payload.if_contains(key);
    return value ? value->if_string() : nullptr;
}

// A JSON number written as a non-negative integer.
std::optional<std::uint64_t> unsigned_at(const boost::json::object& payload, std::string_view key) {
    const boost::json::value* value = payload.if_contains(key);
    if (value == nullptr) return std::nullopt;
    if (value->is_uint64()) return value->get_uint64();
    if (value->is_int64() && value->get_int64() >= 0) return static_cast<std::uint64_t>(value->get_int64());
    return std::nullopt;
}

std::string text_of(const boost::json::string* value) {
    return value ? std::string(value->data(), value->size()) : std::string();
}

// Replaces the graph with the payload's plan; returns the plan when there was a valid one.
std::optional<plan::Plan> take_plan(ReplayState& view, const boost::json::object& payload) {
    std::optional<plan::Plan> plan = plan::plan_from_value(payload);
    if (plan) view.graph = graph::Graph::from_plan(*plan);
    return plan;
}

// The "name detail" text of an activity report into text, unless the report has neither: whether
// it did.
bool activity_text(const event::Envelope& envelope, std::optional<std::string>& text) {
    std::array<std::string, 2> scratch;
    const auto [found_name, found_detail] = envelope.payload.string_members<2>({"name", "detail"}, scratch);
    const std::string_view name = found_name.value_or("");
    const std::string_view detail = found_detail.value_or("");
    if (name.empty() && detail.empty()) return false;
    // Most envelopes of a busy node are activity reports: reuse the text's buffer.
    std::string& kept = text ? *text : text.emplace();
    kept.assign(name);
    if (!name.empty() && !detail.empty()) kept += ' ';
    kept += detail;
    return true;
}

bool is_activity_report(const event::Envelope& envelope) {
    return envelope.source != event::EventSource::Pipeline && envelope.labels.node && envelope.kind == "turn-activity";
}

// reports: where a report at position in the view's envelopes goes, or none to make its text now.
void note_activity(ReplayState& view, const event::Envelope& envelope, std::optional<std::uint64_t> t,
                   std::size_t position, ActivityReports* reports) {
    if (!envelope.labels.node) return;
    const std::string node(*envelope.labels.node);
    NodeActivity& activity = view.activity[node];
    bump(activity.count);
    if (t) activity.last_at = t;
    if (envelope.kind != "turn-activity") return;
    if (reports) {
        reports->add(node, position);
    } else {
        activity_text(envelope, activity.text);
    }
}

void settle(ReplayState& view, const std::string& node, const event::ObjectText& payload,
            std::optional<std::uint64_t> t) {
    std::array<std::string, 4> scratch;
    const auto [word, outcome, branch, url] =
        payload.string_members<4>({"status", "outcome", "branch", "change_url"}, scratch);
    if (word) {
        if (auto status = NodeStatus::parse(*word)) view.statuses[node] = *status;
    }
    if (outcome) view.outcomes[node] = std::string(*outcome);
    if (branch) view.branches[node] = std::string(*branch);
    if (const std::optional<boost::json::value> steps = payload.member("completed_steps")) {
        if (const auto* items = steps->if_array()) view.completed_steps[node] = json_string_array(*items);
    }
    if (url) view.change_urls[node] = std::string(*url);
    if (t) view.settled_at[node] = *t;
}

void round_started(ReplayState& view, const event::Envelope& envelope, std::size_t position,
                   ActivityReports* reports) {
    if (envelope.labels.round) {
        view.round = *envelope.labels.round;
    } else {
        bump(view.round);
    }
    view.in_round = true;
    view.statuses.clear();
    view.outcomes.clear();
    view.deferred_contexts.clear();
    view.activity.clear();
    if (reports) reports->clear(position);
    std::optional<plan::Plan> plan = take_plan(view, envelope.payload.read());
    if (plan && !view.plan) view.plan = std::move(plan);
}

void dispatched(ReplayState& view, const std::string& node, std::optional<std::uint64_t> t) {
    view.statuses[node] = NodeStatus::Running;
    if (t) view.dispatched_at[node] = *t;
}

void human_attested(ReplayState& view, const boost::json::object& payload) {
    const auto* ref = string_at(payload, "ref");
    if (!ref) return;
    view.attested.insert(text_of(ref));
    view.statuses[text_of(ref)] = NodeStatus::Done;
}

// The first "last_seq" recorded for a dependency stands.
void cross_dag_satisfied(ReplayState& view, const boost::json::object& payload) {
    const auto* dependency = string_at(payload, "dependency");
    const std::optional<std::uint64_t> last_seq = unsigned_at(payload, "last_seq");
    if (dependency && last_seq) view.cross_dag_satisfied.try_emplace(text_of(dependency), *last_seq);
}

void upstream_modified(ReplayState& view, const boost::json::object& payload, const std::optional<std::string>& node) {
    const auto* dependency = string_at(payload, "dependency");
    if (!dependency) return;
    bump(view.upstream_modified[text_of(dependency)]);
    if (node) view.upstream_modified_nodes.emplace(text_of(dependency), *node);
}

void apply_pipeline(ReplayState& view, const event::Envelope& envelope, std::optional<std::uint64_t> t,
                    std::size_t position, ActivityReports* reports) {
    const std::string_view kind = envelope.kind;
    // Read only for the kinds that look into it: most pipeline envelopes do not.
    const auto payload = [&envelope] { return envelope.payload.read(); };
    // The maps below are keyed by owned texts.
    const std::optional<std::string> node(envelope.labels.node.optional());
    if (kind == "run-started") {
        if (std::optional<plan::Plan> plan = take_plan(view, payload())) view.plan = std::move(plan);
    } else if (kind == "round-started") {
        round_started(view, envelope, position, reports);
    } else if (kind == "round-finished") {
        view.in_round = false;
    } else if (kind == "node-dispatched") {
        if (node) dispatched(view, *node, t);
    } else if (kind == "node-settled") {
        if (node) settle(view, *node, envelope.payload, t);
    } else if (kind == "edit-committed") {
        apply_edits(view, payload());
    } else if (kind == "planner-surface-queued") {
        bump(view.surface_queued);
    } else if (kind == "planner-surfaced") {
        bump(view.surfaced);
        view.planner_surfaced_at = t;
    } else if (kind == "human-attested") {
        human_attested(view, payload());
    } else if (kind == "run-stopped") {
        view.in_round = false;
        view.stopped = true;
    } else if (kind == "cross-dag-satisfied") {
        cross_dag_satisfied(view, payload());
    } else if (kind == "upstream-modified") {
        upstream_modified(view, payload(), node);
    } else if (kind == "completion-requested") {
        if (auto reason = envelope.payload.string_member("reason")) view.completion_reasons.push_back(std::move(*reason));
    }
    // "edit-rejected", "planner-replied", "driver-adopted", "quiet-worker",
    // "round-budget-exceeded", "boundary-retried" and unknown kinds change nothing more.
}

// ---- Edit operations. ----

plan::Node* graph_node(ReplayState& view, const std::string& id) {
    const auto found = view.graph.nodes.find(id);
    return found == view.graph.nodes.end() ? nullptr : &found->second;
}

// The node written out, its parked mark dropped, the amend laid over it and read back; the
// node stays as it was when that fails.
void requeue(ReplayState& view, const plan::Node& node, const std::optional<boost::json::object>& amend) {
    boost::json::object object = plan::node_to_value(node);
    object.erase("parked");
    if (amend) {
        for (const auto& member : *amend) object[member.key()] = member.value();
    }
    Result<plan::Node> read = plan::node_from_value(boost::json::value(std::move(object)));
    if (read) view.graph.insert(std::move(read).value());
}

struct ApplyOperation {
    ReplayState& view;

    void operator()(const edits::NodeAdded& op) { view.graph.insert(op.node); }
    void operator()(const edits::EdgeAdded& op) {
        if (plan::Node* node = graph_node(view, op.to)) {
            if (std::find(node->deps.begin(), node->deps.end(), op.from) == node->deps.end()) {
                node->deps.push_back(op.from);
            }
        }
    }
    void operator()(const edits::EdgeRemoved& op) {
        if (plan::Node* node = graph_node(view, op.to)) std::erase(node->deps, op.from);
    }
    void operator()(const edits::NodeDropped& op) { view.graph.remove(op.node); }
    void operator()(const edits::Reparent& op) {
        if (plan::Node* node = graph_node(view, op.node)) node->deps = op.to;
    }
    void operator()(const edits::RetryRequested& op) { view.statuses[op.node] = NodeStatus::Cancelled; }
    void operator()(const edits::NodeParked& op) {
        if (plan::Node* node = graph_node(view, op.node)) node->parked = true;
        view.statuses[op.node] = NodeStatus::Parked;
    }
    void operator()(const edits::NodeRequeued& op) {
        if (const plan::Node* node = graph_node(view, op.node)) requeue(view, *node, op.amend);
        view.statuses.erase(op.node);
    }
    void operator()(const edits::HumanAttested& op) {
        view.attested.insert(op.node);
        view.statuses[op.node] = NodeStatus::Done;
    }
    void operator()(const edits::CompletionRequested&) {}
    void operator()(const edits::ContextAdded& op) {
        if (op.delivery != edits::Delivery::Deferred) return;
        if (plan::Node* node = graph_node(view, op.node)) node->context = op.note;
        view.deferred_contexts[op.node] = op.note;
    }
};

}  // namespace

std::vector<std::string> json_string_array(const boost::json::array& items) {
    std::vector<std::string> texts;
    for (const boost::json::value& item : items) {
        if (const auto* text = item.if_string()) texts.emplace_back(text->data(), text->size());
    }
    return texts;
}

void apply_edits(ReplayState& view, const boost::json::object& payload) {
    const boost::json::value* operations = payload.if_contains("operations");
    if (operations == nullptr || !operations->is_array()) return;
    // All or nothing: one operation that does not read refuses the whole batch.
    std::vector<edits::Operation> batch;
    batch.reserve(operations->get_array().size());
    for (const boost::json::value& item : operations->get_array()) {
        // The reader takes a copy it may take apart: in the default storage, as the values
        // read before may live in a sealed arena.
        Result<edits::Operation> read = edits::read_operation(boost::json::value(item, boost::json::storage_ptr()));
        if (!read) return;
        batch.push_back(std::move(read).value());
    }
    for (const edits::Operation& operation : batch) std::visit(ApplyOperation{view}, operation);
}

void ActivityReports::settle(ReplayState& state, const EnvelopeList& envelopes) {
    // Each node whose last report has neither a name nor a detail, with that report's position.
    std::map<std::string_view, std::size_t> unresolved;
    std::size_t newest = 0;
    for (const auto& [node, at] : last_) {
        if (activity_text(envelopes[at], state.activity[node].text)) continue;
        unresolved.emplace(node, at);
        newest = std::max(newest, at);
    }
    // Their earlier reports, newest first, in one walk back.
    for (std::size_t at = newest; !unresolved.empty() && at > *from_;) {
        const event::Envelope& envelope = envelopes[--at];
        if (!is_activity_report(envelope)) continue;
        const auto node = unresolved.find(*envelope.labels.node);
        if (node == unresolved.end() || at >= node->second) continue;
        if (activity_text(envelope, state.activity[std::string(node->first)].text)) unresolved.erase(node);
    }
    last_.clear();
    from_.reset();
}

void ReplayState::apply_event(const event::Envelope& envelope) { apply(envelope, 0, nullptr); }

void ReplayState::apply_event(const event::Envelope& envelope, std::size_t position, ActivityReports& reports) {
    apply(envelope, position, &reports);
}

void ReplayState::apply(const event::Envelope& envelope, std::size_t position, ActivityReports* reports) {
    const std::optional<std::uint64_t> t = parse_timestamp_ms(envelope.ts);
    const std::uint64_t at = t.value_or(0);
    last_event_at = last_event_at ? std::max(*last_event_at, at) : at;
    if (envelope.source != event::EventSource::Pipeline) {
        note_activity(*this, envelope, t, position, reports);
    } else {
        apply_pipeline(*this, envelope, t, position, reports);
    }
}

}  // namespace korvalle::views
