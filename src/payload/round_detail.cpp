// One round of a run: its plan, the status of each planned node, what gates the blocked ones,
// which member of a running node can be addressed, what each node reported, and the round's
// result file.
#include "src/payload/detail/run_detail_parts.hpp"
#include "src/payload/run_detail.hpp"

#include "sdk/run/views.hpp"
#include "sdk/base/text.hpp"

#include <boost/json/array.hpp>

#include <algorithm>
#include <array>
#include <unordered_map>
#include <unordered_set>

namespace korvalle::payload::detail {

namespace {

using event::EventSource;

// The state shared by the members of one round object.
struct Round {
    const views::RunView& view;
    const JournalIndex& index;
    std::uint64_t number;
    plan::Plan plan;
    std::unordered_set<std::string_view> planned;   // ids of the plan's tasks
    std::optional<boost::json::value> result;       // the round's result file
    bool live = false;                              // the round being driven
    const StatusWords* statuses = nullptr;          // node id -> status word
    std::vector<std::string_view> task_statuses;    // the status word of each task, in plan order
};

std::string_view kind_word(plan::NodeKind kind) { return kind == plan::NodeKind::Human ? "human" : "agent"; }

// The result file's "nodes" array, when the file holds an object with one.
const boost::json::array* result_nodes(const std::optional<boost::json::value>& result) {
    if (!result || !result->is_object()) return nullptr;
    const boost::json::value* nodes = result->get_object().if_contains("nodes");
    return nodes && nodes->is_array() ? &nodes->get_array() : nullptr;
}

// ---- Plan. ----

boost::json::array string_array(const std::vector<std::string>& texts) {
    boost::json::array array;
    array.reserve(texts.size());
    for (const std::string& text : texts) array.emplace_back(text);
    return array;
}

boost::json::object step_object(const plan::Step& step, const plan::Node& owner) {
    boost::json::object object;
    object.reserve(5);
    object["id"] = step.id;
    object["kind"] = kind_word(step.kind);
    if (step.persona) object["persona"] = *step.persona;
    // A person reads a human step as written; the planner's context is meant for agents.
    std::string task = step.kind == plan::NodeKind::Human
                           ? step.task.value_or("")
                           : views::with_planner_context(step.task.value_or(""), owner.context);
    object["task"] = task.empty() ? step.id : task;
    if (!step.deps.empty()) object["deps"] = string_array(step.deps);
    return object;
}

boost::json::object task_object(const plan::Node& node) {
    boost::json::object object;
    object.reserve(14);
    object.emplace("id", node.id);
    object.emplace("kind", kind_word(node.kind));
    if (node.persona) object.emplace("persona", *node.persona);
    std::string task = views::with_planner_context(node.task.value_or(""), node.context);
    if (!task.empty()) object.emplace("task", task);
    if (!node.deps.empty()) object.emplace("deps", string_array(node.deps));
    if (node.done_when) object.emplace("done_when", *node.done_when);
    if (node.max_turns && *node.max_turns != 0) object.emplace("max_turns", *node.max_turns);
    if (node.expects_no_diff) object.emplace("expects_no_diff", true);
    if (node.repo) object.emplace("repo", *node.repo);
    if (node.branch) object.emplace("branch", *node.branch);
    if (node.base_branch) object.emplace("base_branch", *node.base_branch);
    if (node.title) object.emplace("title", *node.title);
    if (node.execution_checkout) object.emplace("execution_checkout", *node.execution_checkout);
    if (node.steps && !node.steps->empty()) {
        boost::json::array steps;
        for (const plan::Step& step : *node.steps) steps.push_back(step_object(step, node));
        object.emplace("steps", std::move(steps));
    }
    // Every task shows some instruction, its id at the least.
    if (!object.contains("task") && !object.contains("steps")) object.emplace("task", node.id);
    return object;
}

boost::json::object plan_object(const plan::Plan& plan) {
    boost::json::object object;
    boost::json::array tasks;
    tasks.reserve(plan.tasks.size());
    for (const plan::Node& node : plan.tasks) tasks.push_back(task_object(node));
    object["tasks"] = std::move(tasks);
    object["schema_version"] = plan.schema_version;
    if (plan.concurrency != 0) object["concurrency"] = plan.concurrency;
    if (plan.name && !plan.name->empty()) object["name"] = *plan.name;
    if (plan.goal && !plan.goal->text.empty()) {
        boost::json::object goal;
        goal["id"] = sha256_hex(plan.goal->text);
        goal["text"] = plan.goal->text;
        object["goal"] = std::move(goal);
    }
    return object;
}

// ---- Statuses. ----

std::optional<std::string_view> string_of(const boost::json::object& object, std::string_view key) {
    const boost::json::value* value = object.if_contains(key);
    if (!value || !value->is_string()) return std::nullopt;
    return std::string_view(value->get_string());
}

// The result file's status words: elements that are objects with a string "id" and "status";
// a later element of the same id wins.
StatusWords result_status_words(const boost::json::array* nodes) {
    StatusWords words;
    if (!nodes) return words;
    for (const boost::json::value& element : *nodes) {
        const boost::json::object* object = element.if_object();
        if (!object) continue;
        auto id = string_of(*object, "id");
        auto status = string_of(*object, "status");
        if (id && status) words.insert_or_assign(*id, status_word(*status));
    }
    return words;
}

std::string_view status_of(const Round& round, std::string_view node) {
    auto it = round.statuses->find(node);
    return it == round.statuses->end() ? "unknown" : it->second;
}

boost::json::object node_status(const Round& round) {
    boost::json::object object;
    object.reserve(round.plan.tasks.size());
    for (std::size_t i = 0; i < round.plan.tasks.size(); ++i) object[round.plan.tasks[i].id] = round.task_statuses[i];
    return object;
}

boost::json::object node_states(const Round& round) {
    static constexpr std::array<std::string_view, 6> started{"running", "waiting", "parked",
                                                            "done",    "failed",  "cancelled"};
    boost::json::object object;
    for (const auto& [node, word] : *round.statuses) {
        if (!round.planned.contains(node)) continue;
        if (std::find(started.begin(), started.end(), word) != started.end()) object[node] = word;
    }
    return object;
}

boost::json::object node_gated_by(const Round& round) {
    boost::json::object object;
    for (std::size_t i = 0; i < round.plan.tasks.size(); ++i) {
        const plan::Node& node = round.plan.tasks[i];
        std::string_view word = round.task_statuses[i];
        if (word != "blocked" && word != "skipped") continue;
        boost::json::array gates;
        for (const std::string& dep : node.deps)
            if (round.planned.contains(dep)) gates.emplace_back(dep);
        if (!gates.empty()) object[node.id] = std::move(gates);
    }
    return object;
}

// ---- Node control. ----

bool is_blank(std::string_view text) { return text::trim(text).empty(); }

// What a considered envelope says of its member: addressable (an empty reason) or why not;
// none when the envelope says nothing about it.
std::optional<std::optional<std::string_view>> member_reason(const event::Envelope& envelope) {
    constexpr std::string_view gone = "the member is no longer running";
    const std::string_view kind = envelope.kind;
    if (kind == "member-settled" || kind == "member-died") return std::optional<std::string_view>(gone);
    if (kind == "turn-completed")
        return std::optional<std::string_view>("its last turn completed, so the member is between turns");
    if (kind == "turn-started" || kind == "turn-activity") return std::optional<std::string_view>();
    if (kind != "turn-interrupted") return std::nullopt;
    const boost::json::value* delivered = envelope.payload.if_contains("delivered");
    if (!delivered || !delivered->is_bool()) return std::nullopt;
    if (delivered->get_bool()) return std::optional<std::string_view>();
    auto reason = string_of(envelope.payload, "reason");
    if (reason && !is_blank(*reason)) return std::optional<std::string_view>(*reason);
    return std::optional<std::string_view>("the last redirection this run offered it was not delivered");
}

boost::json::object member_control(const Round& round, const std::string& node) {
    struct Member {
        std::optional<std::string_view> reason;  // none: addressable
        std::size_t last = 0;                    // position of its latest considered envelope
    };
    std::map<std::string_view, Member> members;
    std::size_t position = 0;
    for (const event::Envelope* envelope : round.index.of_node(node)) {
        if (envelope->source != EventSource::Morvane || envelope->labels.round != round.number) continue;
        std::optional<std::string_view> member = string_of(envelope->labels.extra, "member");
        if (!member) member = string_of(envelope->payload, "member");
        if (!member || is_blank(*member)) continue;
        if (!envelope->labels.run_id || is_blank(*envelope->labels.run_id)) continue;
        auto reason = member_reason(*envelope);
        if (!reason) continue;
        members[*member] = Member{*reason, ++position};
    }
    const std::pair<const std::string_view, Member>* latest = nullptr;
    const std::pair<const std::string_view, Member>* addressable = nullptr;
    for (const auto& entry : members) {
        if (!latest || entry.second.last > latest->second.last) latest = &entry;
        if (!entry.second.reason && (!addressable || entry.second.last > addressable->second.last)) addressable = &entry;
    }
    boost::json::object object;
    if (addressable) {
        object["addressable"] = true;
        object["member"] = addressable->first;
    } else if (latest) {
        object["addressable"] = false;
        object["member"] = latest->first;
        object["reason"] = *latest->second.reason;
    } else {
        object["addressable"] = false;
        object["reason"] = "nothing of its dispatch has reported a member yet";
    }
    return object;
}

boost::json::object node_control(const Round& round) {
    boost::json::object object;
    if (!round.live) return object;
    for (std::size_t i = 0; i < round.plan.tasks.size(); ++i)
        if (round.task_statuses[i] == "running") object[round.plan.tasks[i].id] = member_control(round, round.plan.tasks[i].id);
    return object;
}

// ---- Node results. ----

constexpr std::array<std::string_view, 10> report_keys{"status", "outcome", "branch",    "blocked_by", "unblocks",
                                                       "human_actions", "detail", "error", "exit_code", "ok"};

void add_steps(boost::json::object& entry, const Round& round, const plan::Node& node) {
    if (!node.steps || node.steps->empty()) return;  // no rows to show: spare the lookup
    auto completed = round.view.completed_steps.find(node.id);
    if (completed == round.view.completed_steps.end()) return;
    boost::json::array rows = step_rows(node.steps, completed->second);
    if (!rows.empty()) entry["steps"] = std::move(rows);
}

boost::json::object result_entry(const plan::Node& node, const boost::json::object& element) {
    // One walk over the element's members finds every report key it has.
    std::array<const boost::json::value*, report_keys.size()> reported{};
    const boost::json::value* change_url = nullptr;
    for (const auto& member : element) {
        const std::string_view key = member.key();
        if (key == "change_url") change_url = &member.value();
        for (std::size_t i = 0; i < report_keys.size(); ++i)
            if (key == report_keys[i]) reported[i] = &member.value();
    }
    boost::json::object entry;
    entry.reserve(report_keys.size() + 3);
    entry.emplace("kind", kind_word(node.kind));
    for (std::size_t i = 0; i < report_keys.size(); ++i)
        if (reported[i]) entry.emplace(report_keys[i], *reported[i]);
    if (change_url && change_url->is_string()) entry.emplace("pr", change_url->get_string());
    if (auto status = string_of(entry, "status")) {
        std::string_view word = status_word(*status);
        entry.emplace("completed", word == "done");
        entry["status"] = word;
    }
    return entry;
}

// The latest settle of the node in this round, read backwards through the node's envelopes.
const event::Envelope* last_settle(const Round& round, const std::string& node) {
    const EnvelopeRefs& envelopes = round.index.of_node(node);
    for (auto it = envelopes.rbegin(); it != envelopes.rend(); ++it) {
        const event::Envelope& envelope = **it;
        if (envelope.source == EventSource::Pipeline && envelope.kind == "node-settled" &&
            envelope.labels.round == round.number)
            return &envelope;
    }
    return nullptr;
}

boost::json::object live_entry(const Round& round, const plan::Node& node, graph::NodeStatus recorded) {
    boost::json::object entry;
    entry.reserve(report_keys.size() + 3);
    entry["kind"] = kind_word(node.kind);
    std::string_view word = status_word(recorded.word());
    entry["status"] = word;
    entry["completed"] = word == "done";
    if (const event::Envelope* settle = last_settle(round, node.id)) {
        for (std::string_view key : report_keys) {
            if (entry.contains(key)) continue;
            if (const boost::json::value* value = settle->payload.if_contains(key)) entry[key] = *value;
        }
    }
    // What the replay kept of the node's settles stands over the settle's own payload.
    const views::RunView& view = round.view;
    if (auto it = view.outcomes.find(node.id); it != view.outcomes.end()) entry["outcome"] = it->second;
    if (auto it = view.branches.find(node.id); it != view.branches.end()) entry["branch"] = it->second;
    if (auto it = view.change_urls.find(node.id); it != view.change_urls.end()) entry["pr"] = it->second;
    return entry;
}

boost::json::object node_results(const Round& round) {
    // The first element of an id answers for it.
    std::unordered_map<std::string_view, const boost::json::object*> first;
    if (const boost::json::array* nodes = result_nodes(round.result)) {
        for (const boost::json::value& element : *nodes) {
            const boost::json::object* object = element.if_object();
            if (!object) continue;
            if (auto id = string_of(*object, "id")) first.emplace(*id, object);
        }
    }
    boost::json::object results;
    results.reserve(round.plan.tasks.size());
    for (const plan::Node& node : round.plan.tasks) {
        std::optional<boost::json::object> entry;
        if (auto it = first.find(node.id); it != first.end()) {
            entry = result_entry(node, *it->second);
        } else if (round.live) {
            if (auto recorded = round.view.statuses.find(node.id); recorded != round.view.statuses.end())
                entry = live_entry(round, node, recorded->second);
        }
        if (!entry) continue;
        add_steps(*entry, round, node);
        results[node.id] = std::move(*entry);
    }
    return results;
}

// ---- Round object. ----

boost::json::value result_summary(const Round& round) {
    if (!round.result) return nullptr;
    boost::json::object summary;
    const boost::json::object* result = round.result->if_object();
    if (result) {
        if (const boost::json::value* ok = result->if_contains("ok")) summary["ok"] = *ok;
        if (const boost::json::value* state = result->if_contains("state")) summary["state"] = *state;
    }
    summary["round"] = round.number;
    if (const boost::json::array* nodes = result_nodes(round.result)) {
        boost::json::array started;
        for (const boost::json::value& element : *nodes) {
            const boost::json::object* object = element.if_object();
            if (!object) continue;
            if (auto id = string_of(*object, "id")) started.emplace_back(*id);
        }
        summary["started_order"] = std::move(started);
    }
    return summary;
}

boost::json::array attestations(const views::RunView& view) {
    boost::json::array array;
    for (const std::string& node : view.attested) array.emplace_back(node);
    return array;
}

// The round's plan: the replayed graph's for the current round, the round's file otherwise.
std::optional<plan::Plan> round_plan(const views::RunView& view, std::uint64_t round) {
    if (round == view.round) {
        if (!view.plan) return std::nullopt;
        return view.graph.to_plan(*view.plan);
    }
    Loaded<plan::Plan> loaded = plan::Plan::load(view.paths.round_plan(round));
    if (!loaded.ok()) return std::nullopt;
    return std::move(loaded.value());
}

}  // namespace

StatusWords derived_status_words(const views::RunView& view) {
    StatusWords words;
    for (const auto& [node, status] : views::derived_statuses(view)) {
        // Derived statuses are of graph nodes: the graph's own key outlives the derived map.
        if (auto it = view.graph.nodes.find(node); it != view.graph.nodes.end())
            words.emplace(it->first, status_word(status.word()));
    }
    return words;
}

std::optional<boost::json::object> round_detail(const views::RunView& view, std::uint64_t number,
                                                const JournalIndex& index, const StatusWords& derived) {
    std::optional<plan::Plan> plan = round_plan(view, number);
    if (!plan) return std::nullopt;
    Round round{view, index, number, std::move(*plan), {}, std::nullopt, false, &derived, {}};
    for (const plan::Node& node : round.plan.tasks) round.planned.insert(node.id);
    round.result = read_json_file(view.paths.round_result(number));
    round.live = number == view.round && view.in_round;
    // A finished round's file is the authority; without a usable node in it, the journal is.
    StatusWords from_result;
    if (!round.live) {
        from_result = result_status_words(result_nodes(round.result));
        if (!from_result.empty()) round.statuses = &from_result;
    }
    round.task_statuses.reserve(round.plan.tasks.size());
    for (const plan::Node& node : round.plan.tasks) round.task_statuses.push_back(status_of(round, node.id));

    boost::json::object object;
    object.reserve(11);
    object["run_id"] = view.id();
    object["round"] = number;
    object["plan"] = plan_object(round.plan);
    object["node_states"] = node_states(round);
    object["node_status"] = node_status(round);
    object["node_gated_by"] = node_gated_by(round);
    object["node_control"] = node_control(round);
    object["node_results"] = node_results(round);
    object["attestations"] = attestations(view);
    object["result"] = result_summary(round);
    object["last_seq"] = index.last_seq(number);
    return object;
}

}  // namespace korvalle::payload::detail
