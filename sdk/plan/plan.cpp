// The plan record readers: one generic reader per record, written once over the record cursors
// (YAML events, JSON text, JSON value tree, buffered value).
#include "sdk/plan/plan.hpp"

#include "sdk/base/json_read.hpp"
#include "sdk/base/record.hpp"
#include "sdk/base/record_json.hpp"
#include "sdk/base/record_value.hpp"
#include "sdk/plan/detail/record_yaml.hpp"
#include "sdk/plan/detail/yaml.hpp"

#include <boost/json/object.hpp>

#include <cstdint>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

namespace korvalle::plan {

namespace {

using record::RecordName;
using record::Shape;
using record::Words;

// ---- Enumerated words, in code order. ----

constexpr std::string_view kNodeKindWords[] = {"agent", "human"};
constexpr std::string_view kMergePolicyWords[] = {"local-direct", "change-open", "change-auto", "change-direct"};
constexpr std::string_view kWorkflowWords[] = {"local", "remote"};
constexpr std::string_view kRepoTypeWords[] = {"single-owner", "team"};

// ---- Record tables: keys in declared order, the fields they fill, the required ones, and one
// value reader per key. A record is read over whatever it held, so that a plan read in place of
// a spent one reuses the room of its texts and lists: every field is either read or reset to
// its default (the struct initialiser), and a null optional value resets its field. ----

template <class R>
struct Table;

template <class R, record::Cursor C>
void read_record(C& cur, R& record);

// The element a list reads next: the one it held at that place, or a new one.
template <class T>
T& next_slot(std::vector<T>& list, std::size_t at) {
    return at < list.size() ? list[at] : list.emplace_back();
}

template <class C>
void read_opt_text(C& cur, std::optional<std::string>& out) {
    if (cur.take_null())
        out.reset();
    else if (out)
        out->assign(cur.read_text());
    else
        out.emplace(cur.read_text());
}

template <class C>
void read_text_list(C& cur, std::vector<std::string>& out) {
    cur.begin_list();
    std::size_t count = 0;
    while (cur.next_element()) next_slot(out, count++).assign(cur.read_text());
    out.resize(count);
}

template <class C>
void read_opt_u32(C& cur, std::optional<std::uint32_t>& out) {
    if (cur.take_null())
        out.reset();
    else
        out = cur.read_u32();
}

template <class C>
void read_opt_flag(C& cur, std::optional<bool>& out) {
    if (cur.take_null())
        out.reset();
    else
        out = cur.read_flag();
}

template <class E, class C, std::size_t N>
E read_word(C& cur, const std::string_view (&words)[N]) {
    return static_cast<E>(cur.read_word(Words{words}));
}

template <class E, class C, std::size_t N>
void read_opt_word(C& cur, std::optional<E>& out, const std::string_view (&words)[N]) {
    if (cur.take_null())
        out.reset();
    else
        out = read_word<E>(cur, words);
}

// Records are read in their place: a node is large, and a move into place would copy it once more.
template <class R, class C>
void read_opt_record(C& cur, std::optional<R>& out) {
    if (cur.take_null())
        out.reset();
    else
        read_record(cur, out ? *out : out.emplace());
}

template <class R, class C>
void read_record_list(C& cur, std::vector<R>& out) {
    cur.begin_list();
    std::size_t count = 0;
    while (cur.next_element()) read_record(cur, next_slot(out, count++));
    out.erase(out.begin() + static_cast<std::ptrdiff_t>(count), out.end());
}

template <>
struct Table<Goal> {
    static constexpr std::string_view keys[] = {"text"};
    static constexpr std::tuple fields{&Goal::text};
    static constexpr RecordName name{"struct Goal", "struct Goal with 1 element"};
    static constexpr std::uint32_t required = 1u << 0;

    template <class C>
    static void read(C& cur, Goal& goal, std::size_t) {
        goal.text.assign(cur.read_text());
    }
};

template <>
struct Table<Resume> {
    static constexpr std::string_view keys[] = {"branch", "checkpoint", "completed_steps"};
    static constexpr std::tuple fields{&Resume::branch, &Resume::checkpoint, &Resume::completed_steps};
    static constexpr RecordName name{"struct Resume", "struct Resume with 3 elements"};
    static constexpr std::uint32_t required = 1u << 0;

