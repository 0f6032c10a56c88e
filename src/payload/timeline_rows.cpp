// The rows the timeline's spans are made of: the turn list, agent sessions, event entries, a
// node's human wait and its operation spans (verification, publication, lock waits).
#include "src/payload/timeline.hpp"

#include "sdk/base/clock.hpp"
#include "sdk/base/text.hpp"
#include "sdk/journal/event.hpp"
#include "src/contract/contract.hpp"
#include "src/payload/payload.hpp"
#include "src/payload/verification.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_map>

namespace korvalle::payload {

namespace {

using event::EventSource;

std::optional<std::string_view> string_member(const boost::json::object& object, std::string_view key) {
    const auto* value = object.if_contains(key);
    if (!value || !value->is_string()) return std::nullopt;
    return std::string_view(value->get_string());
}

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

// The envelope's "session" label when it passes the identifier rule.
std::optional<std::string_view> valid_session(const event::Envelope& envelope) {
    auto session = string_member(envelope.labels.extra, "session");
    if (!session || contract::validate_run_id(*session)) return std::nullopt;
    return session;
}

bool is(const event::Envelope& envelope, EventSource source, std::string_view kind) {
    return envelope.source == source && envelope.kind == kind;
}

// The offer made to a running member by an interrupted turn.
std::optional<boost::json::object> interrupted_turn(const event::Envelope& envelope,
                                                    const boost::json::storage_ptr& sp) {
    if (envelope.kind != "turn-interrupted") return std::nullopt;
    const auto& payload = envelope.payload;
    const auto* delivered = payload.if_contains("delivered");
    if (!delivered || !delivered->is_bool()) return std::nullopt;
    boost::json::object out(4, sp);
    out.emplace("delivered", delivered->get_bool());
    // A blank member in the payload does not hide the label's.
    auto member = not_blank(string_member(payload, "member"));
    if (!member) member = not_blank(string_member(envelope.labels.extra, "member"));
    if (member) out.emplace("member", *member);
    if (auto bytes = unsigned_member(payload, "input_bytes")) out.emplace("input_bytes", *bytes);
    if (!delivered->get_bool()) {
        if (auto reason = not_blank(string_member(payload, "reason"))) out.emplace("reason", *reason);
    }
    return out;
}

// The context note of a committed edit: its first context-added operation decides.
std::optional<boost::json::object> committed_context(const event::Envelope& envelope,
                                                     const boost::json::storage_ptr& sp) {
    if (envelope.kind != "edit-committed") return std::nullopt;
    const auto* operations = envelope.payload.if_contains("operations");
    if (!operations || !operations->is_array()) return std::nullopt;
    for (const auto& operation : operations->get_array()) {
        if (!operation.is_object()) continue;
        const auto& fields = operation.get_object();
        if (string_member(fields, "kind") != "context-added") continue;
        const auto* delivery = fields.if_contains("delivery");
        bool live = false;
        if (delivery && delivery->is_string()) {
            const std::string_view word = delivery->get_string();
            if (word == "live")
                live = true;
            else if (word != "deferred")
                return std::nullopt;  // a delivery this reader does not know offers nothing
        }
        boost::json::object out(4, sp);
        out.emplace("delivered", live);
        out.emplace("delivery", live ? "live" : "deferred");
        if (auto node = not_blank(string_member(fields, "node"))) out.emplace("node_id", *node);
        return out;
    }
    return std::nullopt;
}

std::optional<boost::json::object> redirection(const event::Envelope& envelope, const boost::json::storage_ptr& sp) {
    switch (envelope.source) {
    case EventSource::Morvane: return interrupted_turn(envelope, sp);
    case EventSource::Pipeline: return committed_context(envelope, sp);
    case EventSource::Vcs: return std::nullopt;
    }
    return std::nullopt;
}

boost::json::object reference(std::string_view kind, std::string_view value, const boost::json::storage_ptr& sp) {
    boost::json::object out(2, sp);
    out.emplace("kind", kind);
    out.emplace("value", value);
    return out;
}

// The common head of a node's spans, up to "round", in an object sized for its keys in all.
boost::json::object span_head(std::size_t keys, std::string id, std::string_view kind, std::string_view label,
                              std::string_view started_at, const event::Envelope* end, std::string_view parent,
                              std::string_view node, std::uint64_t round, const boost::json::storage_ptr& sp) {
    boost::json::object span(keys, sp);
    span.emplace("id", std::move(id));
    span.emplace("kind", kind);
    span.emplace("label", label);
    span.emplace("started_at", started_at);
    span.emplace("ended_at", end ? boost::json::value(end->ts, sp) : boost::json::value(nullptr));
    span.emplace("parent_id", parent);
    span.emplace("node_id", node);
    span.emplace("round", round);
    return span;
}

boost::json::object verification_span(const VerificationRecord& record, std::string_view parent,
                                      std::string_view node, std::uint64_t round, const boost::json::storage_ptr& sp) {
    boost::json::object span(11, sp);
    span.emplace("id", "verification." + round_key(round) + "." + std::string(node) + "." +
                           std::string(record.artifact_id));
    span.emplace("kind", "verification");
    span.emplace("label", record.artifact_id);
    span.emplace("started_at", record.started_at);
    span.emplace("ended_at", record.ended_at);
    span.emplace("parent_id", parent);
    span.emplace("node_id", node);
    span.emplace("round", round);
    span.emplace("status", record.ok ? "ok" : "failed");
    span.emplace("detail", verification_detail(record));
    span.emplace("events", boost::json::array(sp));
    return span;
}

// The node's change request: opened with its session, ended by a merge, else a conflict, else
// the change being opened.
std::optional<boost::json::object> publication_span(const NodeRound& node, std::string_view parent,
                                                    std::uint64_t round, const boost::json::storage_ptr& sp) {
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
    if (!start) return std::nullopt;
    const event::Envelope* end = merge ? merge : conflict ? conflict : link;
    const std::string_view label = string_member(start->payload, "branch").value_or(node.node);
    auto span = span_head(11, "publication." + round_key(round) + "." + std::string(node.node), "publication", label,
                          start->ts, end, parent, node.node, round, sp);
    if (end) span.emplace("status", merge ? "merged" : conflict ? "conflict" : "open");
    if (link) {
        if (auto url = string_member(link->payload, "url")) span.emplace("reference", reference("pr", *url, sp));
    }
    span.emplace("events", boost::json::array(sp));
    return span;
}

// Milliseconds a lock wait lasted, when its "elapsed" seconds are a finite number not below zero.
std::optional<std::uint64_t> lock_wait_ms(const event::Envelope& envelope) {
    const auto* elapsed = envelope.payload.if_contains("elapsed");
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
    if (!at || waited_ms > (std::uint64_t{1} << 62)) return first.ts;
    return clock::format_utc_ms(*at - static_cast<std::int64_t>(waited_ms)).value_or(first.ts);
}

std::optional<boost::json::object> lock_wait_rollup(const NodeRound& node, std::string_view parent,
                                                    std::uint64_t round, const boost::json::storage_ptr& sp) {
    const event::Envelope* first = nullptr;
    const event::Envelope* last = nullptr;
    std::uint64_t first_ms = 0;
    std::uint64_t count = 0;
    std::uint64_t total = 0;
    for (const auto& [index, envelope] : node.pairs) {
        if (!is(*envelope, EventSource::Vcs, "lock-wait")) continue;
        const auto ms = lock_wait_ms(*envelope);
        if (!ms) continue;
        if (!first) first = envelope, first_ms = *ms;
        last = envelope;
        ++count;
        total = total > std::numeric_limits<std::uint64_t>::max() - *ms ? std::numeric_limits<std::uint64_t>::max()
                                                                          : total + *ms;
    }
    if (!first) return std::nullopt;
    const std::string start = lock_wait_start(*first, first_ms);
    auto span = span_head(11, "rollup." + round_key(round) + "." + std::string(node.node) + ".lock-wait", "rollup",
                          "lock-wait", start, last, parent, node.node, round, sp);
    span.emplace("count", count);
    span.emplace("total_duration_ms", total);
    span.emplace("events", boost::json::array(sp));
    return span;
}

}  // namespace

std::string round_key(std::uint64_t round) {
    std::string digits = std::to_string(round);
    return round < 10 ? "0" + digits : digits;
}

Turns turn_list(const std::vector<event::Envelope>& envelopes) {
    Turns turns(envelopes.size());
    std::unordered_map<std::string_view, std::uint64_t> counts;
    for (std::size_t i = 0; i < envelopes.size(); ++i) {
        const auto& envelope = envelopes[i];
        if (envelope.source != EventSource::Morvane) continue;
        if (envelope.kind == "turn-activity" || envelope.kind == "turn-interrupted") continue;
        const auto session = valid_session(envelope);
        if (!session) continue;
        std::uint64_t& count = counts[*session];
        turns[i] = Turn{std::string(*session), std::string(*session) + "." + std::to_string(count)};
        ++count;
    }
    return turns;
}

std::vector<SessionGroup> group_by_session(const PlacedList& pairs) {
    std::vector<SessionGroup> groups;
    for (const Placed& pair : pairs) {
        if (pair.envelope->source != EventSource::Morvane) continue;
        const auto session = valid_session(*pair.envelope);
        if (!session) continue;
        // A run has few sessions, so a linear look-up beats a map here.
        auto group = std::find_if(groups.begin(), groups.end(),
                                  [&](const SessionGroup& g) { return g.session == *session; });
        if (group == groups.end())
            groups.push_back(SessionGroup{*session, {pair}});
        else
            group->pairs.push_back(pair);
    }
    return groups;
}

boost::json::object step_operations(std::size_t position, const event::Envelope& envelope, const Turns& turns,
                                    const boost::json::storage_ptr& sp) {
    const Turn* turn = position < turns.size() && turns[position] ? &*turns[position] : nullptr;
    const auto& labels = envelope.labels;
    const auto status = string_member(envelope.payload, "status");
    auto offer = redirection(envelope, sp);
    std::optional<boost::json::object> follow;
    if (turn) {
        follow = reference("conversation", turn->session, sp);
    } else if (auto url = string_member(envelope.payload, "url")) {
        follow = reference("pr", *url, sp);
    } else if (!envelope.artifacts.empty()) {
        const auto& first = envelope.artifacts.front();
        follow = reference(artifact_kind_word(first.kind), first.id, sp);
    }
    // Sized exactly: a timeline holds one entry per envelope, and unused slots add up.
    boost::json::object entry(3 + labels.node.has_value() + labels.step.has_value() + labels.round.has_value() +
                                  status.has_value() + offer.has_value() + follow.has_value(),
                              sp);
    entry.emplace("id", turn ? turn->id : "e" + std::to_string(position));
    entry.emplace("kind", envelope.kind);
    entry.emplace("at", envelope.ts);
    if (labels.node) entry.emplace("node_id", *labels.node);
    if (labels.step) entry.emplace("step_id", *labels.step);
    if (labels.round) entry.emplace("round", *labels.round);
    if (status) entry.emplace("status", *status);
    if (offer) entry.emplace("redirection", std::move(*offer));
    if (follow) entry.emplace("reference", std::move(*follow));
    return entry;
}

std::optional<boost::json::object> human_waits(const NodeRound& node, const event::Envelope* attestation,
                                               std::string_view parent, std::uint64_t round,
                                               const boost::json::storage_ptr& sp) {
    if (!node.settled || string_member(node.settled->payload, "status") != "waiting") return std::nullopt;
    auto span = span_head(9, "human-wait." + round_key(round) + "." + std::string(node.node), "human-wait",
                          std::string(node.node) + " awaiting a person", node.settled->ts, attestation, parent,
                          node.node, round, sp);
    span.emplace("events", boost::json::array(sp));
    return span;
}

std::vector<boost::json::object> timeline_operations(const NodeRound& node, std::string_view parent,
                                                     std::uint64_t round, const boost::json::storage_ptr& sp) {
    std::vector<boost::json::object> spans;
    // The node's envelopes of the round are exactly the ones its verification records come from.
    std::vector<const event::Envelope*> selected;
    selected.reserve(node.pairs.size());
    for (const auto& pair : node.pairs) selected.push_back(pair.envelope);
    for (const auto& record : verification_records(selected))
        spans.push_back(verification_span(record, parent, node.node, round, sp));
    if (auto publication = publication_span(node, parent, round, sp)) spans.push_back(std::move(*publication));
    if (auto rollup = lock_wait_rollup(node, parent, round, sp)) spans.push_back(std::move(*rollup));
    return spans;
}

}  // namespace korvalle::payload
