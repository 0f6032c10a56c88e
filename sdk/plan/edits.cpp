// Reading edit operations. Each variant is described once by a table of its fields (wire name,
// whether required, reader); one keyed reader and one positional reader walk any such table,
// so the object and array forms of all eleven variants share the same field readers.
#include "sdk/plan/edits.hpp"

#include "sdk/plan/detail/form.hpp"

#include <array>
#include <cstddef>
#include <span>
#include <string_view>
#include <utility>

namespace korvalle::edits {
namespace {

using boost::json::value;

// The first fault of a reading ends it; read_operation returns it.
[[noreturn]] void fail(std::string message) { throw form::Fault(std::move(message)); }

[[noreturn]] void invalid_type(const value& v, std::string_view expected) {
    fail(form::invalid_type(form::describe(v), expected));
}

[[noreturn]] void missing_field(std::string_view name) { fail(form::missing_field(name)); }

// ---- Field readers. ----

std::string read_text(value& v) {
    if (!v.is_string()) invalid_type(v, "a string");
    return std::string(v.get_string());
}

std::vector<std::string> read_texts(value& v) {
    if (!v.is_array()) invalid_type(v, "a sequence");
    std::vector<std::string> out;
    out.reserve(v.get_array().size());
    for (auto& entry : v.get_array()) out.push_back(read_text(entry));
    return out;
}

std::optional<std::string> read_optional_text(value& v) {
    if (v.is_null()) return std::nullopt;
    return read_text(v);
}

std::optional<boost::json::object> read_optional_map(value& v) {
    if (v.is_null()) return std::nullopt;
    if (!v.is_object()) invalid_type(v, "a map");
    return std::move(v.get_object());
}

plan::Node read_node(value& v) {
    Result<plan::Node> node = plan::node_from_content(v);
    if (!node) fail(message(node.error()));
    return std::move(node).value();
}

// A two-word enumeration: the word as a string, or a one-member object named by the word whose
// value is null or the empty object.
constexpr std::string_view kDependentsWords[] = {"drop", "detach"};
constexpr std::string_view kDeliveryWords[] = {"live", "deferred"};

template <class Enum>
Enum read_unit_word(value& v, std::span<const std::string_view> words) {
    auto lookup = [&](std::string_view word) {
        if (auto code = form::find_word(words, word)) return static_cast<Enum>(*code);
        fail(form::unknown_variant(word, words));
    };
    if (v.is_string()) return lookup(v.get_string());
    if (!v.is_object()) invalid_type(v, "string or map");
    auto& members = v.get_object();
    if (members.size() != 1) fail(form::invalid_value("map", "map with a single key"));
    Enum out = lookup(members.begin()->key());
    const value& unit = members.begin()->value();
    if (!unit.is_null() && !(unit.is_object() && unit.get_object().empty())) invalid_type(unit, "unit");
    return out;
}

DependentsPolicy read_dependents(value& v) { return read_unit_word<DependentsPolicy>(v, kDependentsWords); }
Delivery read_delivery(value& v) { return read_unit_word<Delivery>(v, kDeliveryWords); }

// ---- Field tables. ----

template <class Op>
struct Field {
    std::string_view name;
    bool required;
    void (*read)(Op&, value&);
};

template <auto Member, auto Reader, class Op>
void set(Op& op, value& v) {
    op.*Member = Reader(v);
}

template <class Op, auto Member, auto Reader>
constexpr Field<Op> required(std::string_view name) {
    return {name, true, &set<Member, Reader, Op>};
}
template <class Op, auto Member, auto Reader>
constexpr Field<Op> optional(std::string_view name) {
    return {name, false, &set<Member, Reader, Op>};
}

// The fields of one variant, with its "kind" word and its name in length messages.
template <class Op>
struct Shape;

#define KV_TEXT(Op, m) required<Op, &Op::m, read_text>(#m)
#define KV_TEXTS(Op, m) required<Op, &Op::m, read_texts>(#m)

template <>
struct Shape<NodeAdded> {
    static constexpr std::string_view word = "node-added", name = "NodeAdded";
    static constexpr std::array fields = {
        required<NodeAdded, &NodeAdded::node, read_node>("node"),
        optional<NodeAdded, &NodeAdded::retry_of, read_optional_text>("retry_of"),
    };
};
template <>
struct Shape<EdgeAdded> {
    static constexpr std::string_view word = "edge-added", name = "EdgeAdded";
    static constexpr std::array fields = {KV_TEXT(EdgeAdded, from), KV_TEXT(EdgeAdded, to)};
};
template <>
struct Shape<EdgeRemoved> {
    static constexpr std::string_view word = "edge-removed", name = "EdgeRemoved";
    static constexpr std::array fields = {KV_TEXT(EdgeRemoved, from), KV_TEXT(EdgeRemoved, to)};
};
template <>
struct Shape<NodeDropped> {
    static constexpr std::string_view word = "node-dropped", name = "NodeDropped";
    static constexpr std::array fields = {
        KV_TEXT(NodeDropped, node),
        required<NodeDropped, &NodeDropped::dependents, read_dependents>("dependents"),
    };
};
template <>
struct Shape<Reparent> {
    static constexpr std::string_view word = "reparent", name = "Reparent";
    static constexpr std::array fields = {KV_TEXT(Reparent, node), KV_TEXTS(Reparent, from),
                                          KV_TEXTS(Reparent, to)};
};
template <>
struct Shape<RetryRequested> {
    static constexpr std::string_view word = "retry-requested", name = "RetryRequested";
    static constexpr std::array fields = {KV_TEXT(RetryRequested, node),
                                          KV_TEXT(RetryRequested, replacement),
                                          KV_TEXTS(RetryRequested, reset)};
};
template <>
struct Shape<NodeParked> {
    static constexpr std::string_view word = "node-parked", name = "NodeParked";
    static constexpr std::array fields = {KV_TEXT(NodeParked, node)};
};
template <>
struct Shape<NodeRequeued> {
    static constexpr std::string_view word = "node-requeued", name = "NodeRequeued";
    static constexpr std::array fields = {
        KV_TEXT(NodeRequeued, node),
        optional<NodeRequeued, &NodeRequeued::amend, read_optional_map>("amend"),
    };
};
template <>
struct Shape<HumanAttested> {
    static constexpr std::string_view word = "human-attested", name = "HumanAttested";
    static constexpr std::array fields = {KV_TEXT(HumanAttested, node)};
};
template <>
struct Shape<CompletionRequested> {
    static constexpr std::string_view word = "completion-requested", name = "CompletionRequested";
    static constexpr std::array fields = {KV_TEXT(CompletionRequested, reason)};
};
template <>
struct Shape<ContextAdded> {
    static constexpr std::string_view word = "context-added", name = "ContextAdded";
    static constexpr std::array fields = {
        KV_TEXT(ContextAdded, node),
        KV_TEXT(ContextAdded, note),
        optional<ContextAdded, &ContextAdded::delivery, read_delivery>("delivery"),
    };
};

#undef KV_TEXT
#undef KV_TEXTS

// ---- The two forms, over any table. Absent optional fields keep the value they were
// initialised with (none, or "deferred" for delivery). ----

// Members in object order; names that are not fields of the variant ("kind" included) are
// ignored. Required fields are checked in declared order after the last member.
template <class Op>
Operation read_keyed(boost::json::object& members) {
    constexpr auto& fields = Shape<Op>::fields;
    Op op{};
    std::array<bool, fields.size()> seen{};
    for (auto& member : members) {
        for (std::size_t i = 0; i < fields.size(); ++i) {
            if (fields[i].name != member.key()) continue;
            fields[i].read(op, member.value());
            seen[i] = true;
            break;
        }
    }
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (fields[i].required && !seen[i]) missing_field(fields[i].name);
    }
    return op;
}

// items[0] is the kind word; the fields follow by position.
template <class Op>
Operation read_positional(boost::json::array& items) {
    constexpr auto& fields = Shape<Op>::fields;
    const std::size_t given = items.size() - 1;
    Op op{};
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i < given) {
            fields[i].read(op, items[i + 1]);
        } else if (fields[i].required) {
            fail(form::invalid_length(given, "struct variant Operation::" + std::string(Shape<Op>::name) +
                                                 " with " + form::elements(fields.size())));
        }
    }
    if (given > fields.size()) {
        fail(form::invalid_length(given, form::elements(fields.size()) + " in sequence"));
    }
    return op;
}

