// The rows the timeline's spans are made of: the turn list, agent sessions, event entries, a
// node's human wait and its operation spans (verification, publication, lock waits).
#include "src/payload/timeline/timeline_rows.hpp"

#include "sdk/base/clock.hpp"
#include "sdk/base/json_member.hpp"
#include "sdk/base/text.hpp"
#include "sdk/journal/event.hpp"
#include "src/payload/conversation.hpp"
#include "src/payload/envelope_facts.hpp"
#include "src/payload/verification.hpp"
#include "src/payload/vocabulary.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>

namespace korvalle::payload {

namespace {

using event::EventSource;

// Blank: empty, or Unicode white space only. The text itself is kept untrimmed.
std::optional<std::string_view> not_blank(std::optional<std::string_view> text) {
    if (!text || text::trim(*text).empty()) return std::nullopt;
    return text;
}

// A JSON integer that is not negative (a fraction or a string is none).
std::optional<std::uint64_t> unsigned_member(const boost::json::object& object, std::string_view key) {
    const auto* value = object.if_contains(key);
    if (!value) return std::nullopt;
    if (value->is_uint64()) return value->get_uint64();
    if (value->is_int64() && value->get_int64() >= 0) return static_cast<std::uint64_t>(value->get_int64());
    return std::nullopt;
}

// Writes the offer made to a running member by an interrupted turn, when it makes one.
void interrupted_turn(json::Writer& out, const event::Envelope& envelope) {
    if (envelope.kind != "turn-interrupted") return;
    const boost::json::object payload = envelope.payload.read();
    const auto* delivered = payload.if_contains("delivered");
    if (!delivered || !delivered->is_bool()) return;
    out.key("redirection");
    out.begin_object();
    out.member("delivered", delivered->get_bool());
    // A blank member in the payload does not hide the label's.
    const boost::json::object labels = envelope.labels.extra.read();
    auto member = not_blank(json::string_member(payload, "member"));
    if (!member) member = not_blank(json::string_member(labels, "member"));
    if (member) out.member("member", *member);
    if (auto bytes = unsigned_member(payload, "input_bytes")) out.member("input_bytes", *bytes);
    if (!delivered->get_bool()) {
        if (auto reason = not_blank(json::string_member(payload, "reason"))) out.member("reason", *reason);
    }
    out.end_object();
}

// Writes the context note of a committed edit, when it has one: its first context-added
// operation decides.
void committed_context(json::Writer& out, const event::Envelope& envelope) {
    if (envelope.kind != "edit-committed") return;
    const auto operations = envelope.payload.member("operations");
    if (!operations || !operations->is_array()) return;
    for (const auto& operation : operations->get_array()) {
        if (!operation.is_object()) continue;
        const auto& fields = operation.get_object();
        if (json::string_member(fields, "kind") != "context-added") continue;
        const auto* delivery = fields.if_contains("delivery");
        bool live = false;
        if (delivery && delivery->is_string()) {
            const std::string_view word = delivery->get_string();
            if (word == "live")
                live = true;
            else if (word != "deferred")
                return;  // a delivery this reader does not know offers nothing
        }
        out.key("redirection");
        out.begin_object();
        out.member("delivered", live);
        out.member("delivery", live ? "live" : "deferred");
        if (auto node = not_blank(json::string_member(fields, "node"))) out.member("node_id", *node);
        out.end_object();
        return;
    }
}

// Writes the "redirection" member of an event entry, when the envelope offers one.
void redirection(json::Writer& out, const event::Envelope& envelope) {
    switch (envelope.source) {
    case EventSource::Morvane: interrupted_turn(out, envelope); return;
    case EventSource::Pipeline: committed_context(out, envelope); return;
    case EventSource::Vcs: return;
    }
}

// "e<position>": the id of an event entry that is no turn, made on the stack.
void position_id(json::Writer& out, std::size_t position) {
    char id[24] = {'e'};
    char* end = std::to_chars(id + 1, id + sizeof id, position).ptr;
    out.value(std::string_view(id, static_cast<std::size_t>(end - id)));
}

void verification_span(json::Writer& out, const VerificationRecord& record, std::string_view parent,
                       std::string_view node, std::uint64_t round) {
    out.begin_object();
    out.member("id", span_id("verification", round, node, record.artifact_id));
    out.member("kind", "verification");
    out.member("label", record.artifact_id);
    out.member("started_at", record.started_at);
    out.member("ended_at", record.ended_at);
    out.member("parent_id", parent);
    out.member("node_id", node);
    out.member("round", round);
    out.member("status", record.ok ? "ok" : "failed");
    out.key("detail");
    write_verification_detail(out, record);
    no_events(out);
}

// Writes the node's change request, when it has one: opened with its session, ended by a
// merge, else a conflict, else the change being opened.
void publication_span(json::Writer& out, const NodeRound& node, std::string_view parent, std::uint64_t round) {
    const event::Envelope* start = nullptr;
    const event::Envelope* merge = nullptr;
    const event::Envelope* conflict = nullptr;
    const event::Envelope* link = nullptr;
    for (const auto& [index, envelope] : node.pairs) {
        if (envelope->source != EventSource::Vcs) continue;
        const std::string_view kind = envelope->kind;
        if (kind == "session-opened" && !start) start = envelope;
        if (kind == "merge-completed" || kind == "change-merged") merge = envelope;
        if (kind == "sync-conflict") conflict = envelope;
        if (kind == "change-merged" || kind == "change-opened") link = envelope;
    }
    if (!start) return;
    const event::Envelope* end = merge ? merge : conflict ? conflict : link;
    const std::string label = start->payload.string_member("branch").value_or(std::string(node.node));
    span_head(out, span_id("publication", round, node.node), "publication", label, start->ts, end, parent, node.node,
              round);
    if (end) out.member("status", merge ? "merged" : conflict ? "conflict" : "open");
    if (link) {
        if (auto url = link->payload.string_member("url")) reference_member(out, "pr", *url);
    }
    no_events(out);
}

// Milliseconds a lock wait lasted, when its "elapsed" seconds are a finite number not below zero.
std::optional<std::uint64_t> lock_wait_ms(const event::Envelope& envelope) {
    const auto elapsed = envelope.payload.member("elapsed");
    if (!elapsed || !elapsed->is_number()) return std::nullopt;
    const double seconds = elapsed->to_number<double>();
    if (!std::isfinite(seconds) || seconds < 0) return std::nullopt;
    const double ms = seconds * 1000.0;
    // Past the largest count the wait saturates rather than wrapping.
    if (ms >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(ms);
}

// When the first counted wait began: its time less its own wait, in UTC to the millisecond; its
// time as written when that does not read as RFC 3339 or the start leaves the four-digit years.
std::string lock_wait_start(const event::Envelope& first, std::uint64_t waited_ms) {
    const auto at = clock::parse_rfc3339_ms(first.ts);
    // No four-digit year lies further than 2^62 ms from another, so a longer wait is out of range.
    if (!at || waited_ms > (std::uint64_t{1} << 62)) return first.ts.str();
    return clock::format_utc_ms(*at - static_cast<std::int64_t>(waited_ms)).value_or(first.ts.str());
}

// Writes the rollup of the node's lock waits, when it has a counted one.
void lock_wait_rollup(json::Writer& out, const NodeRound& node, std::string_view parent, std::uint64_t round) {
    const event::Envelope* first = nullptr;
    const event::Envelope* last = nullptr;
    std::uint64_t first_ms = 0;
    std::uint64_t count = 0;
    std::uint64_t total = 0;
    for (const auto& [index, envelope] : node.pairs) {
        if (!is_event(*envelope, EventSource::Vcs, "lock-wait")) continue;
        const auto ms = lock_wait_ms(*envelope);
        if (!ms) continue;
        if (!first) first = envelope, first_ms = *ms;
        last = envelope;
        ++count;
        total = total > std::numeric_limits<std::uint64_t>::max() - *ms ? std::numeric_limits<std::uint64_t>::max()
                                                                          : total + *ms;
    }
    if (!first) return;
    const std::string start = lock_wait_start(*first, first_ms);
    span_head(out, span_id("rollup", round, node.node, "lock-wait"), "rollup", "lock-wait", start, last, parent,
              node.node, round);
    out.member("count", count);
    out.member("total_duration_ms", total);
    no_events(out);
}

}  // namespace

std::string round_key(std::uint64_t round) {
    std::string digits = std::to_string(round);
    return round < 10 ? "0" + digits : digits;
}

std::string span_id(std::string_view kind, std::uint64_t round, std::string_view owner, std::string_view rest) {
    std::string id;
    id.reserve(kind.size() + owner.size() + rest.size() + 24);
    id.append(kind).append(".").append(round_key(round)).append(".").append(owner);
    if (!rest.empty()) id.append(".").append(rest);
    return id;
}

void reference_member(json::Writer& out, std::string_view kind, std::string_view value) {
    out.key("reference");
    out.begin_object();
    out.member("kind", kind);
    out.member("value", value);
    out.end_object();
}

void ended_at(json::Writer& out, const event::Envelope* end) {
    if (end)
        out.member("ended_at", end->ts.view());
    else
        out.member("ended_at", nullptr);
}

void span_head(json::Writer& out, std::string_view id, std::string_view kind, std::string_view label,
               std::string_view started_at, const event::Envelope* end, std::string_view parent,
               std::string_view node, std::uint64_t round) {
    out.begin_object();
    out.member("id", id);
    out.member("kind", kind);
    out.member("label", label);
    out.member("started_at", started_at);
    ended_at(out, end);
    out.member("parent_id", parent);
    out.member("node_id", node);
    out.member("round", round);
}

void no_events(json::Writer& out) {
    out.key("events");
    out.begin_array();
    out.end_array();
    out.end_object();
}

std::vector<SessionGroup> group_by_session(const PlacedList& pairs, const EnvelopeFacts& facts) {
    std::vector<SessionGroup> groups;
    std::vector<std::uint32_t> numbers;  // of the groups' sessions
    for (const Placed& pair : pairs) {
        const AgentFacts& of = facts.at(pair.index);
        if (!of.conversation()) continue;
        // A run has few sessions, so a linear look-up beats a map here.
        const auto number = std::find(numbers.begin(), numbers.end(), *of.session());
        if (number == numbers.end()) {
            numbers.push_back(*of.session());
            groups.push_back(SessionGroup{facts.sessions()[*of.session()], {pair}});
        } else {
            groups[static_cast<std::size_t>(number - numbers.begin())].pairs.push_back(pair);
        }
    }
    return groups;
}

void step_operations(json::Writer& out, std::size_t position, const event::Envelope& envelope,
                     const EnvelopeFacts& facts) {
    const AgentFacts& of = facts.at(position);
    const bool turn = of.turn() && of.conversation();
    const std::string_view session = turn ? facts.sessions()[*of.session()] : std::string_view();
    const auto& labels = envelope.labels;
    out.begin_object();
    out.key("id");
    if (turn)
        write_turn_id(out, session, of.turn_number());
    else
        position_id(out, position);
    out.member("kind", envelope.kind);
    out.member("at", envelope.ts.view());
    if (labels.node) out.member("node_id", *labels.node);
    if (labels.step) out.member("step_id", *labels.step);
    if (labels.round) out.member("round", *labels.round);
    // One look at the payload finds both members.
    std::array<std::string, 2> scratch;
    const auto [status, url] = envelope.payload.string_members<2>({"status", "url"}, scratch);
    if (status) out.member("status", *status);
    redirection(out, envelope);
    if (turn) {
        reference_member(out, "conversation", session);
    } else if (url) {
        reference_member(out, "pr", *url);
    } else if (!envelope.artifacts.empty()) {
        const auto& first = envelope.artifacts.front();
        reference_member(out, artifact_kind_word(first.kind), first.id);
    }
    out.end_object();
}

void human_waits(json::Writer& out, const NodeRound& node, const event::Envelope* attestation, std::string_view parent,
                 std::uint64_t round) {
    if (!node.settled || node.settled->payload.string_member("status") != "waiting") return;
    span_head(out, span_id("human-wait", round, node.node), "human-wait", std::string(node.node) + " awaiting a person",
              node.settled->ts, attestation, parent, node.node, round);
    no_events(out);
}

void timeline_operations(json::Writer& out, const NodeRound& node, std::string_view parent, std::uint64_t round) {
    // The node's envelopes of the round are exactly the ones its verification records come from.
    std::vector<const event::Envelope*> selected;
    selected.reserve(node.pairs.size());
    for (const auto& pair : node.pairs) selected.push_back(pair.envelope);
    for (const auto& record : verification_records(selected)) verification_span(out, record, parent, node.node, round);
    publication_span(out, node, parent, round);
    lock_wait_rollup(out, node, parent, round);
}

}  // namespace korvalle::payload