    template <class C>
    static void read(C& cur, Resume& r, std::size_t field) {
        switch (field) {
            case 0: r.branch.assign(cur.read_text()); break;
            case 1: read_opt_text(cur, r.checkpoint); break;
            case 2: read_text_list(cur, r.completed_steps); break;
        }
    }
};

// The fields that steps and nodes share, numbered as in a step: a node's fields 0 to 7 and
// 10 to 11 (a step has no context or parked mark between them).
template <class C, class R>
void read_shared_field(C& cur, R& r, std::size_t step_field) {
    switch (step_field) {
        case 0: r.id.assign(cur.read_text()); break;
        case 1: r.kind = read_word<NodeKind>(cur, kNodeKindWords); break;
        case 2: read_opt_text(cur, r.task); break;
        case 3: read_opt_text(cur, r.persona); break;
        case 4: read_text_list(cur, r.deps); break;
        case 5: read_opt_text(cur, r.done_when); break;
        case 6: read_opt_u32(cur, r.max_turns); break;
        case 7: r.expects_no_diff = cur.read_flag(); break;
        case 8: read_opt_text(cur, r.executor); break;
        case 9: read_opt_text(cur, r.agent_graph); break;
    }
}

template <>
struct Table<Step> {
    static constexpr std::string_view keys[] = {"id",   "kind",      "task",      "persona",         "deps",
                                                "done_when", "max_turns", "expects_no_diff", "executor", "agent_graph"};
    static constexpr std::tuple fields{&Step::id,        &Step::kind,      &Step::task,      &Step::persona,
                                       &Step::deps,      &Step::done_when, &Step::max_turns, &Step::expects_no_diff,
                                       &Step::executor,  &Step::agent_graph};
    static constexpr RecordName name{"struct Step", "struct Step with 10 elements"};
    static constexpr std::uint32_t required = 1u << 0;

    template <class C>
    static void read(C& cur, Step& s, std::size_t field) {
        read_shared_field(cur, s, field);
    }
};

template <>
struct Table<Node> {
    static constexpr std::string_view keys[] = {
        "id",           "kind",         "task",         "persona",      "deps",
        "done_when",    "max_turns",    "expects_no_diff", "context",   "parked",
        "executor",     "agent_graph",  "repo",         "repo_type",    "workflow",
        "merge_policy", "base_branch",  "branch",       "title",        "execution_checkout",
        "verify_via_ci", "steps",       "resume"};
    static constexpr std::tuple fields{
        &Node::id,           &Node::kind,         &Node::task,         &Node::persona,   &Node::deps,
        &Node::done_when,    &Node::max_turns,    &Node::expects_no_diff, &Node::context, &Node::parked,
        &Node::executor,     &Node::agent_graph,  &Node::repo,         &Node::repo_type, &Node::workflow,
        &Node::merge_policy, &Node::base_branch,  &Node::branch,       &Node::title,     &Node::execution_checkout,
        &Node::verify_via_ci, &Node::steps,       &Node::resume};
    static constexpr RecordName name{"struct Node", "struct Node with 23 elements"};
    static constexpr std::uint32_t required = 1u << 0;

    template <class C>
    static void read(C& cur, Node& n, std::size_t field) {
        switch (field) {
            case 8: read_opt_text(cur, n.context); break;
            case 9: n.parked = cur.read_flag(); break;
            case 10:
            case 11: read_shared_field(cur, n, field - 2); break;
            case 12: read_opt_text(cur, n.repo); break;
            case 13: read_opt_word(cur, n.repo_type, kRepoTypeWords); break;
            case 14: read_opt_word(cur, n.workflow, kWorkflowWords); break;
            case 15: read_opt_word(cur, n.merge_policy, kMergePolicyWords); break;
            case 16: read_opt_text(cur, n.base_branch); break;
            case 17: read_opt_text(cur, n.branch); break;
            case 18: read_opt_text(cur, n.title); break;
            case 19: read_opt_text(cur, n.execution_checkout); break;
            case 20: read_opt_flag(cur, n.verify_via_ci); break;
            case 21:
                if (cur.take_null())
                    n.steps.reset();
                else
                    read_record_list(cur, n.steps ? *n.steps : n.steps.emplace());
                break;
            case 22: read_opt_record(cur, n.resume); break;
            default: read_shared_field(cur, n, field); break;
        }
    }
};

template <>
struct Table<Plan> {
    static constexpr std::string_view keys[] = {"schema_version", "goal", "name", "concurrency", "tasks"};
    static constexpr std::tuple fields{&Plan::schema_version, &Plan::goal, &Plan::name, &Plan::concurrency,
                                       &Plan::tasks};
    static constexpr RecordName name{"struct Plan", "struct Plan with 5 elements"};
    static constexpr std::uint32_t required = (1u << 0) | (1u << 4);