struct Kind {
    std::string_view word;
    Operation (*keyed)(boost::json::object&);
    Operation (*positional)(boost::json::array&);
};

template <std::size_t... I>
constexpr auto make_kinds(std::index_sequence<I...>) {
    return std::array<Kind, sizeof...(I)>{
        Kind{Shape<std::variant_alternative_t<I, Operation>>::word,
             &read_keyed<std::variant_alternative_t<I, Operation>>,
             &read_positional<std::variant_alternative_t<I, Operation>>}...};
}

constexpr auto kKinds = make_kinds(std::make_index_sequence<std::variant_size_v<Operation>>{});

constexpr auto kKindWords = [] {
    std::array<std::string_view, kKinds.size()> words{};
    for (std::size_t i = 0; i < words.size(); ++i) words[i] = kKinds[i].word;
    return words;
}();

const Kind& read_tag(const value& tag) {
    if (!tag.is_string()) invalid_type(tag, "variant identifier");
    std::string_view word = tag.get_string();
    if (auto code = form::find_word(kKindWords, word)) return kKinds[*code];
    fail(form::unknown_variant(word, kKindWords));
}

Operation read(value& v) {
    if (auto* members = v.if_object()) {
        // The tag is settled before any field is read, wherever it stands.
        auto tag = members->find("kind");
        if (tag == members->end()) missing_field("kind");
        return read_tag(tag->value()).keyed(*members);
    }
    if (auto* items = v.if_array()) {
        if (items->empty()) missing_field("kind");
        return read_tag(items->front()).positional(*items);
    }
    invalid_type(v, "internally tagged enum Operation");
}

}  // namespace

Result<Operation> read_operation(boost::json::value value) {
    try {
        return read(value);
    } catch (const form::Fault& fault) {
        return Fault{.kind = Fault::Kind::Data, .detail = fault.message(), .place = {}};
    }
}

}  // namespace korvalle::edits
