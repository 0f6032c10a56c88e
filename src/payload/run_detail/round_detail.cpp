// One round of a run: its plan, the status of each planned node, what gates the blocked ones,
// which member of a running node can be addressed, what each node reported, and the round's
// result file.
#include "src/payload/run_detail/round_detail.hpp"
#include "src/payload/run_detail/detail/round_detail.hpp"

#include "sdk/base/json_member.hpp"
#include "sdk/base/text.hpp"
#include "sdk/run/run_directory.hpp"
#include "sdk/run/run_text.hpp"
#include "sdk/run/statuses.hpp"
#include "sdk/run/views.hpp"
#include "src/payload/files.hpp"
#include "src/payload/indexes.hpp"
#include "src/payload/run_detail/detail/journal_index.hpp"
#include "src/payload/vocabulary.hpp"

#include <boost/json/array.hpp>
#include <boost/json/monotonic_resource.hpp>

#include <algorithm>
#include <array>
#include <map>

namespace korvalle::payload::detail {

namespace {

using event::EventSource;

// The state shared by the members of one round object.
struct Round {
    const views::RunView& view;
    const JournalIndex& index;
    std::uint64_t number;
    const plan::Plan& plan;
    IdSet planned;                                  // ids of the plan's tasks
    std::optional<boost::json::value> result;       // the round's result file
    bool live = false;                              // the round being driven
    const StatusWords* statuses = nullptr;          // node id -> status word
    std::vector<std::string_view> task_statuses;    // the status word of each task, in plan order
};

std::string_view kind_word(plan::NodeKind kind) { return kind == plan::NodeKind::Human ? "human" : "agent"; }

// A task's own text, "" without one; viewed, not copied.
std::string_view own_text(const std::optional<std::string>& task) { return task ? std::string_view(*task) : ""; }

// The result file's "nodes" array, when the file holds an object with one.
const boost::json::array* result_nodes(const std::optional<boost::json::value>& result) {
    if (!result || !result->is_object()) return nullptr;
    const boost::json::value* nodes = result->get_object().if_contains("nodes");
    return nodes && nodes->is_array() ? &nodes->get_array() : nullptr;
}

// ---- Plan. ----

// Whether a text given as parts is empty.
bool is_empty(std::span<const std::string_view> parts) {
    return std::all_of(parts.begin(), parts.end(), [](std::string_view part) { return part.empty(); });
}

void string_array(json::Writer& out, const std::vector<std::string>& texts) {
    out.begin_array();
    for (const std::string& text : texts) out.value(text);
    out.end_array();
}

void step_object(json::Writer& out, const plan::Step& step, const plan::Node& owner) {
    out.begin_object();
    out.member("id", step.id);
    out.member("kind", kind_word(step.kind));
    if (step.persona) out.member("persona", *step.persona);
    // A person reads a human step as written; the planner's context is meant for agents.
    static const std::optional<std::string> no_context;
    const auto task = views::planner_context_parts(own_text(step.task),
                                                   step.kind == plan::NodeKind::Human ? no_context : owner.context);
    if (is_empty(task))
        out.member("task", step.id);
    else
        out.joined_member("task", task);
    if (!step.deps.empty()) {
        out.key("deps");
        string_array(out, step.deps);
    }
    out.end_object();
}

void task_object(json::Writer& out, const plan::Node& node) {
    out.begin_object();
    out.member("id", node.id);
    out.member("kind", kind_word(node.kind));
    if (node.persona) out.member("persona", *node.persona);
    const auto task = views::planner_context_parts(own_text(node.task), node.context);
    if (!is_empty(task)) out.joined_member("task", task);
    if (!node.deps.empty()) {
        out.key("deps");
        string_array(out, node.deps);
    }
    if (node.done_when) out.member("done_when", *node.done_when);
    if (node.max_turns && *node.max_turns != 0) out.member("max_turns", *node.max_turns);
    if (node.expects_no_diff) out.member("expects_no_diff", true);
    if (node.repo) out.member("repo", *node.repo);
    if (node.branch) out.member("branch", *node.branch);
    if (node.base_branch) out.member("base_branch", *node.base_branch);
    if (node.title) out.member("title", *node.title);
    if (node.execution_checkout) out.member("execution_checkout", *node.execution_checkout);
    const bool steps = node.steps && !node.steps->empty();
    if (steps) {
        out.key("steps");
        out.begin_array();
        for (const plan::Step& step : *node.steps) step_object(out, step, node);
        out.end_array();
    }
    // Every task shows some instruction, its id at the least.
    if (is_empty(task) && !steps) out.member("task", node.id);
    out.end_object();
}

void plan_object(json::Writer& out, const plan::Plan& plan) {
    out.begin_object();
    out.key("tasks");
    out.begin_array();
    for (const plan::Node& node : plan.tasks) task_object(out, node);
    out.end_array();
    out.member("schema_version", plan.schema_version);
    if (plan.concurrency != 0) out.member("concurrency", plan.concurrency);
    if (plan.name && !plan.name->empty()) out.member("name", *plan.name);
    if (plan.goal && !plan.goal->text.empty()) {
        out.key("goal");
        out.begin_object();
        out.member("id", sha256_hex(plan.goal->text));
        out.member("text", plan.goal->text);
        out.end_object();
    }
    out.end_object();
}

// ---- Statuses. ----

// The result file's status words: elements that are objects with a string "id" and "status";
// a later element of the same id wins.
StatusWords result_status_words(const boost::json::array* nodes) {
    StatusWords words;
    if (!nodes) return words;
    for (const boost::json::value& element : *nodes) {
        const boost::json::object* object = element.if_object();
        if (!object) continue;
        auto id = json::string_member(*object, "id");
        auto status = json::string_member(*object, "status");
        if (id && status) words.insert_or_assign(*id, status_word(*status));
    }
    return words;
}

std::string_view status_of(const Round& round, std::string_view node) {
    auto it = round.statuses->find(node);
    return it == round.statuses->end() ? "unknown" : it->second;
}

// The tasks that the members of an object keyed by task id stand for, in plan order, of those
// that keep says have a member: a plan may name an id twice, and as in any object the key then
// keeps its first place and takes its last value.
template <class Keep>
std::vector<std::size_t> keyed_tasks(const Round& round, Keep keep) {
    const std::vector<plan::Node>& tasks = round.plan.tasks;
    std::vector<std::size_t> kept;
    for (std::size_t i = 0; i < tasks.size(); ++i)
        if (keep(i)) kept.push_back(i);
    if (round.planned.size() == tasks.size()) return kept;  // no id is named twice
    IdMap<std::size_t> last;
    for (std::size_t i : kept) last[tasks[i].id] = i;
    std::vector<std::size_t> unique;
    for (std::size_t i : kept) {
        auto it = last.find(tasks[i].id);
        if (it == last.end()) continue;  // written at its first place already
        unique.push_back(it->second);
        last.erase(it);
    }
    return unique;
}

void node_status(json::Writer& out, const Round& round) {
    out.begin_object();
    for (std::size_t i : keyed_tasks(round, [](std::size_t) { return true; }))
        out.member(round.plan.tasks[i].id, round.task_statuses[i]);
    out.end_object();
}

void node_states(json::Writer& out, const Round& round) {
    static constexpr std::array<std::string_view, 6> started{"running", "waiting", "parked",
                                                            "done",    "failed",  "cancelled"};
    // The planned nodes that have started, in byte order of their ids.
    std::vector<std::pair<std::string_view, std::string_view>> states;
    for (const auto& [node, word] : *round.statuses) {
        if (!round.planned.contains(node)) continue;
        if (std::find(started.begin(), started.end(), word) != started.end()) states.emplace_back(node, word);
    }
    std::sort(states.begin(), states.end());
    out.begin_object();
    for (const auto& [node, word] : states) out.member(node, word);
    out.end_object();
}

// The deps of a blocked or skipped task that the plan has, each a gate; none for other tasks.
std::vector<std::string_view> gates_of(const Round& round, std::size_t task) {
    std::vector<std::string_view> gates;
    std::string_view word = round.task_statuses[task];
    if (word != "blocked" && word != "skipped") return gates;
    for (const std::string& dep : round.plan.tasks[task].deps)
        if (round.planned.contains(dep)) gates.emplace_back(dep);
    return gates;
}

void node_gated_by(json::Writer& out, const Round& round) {
    out.begin_object();
    for (std::size_t i : keyed_tasks(round, [&](std::size_t i) { return !gates_of(round, i).empty(); })) {
        out.key(round.plan.tasks[i].id);
        out.begin_array();
        for (std::string_view gate : gates_of(round, i)) out.value(gate);
        out.end_array();
    }
    out.end_object();
}

// ---- Node control. ----

bool is_blank(std::string_view text) { return text::trim(text).empty(); }

// What a considered envelope says of its member: addressable (an empty reason) or why not;
// none when the envelope says nothing about it.
std::optional<std::optional<std::string>> member_reason(const event::Envelope& envelope) {
    constexpr std::string_view gone = "the member is no longer running";
    const std::string_view kind = envelope.kind;
    if (kind == "member-settled" || kind == "member-died") return std::optional<std::string>(gone);
    if (kind == "turn-completed")
        return std::optional<std::string>("its last turn completed, so the member is between turns");
    if (kind == "turn-started" || kind == "turn-activity") return std::optional<std::string>();
    if (kind != "turn-interrupted") return std::nullopt;
    const boost::json::object payload = envelope.payload.read();
    const boost::json::value* delivered = payload.if_contains("delivered");
    if (!delivered || !delivered->is_bool()) return std::nullopt;
    if (delivered->get_bool()) return std::optional<std::string>();
    auto reason = json::string_member(payload, "reason");
    if (reason && !is_blank(*reason)) return std::optional<std::string>(*reason);
    return std::optional<std::string>("the last redirection this run offered it was not delivered");
}

void member_control(json::Writer& out, const Round& round, const std::string& node) {
    struct Member {
        std::optional<std::string> reason;  // none: addressable
        std::size_t last = 0;                    // position of its latest considered envelope
    };
    std::map<std::string, Member> members;
    std::size_t position = 0;
    for (const event::Envelope* envelope : round.index.of_node(node)) {
        if (envelope->source != EventSource::Morvane || envelope->labels.round != round.number) continue;
        std::optional<std::string> member = envelope->labels.extra.string_member("member");
        if (!member) member = envelope->payload.string_member("member");
        if (!member || is_blank(*member)) continue;
        if (!envelope->labels.run_id || is_blank(*envelope->labels.run_id)) continue;
        auto reason = member_reason(*envelope);
        if (!reason) continue;
        members[*member] = Member{*reason, ++position};
    }
    const std::pair<const std::string, Member>* latest = nullptr;
    const std::pair<const std::string, Member>* addressable = nullptr;
    for (const auto& entry : members) {
        if (!latest || entry.second.last > latest->second.last) latest = &entry;
        if (!entry.second.reason && (!addressable || entry.second.last > addressable->second.last)) addressable = &entry;
    }
    out.begin_object();
    if (addressable) {
        out.member("addressable", true);
        out.member("member", addressable->first);
    } else if (latest) {
        out.member("addressable", false);
        out.member("member", latest->first);
        out.member("reason", *latest->second.reason);
    } else {
        out.member("addressable", false);
        out.member("reason", "nothing of its dispatch has reported a member yet");
    }
    out.end_object();
}

void node_control(json::Writer& out, const Round& round) {
    out.begin_object();
    if (round.live) {
        for (std::size_t i : keyed_tasks(round, [&](std::size_t i) { return round.task_statuses[i] == "running"; })) {
            out.key(round.plan.tasks[i].id);
            member_control(out, round, round.plan.tasks[i].id);
        }
    }
    out.end_object();
}

// ---- Node results. ----

constexpr std::array<std::string_view, 10> report_keys{"status", "outcome", "branch",    "blocked_by", "unblocks",
                                                       "human_actions", "detail", "error", "exit_code", "ok"};

void add_steps(json::Writer& out, const Round& round, const plan::Node& node) {
    if (!node.steps || node.steps->empty()) return;  // no rows to show: spare the lookup
    auto completed = round.view.completed_steps.find(node.id);
    if (completed == round.view.completed_steps.end()) return;
    boost::json::array rows = step_rows(node.steps, completed->second);
    if (!rows.empty()) out.member("steps", rows);
}

// An entry from the node's element of the result file: its report keys in their own order, the
// status as its display word, then the link and whether the node completed.
void result_entry(json::Writer& out, const plan::Node& node, const boost::json::object& element) {
    // One walk over the element's members finds every report key it has.
    std::array<const boost::json::value*, report_keys.size()> reported{};
    const boost::json::value* change_url = nullptr;
    for (const auto& member : element) {
        const std::string_view key = member.key();
        if (key == "change_url") change_url = &member.value();
        for (std::size_t i = 0; i < report_keys.size(); ++i)
            if (key == report_keys[i]) reported[i] = &member.value();
    }
    const boost::json::value* status = reported[0];
    std::optional<std::string_view> word;
    if (status && status->is_string()) word = status_word(status->get_string());
    out.member("kind", kind_word(node.kind));
    for (std::size_t i = 0; i < report_keys.size(); ++i) {
        if (!reported[i]) continue;
        if (i == 0 && word)
            out.member(report_keys[i], *word);
        else
            out.member(report_keys[i], *reported[i]);
    }
    if (change_url && change_url->is_string()) out.member("pr", change_url->get_string());
    if (word) out.member("completed", *word == "done");
}

// The latest settle of the node in this round, read backwards through the node's envelopes.
const event::Envelope* last_settle(const Round& round, const std::string& node) {
    const EnvelopeRefs& envelopes = round.index.of_node(node);
    for (auto it = envelopes.rbegin(); it != envelopes.rend(); ++it) {
        const event::Envelope& envelope = **it;
        if (envelope.source == EventSource::Pipeline && std::string_view(envelope.kind) == "node-settled" &&
            envelope.labels.round == round.number)
            return &envelope;
    }
    return nullptr;
}

template <class Map>
const std::string* entry_of(const Map& map, const std::string& node) {
    auto it = map.find(node);
    return it == map.end() ? nullptr : &it->second;
}

// An entry of a node of the round being driven, from its recorded status and its latest settle.
void live_entry(json::Writer& out, const Round& round, const plan::Node& node, graph::NodeStatus recorded) {
    std::string_view word = status_word(recorded.word());
    out.member("kind", kind_word(node.kind));
    out.member("status", word);
    out.member("completed", word == "done");
    // What the replay kept of the node's settles stands over the settle's own payload: in its
    // place when the settle has the key, after the settle's keys when not.
    const views::RunView& view = round.view;
    const std::string* outcome = entry_of(view.outcomes, node.id);
    const std::string* branch = entry_of(view.branches, node.id);
    bool outcome_written = false;
    bool branch_written = false;
    if (const event::Envelope* settle = last_settle(round, node.id)) {
        const boost::json::object payload = settle->payload.read();
        for (std::string_view key : report_keys) {
            if (key == "status") continue;
            const boost::json::value* value = payload.if_contains(key);
            if (!value) continue;
            if (key == "outcome" && outcome) {
                out.member(key, *outcome);
                outcome_written = true;
            } else if (key == "branch" && branch) {
                out.member(key, *branch);
                branch_written = true;
            } else {
                out.member(key, *value);
            }
        }
    }
    if (outcome && !outcome_written) out.member("outcome", *outcome);
    if (branch && !branch_written) out.member("branch", *branch);
    if (const std::string* link = entry_of(view.change_urls, node.id)) out.member("pr", *link);
}

void node_results(json::Writer& out, const Round& round) {
    // The first element of an id answers for it.
    IdMap<const boost::json::object*> first;
    if (const boost::json::array* nodes = result_nodes(round.result)) {
        first.reserve(nodes->size());
        for (const boost::json::value& element : *nodes) {
            const boost::json::object* object = element.if_object();
            if (!object) continue;
            if (auto id = json::string_member(*object, "id")) first.emplace(*id, object);
        }
    }
    const std::vector<plan::Node>& tasks = round.plan.tasks;
    std::vector<const boost::json::object*> reported(tasks.size(), nullptr);  // by task
    for (std::size_t i = 0; i < tasks.size() && !first.empty(); ++i)
        if (auto it = first.find(tasks[i].id); it != first.end()) reported[i] = it->second;
    const auto recorded = [&](std::size_t i) { return round.view.statuses.find(tasks[i].id); };
    const auto has_entry = [&](std::size_t i) {
        return reported[i] || (round.live && recorded(i) != round.view.statuses.end());
    };
    out.begin_object();
    for (std::size_t i : keyed_tasks(round, has_entry)) {
        const plan::Node& node = tasks[i];
        out.key(node.id);
        out.begin_object();
        if (reported[i])
            result_entry(out, node, *reported[i]);
        else
            live_entry(out, round, node, recorded(i)->second);
        add_steps(out, round, node);
        out.end_object();
    }
    out.end_object();
}

// ---- Round object. ----

void result_summary(json::Writer& out, const Round& round) {
    if (!round.result) {
        out.value(nullptr);
        return;
    }
    out.begin_object();
    if (const boost::json::object* result = round.result->if_object()) {
        if (const boost::json::value* ok = result->if_contains("ok")) out.member("ok", *ok);
        if (const boost::json::value* state = result->if_contains("state")) out.member("state", *state);
    }
    out.member("round", round.number);
    if (const boost::json::array* nodes = result_nodes(round.result)) {
        out.key("started_order");
        out.begin_array();
        for (const boost::json::value& element : *nodes) {
            const boost::json::object* object = element.if_object();
            if (!object) continue;
            if (auto id = json::string_member(*object, "id")) out.value(*id);
        }
        out.end_array();
    }
    out.end_object();
}

void attestations(json::Writer& out, const views::RunView& view) {
    out.begin_array();
    for (const std::string& node : view.attested) out.value(node);
    out.end_array();
}

// Reads the round's plan into `plan`, over the plan it held: the replayed graph's for the
// current round, the round's file in the run's directory otherwise (noted in `read`). False when
// there is none to be had.
bool read_round_plan(const views::RunView& view, const views::RunDirectory& directory, std::uint64_t round,
                     plan::Plan& plan, files::SeenFiles& read) {
    if (round == view.round) {
        if (!view.plan) return false;
        plan = view.graph.to_plan(*view.plan);
        return true;
    }
    const files::FileAt file = directory.file(ledger::round_plan_name(round));
    files::ReadTrace trace;
    Result<plan::Plan, SdkError> loaded = plan::Plan::load(file, std::move(plan), &trace);
    files::note_read(read, file, trace);
    if (!loaded.ok()) return false;
    plan = std::move(loaded.value());
    return true;
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

bool write_round_detail(json::Writer& out, const views::RunView& view, std::uint64_t number, const JournalIndex& index,
                        const StatusWords& derived, plan::Plan& plan, files::SeenFiles& read) {
    // The round's files are read from the directory the view was read from, or not at all.
    const views::RunDirectory directory(view.paths.dir, view.directory);
    if (!read_round_plan(view, directory, number, plan, read)) return false;
    // The result file is read for this round's object alone: its values are made in one arena,
    // which outlives them and is dropped whole, so the values are never destroyed one by one.
    boost::json::monotonic_resource result_memory;
    Round round{view, index, number, plan, {}, std::nullopt, false, &derived, {}};
    round.planned.reserve(round.plan.tasks.size());
    for (const plan::Node& node : round.plan.tasks) round.planned.insert(node.id);
    const files::FileAt result_file = directory.file(ledger::round_result_name(number));
    files::ReadTrace result_read;
    round.result = read_json_file(result_file, &result_memory, &result_read);
    files::note_read(read, result_file, result_read);
    round.live = number == view.round && view.in_round;
    // A finished round's file is the authority; without a usable node in it, the journal is.
    StatusWords from_result;
    if (!round.live) {
        from_result = result_status_words(result_nodes(round.result));
        if (!from_result.empty()) round.statuses = &from_result;
    }
    round.task_statuses.reserve(round.plan.tasks.size());
    for (const plan::Node& node : round.plan.tasks) round.task_statuses.push_back(status_of(round, node.id));

    out.begin_object();
    out.member("run_id", view.id());
    out.member("round", number);
    out.key("plan");
    plan_object(out, round.plan);
    out.key("node_states");
    node_states(out, round);
    out.key("node_status");
    node_status(out, round);
    out.key("node_gated_by");
    node_gated_by(out, round);
    out.key("node_control");
    node_control(out, round);
    out.key("node_results");
    node_results(out, round);
    out.key("attestations");
    attestations(out, view);
    out.key("result");
    result_summary(out, round);
    out.member("last_seq", index.last_seq(number));
    out.end_object();
    return true;
}

}  // namespace korvalle::payload::detail

namespace korvalle::payload {

std::optional<std::string> round_detail(const views::RunView& view, std::uint64_t round) {
    const std::shared_ptr<const RoundObject> object = OwnIndexes(view).round(round);
    if (!object->text) return std::nullopt;
    return *object->text;
}

}  // namespace korvalle::payload