    template <class C>
    static void read(C& cur, Plan& p, std::size_t field) {
        switch (field) {
            case 0: p.schema_version = cur.read_u32(); break;
            case 1: read_opt_record(cur, p.goal); break;
            case 2: read_opt_text(cur, p.name); break;
            case 3: p.concurrency = cur.read_u32(); break;
            case 4: read_record_list(cur, p.tasks); break;
        }
    }
};

// Each record's keys, hashed once at compile time.
template <class R>
constexpr record::WordIndex key_index{Table<R>::keys};

// Resets the fields whose bit in `read` is clear to the record's defaults.
template <class R>
void reset_unread(R& record, std::uint32_t read) {
    static const R defaults{};
    constexpr auto& fields = Table<R>::fields;
    constexpr std::size_t count = std::tuple_size_v<std::remove_cvref_t<decltype(fields)>>;
    static_assert(count == std::size(Table<R>::keys), "a field for every key");
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        ((read & (1u << I) ? void() : void(record.*std::get<I>(fields) = defaults.*std::get<I>(fields))), ...);
    }(std::make_index_sequence<count>{});
}

// A keyed record: every key must be in the table and given once; absent required keys are
// reported last, in declared order.
template <class R, class C>
void read_keyed(C& cur, const typename C::Record& where, R& record) {
    using T = Table<R>;
    std::uint32_t seen = 0;
    while (auto key = cur.next_key()) {
        auto field = key_index<R>.find(*key);
        if (!field) cur.fail_key(record::unknown_field(*key, T::keys));
        if (seen & (1u << *field)) cur.fail_at(where, record::duplicate_field(T::keys[*field]));
        seen |= 1u << *field;
        T::read(cur, record, *field);
    }
    reset_unread(record, seen);
    for (std::size_t field = 0; field < std::size(T::keys); ++field) {
        if ((T::required & (1u << field)) && !(seen & (1u << field))) {
            cur.fail_at(where, record::missing_field(T::keys[field]));
        }
    }
}

// A positional record: the elements are the fields in declared order. When they run out, the
// first required field left gives the invalid-length message with its position; fields left
// without an element take their defaults.
template <class R, class C>
void read_positional(C& cur, const typename C::Record& where, R& record) {
    using T = Table<R>;
    constexpr std::size_t count = std::size(T::keys);
    for (std::size_t field = 0; field < count; ++field) {
        if (!cur.next_element()) {
            for (std::size_t rest = field; rest < count; ++rest) {
                if (T::required & (1u << rest)) cur.fail_at(where, record::invalid_length(rest, T::name.positional));
            }
            reset_unread(record, (1u << field) - 1);
            return;
        }
        T::read(cur, record, field);
    }
    cur.end_positional(count);
}

// One record at the cursor's value, keyed or positional as the value is written, over what the
// record held.
template <class R, record::Cursor C>
void read_record(C& cur, R& record) {
    static_assert(std::size(Table<R>::keys) <= 32, "one seen bit per key");
    auto where = cur.begin_record(Table<R>::name);
    if (where.shape == Shape::Keyed) {
        read_keyed(cur, where, record);
    } else {
        read_positional(cur, where, record);
    }
}

// A fault whose message is already composed, its place included when it has one.
Fault composed(std::string message) {
    return Fault{.kind = Fault::Kind::Data, .detail = std::move(message), .place = {}};
}

template <class T>
Result<T> from_tree(const boost::json::value& value, record::ValueCursor::Mode mode) {
    try {
        record::ValueCursor cur(value, mode);
        T record{};
        read_record(cur, record);
        return record;
    } catch (const ReadingFailed& failure) {
        return failure.fault();
    }
}

}  // namespace

std::string_view word(NodeKind value) { return kNodeKindWords[static_cast<std::size_t>(value)]; }
std::string_view word(MergePolicy value) { return kMergePolicyWords[static_cast<std::size_t>(value)]; }
std::string_view word(Workflow value) { return kWorkflowWords[static_cast<std::size_t>(value)]; }
std::string_view word(RepoType value) { return kRepoTypeWords[static_cast<std::size_t>(value)]; }

Result<Plan> read_plan_yaml(std::string_view text, Plan spent) {
    yaml::Document doc = yaml::load_first_document(text);
    try {
        YamlCursor cur(doc);
        read_record(cur, spent);
        // The plan is whole; a fault later in its document, or a second document, still fails.
        if (doc.error) return composed(*doc.error);
        if (doc.more_documents) {
            return composed("deserializing from YAML containing more than one document is not supported");
        }
        return spent;
    } catch (const ReadingFailed& failure) {
        return failure.fault();
    }
}

Result<Plan> read_plan_json(std::string_view text, Plan spent) {
    try {
        json::Reader reader(text);
        record::JsonTextCursor cur(reader);
        read_record(cur, spent);
        reader.finish();
        return spent;
    } catch (const ReadingFailed& failure) {
        return fault_in(failure, text);
    }
}

std::optional<Plan> plan_from_value(const boost::json::object& payload) {
    auto found = payload.find("plan");
    if (found == payload.end()) return std::nullopt;
    Result<Plan> read = from_tree<Plan>(found->value(), record::ValueCursor::Mode::Value);
    if (!read) return std::nullopt;
    return std::move(read).value();
}

std::optional<Plan> plan_from_value(const boost::json::value& payload) {
    const auto* object = payload.if_object();
    if (object == nullptr) return std::nullopt;
    return plan_from_value(*object);
}

Result<Node> node_from_value(const boost::json::value& value) {
    return from_tree<Node>(value, record::ValueCursor::Mode::Value);
}

Result<Node> node_from_content(const boost::json::value& value) {
    return from_tree<Node>(value, record::ValueCursor::Mode::Buffered);
}

}  // namespace korvalle::plan
