// The timeline document and its spans: the journal index, node spans, dispatch rollups, the
// whole-run phases and the node timeline with its dispatch spans.
#include "src/payload/timeline.hpp"

#include "sdk/journal/event.hpp"
#include "sdk/run/views.hpp"
#include "src/contract/contract.hpp"
#include "src/payload/payload.hpp"

#include <boost/json/monotonic_resource.hpp>

#include <algorithm>

namespace korvalle::payload {

namespace {

using event::EventSource;

bool is(const event::Envelope& envelope, EventSource source, std::string_view kind) {
    return envelope.source == source && envelope.kind == kind;
}

std::optional<std::string_view> persona(const event::Envelope* envelope) {
    if (!envelope || !envelope->labels.persona) return std::nullopt;
    return std::string_view(*envelope->labels.persona);
}

// The party of the first envelope of the group that names one; agent when none does.
Party group_party(const PlacedList& pairs) {
    for (const auto& pair : pairs) {
        if (auto party = party_of(*pair.envelope)) return *party;
    }
    return Party::Agent;
}

boost::json::array events_of(const PlacedList& pairs, const Turns& turns, const boost::json::storage_ptr& sp) {
    boost::json::array events(sp);
    events.reserve(pairs.size());
    for (const auto& [index, envelope] : pairs) events.push_back(step_operations(index, *envelope, turns, sp));
    return events;
}

std::string node_span_id(std::uint64_t round, std::string_view node) {
    return "node." + round_key(round) + "." + std::string(node);
}

// The rounds a timeline visits: those that carry envelopes, from 1 to the larger of the run's
// round and 1. Rounds are looked up, never counted through, so a journal line that names a huge
// round costs nothing.
template <class Visit>
void for_each_round(const views::RunView& view, const TimelineIndex& index, Visit visit) {
    const std::uint64_t last = std::max<std::uint64_t>(view.round, 1);
    for (auto it = index.rounds().lower_bound(1); it != index.rounds().end() && it->first <= last; ++it)
        visit(it->first, it->second);
}

// ---- Whole-run timeline. ----

boost::json::object round_span(std::uint64_t round, const TimelineIndex::Round& of_round, bool finished,
                               const Turns& turns, const boost::json::storage_ptr& sp) {
    boost::json::object span(8, sp);
    span.emplace("id", "round-" + round_key(round));
    span.emplace("kind", "round");
    span.emplace("label", "round " + std::to_string(round));
    span.emplace("started_at", of_round.pairs.front().envelope->ts);
    span.emplace("ended_at", finished ? boost::json::value(of_round.pairs.back().envelope->ts, sp)
                                      : boost::json::value(nullptr));
    span.emplace("round", round);
    span.emplace("phase", finished ? "reviewing-results" : "driving-round");
    boost::json::array events(sp);
    for (const auto& [index, envelope] : of_round.pairs) {
        if (!envelope->labels.node && envelope->source != EventSource::Morvane)
            events.push_back(step_operations(index, *envelope, turns, sp));
    }
    span.emplace("events", std::move(events));
    return span;
}

// An agent session of the round that belongs to the run rather than to a node (a planner).
boost::json::object run_dispatch_span(std::uint64_t round, const SessionGroup& group, bool finished,
                                      const Turns& turns, const boost::json::storage_ptr& sp) {
    boost::json::object span(12, sp);
    span.emplace("id", "run." + round_key(round) + "." + std::string(group.session));
    span.emplace("kind", "dispatch");
    span.emplace("label", group.session);
    span.emplace("started_at", group.pairs.front().envelope->ts);
    span.emplace("ended_at", finished ? boost::json::value(group.pairs.back().envelope->ts, sp)
                                      : boost::json::value(nullptr));
    span.emplace("parent_id", "round-" + round_key(round));
    span.emplace("round", round);
    span.emplace("status", finished ? "done" : "running");
    span.emplace("transport_role", party_word(group_party(group.pairs)));
    // Only the session's first envelope speaks for its role here.
    if (auto role = role_word(persona(group.pairs.front().envelope))) span.emplace("agent_role", *role);
    boost::json::object conversation(2, sp);
    conversation.emplace("kind", "conversation");
    conversation.emplace("value", group.session);
    span.emplace("reference", std::move(conversation));
    span.emplace("events", events_of(group.pairs, turns, sp));
    return span;
}

void append_round(boost::json::array& spans, std::uint64_t round, const TimelineIndex::Round& of_round,
                  const TimelineIndex& index) {
    const bool finished = std::any_of(of_round.pairs.begin(), of_round.pairs.end(), [](const Placed& pair) {
        return is(*pair.envelope, EventSource::Pipeline, "round-finished");
    });
    const Turns& turns = index.turns();
    const boost::json::storage_ptr& sp = spans.storage();
    spans.push_back(round_span(round, of_round, finished, turns, sp));

    PlacedList run_pairs;
    for (const auto& pair : of_round.pairs)
        if (!pair.envelope->labels.node) run_pairs.push_back(pair);
    for (const auto& group : group_by_session(run_pairs))
        spans.push_back(run_dispatch_span(round, group, finished, turns, sp));

    const std::string parent = "round-" + round_key(round);
    for (const auto& node : of_round.nodes) {
        spans.push_back(node_span(node, round, parent, turns, sp));
        const std::string node_id = node_span_id(round, node.node);
        if (auto wait = human_waits(node, index.first_attestation(node.node), node_id, round, sp))
            spans.push_back(std::move(*wait));
        for (auto& span : rollup_spans(node, node_id, round, sp)) spans.push_back(std::move(span));
        for (auto& span : timeline_operations(node, node_id, round, sp)) spans.push_back(std::move(span));
    }
}

// ---- Node timeline. ----

// One dispatch span per agent session of the dispatched node in the round, or one of the
// node's own when it has no session.
void append_dispatches(boost::json::array& spans, std::string_view run_id, const NodeRound& node,
                       std::uint64_t round, const Turns& turns) {
    const event::Envelope& dispatch = *node.dispatched;
    const boost::json::storage_ptr& sp = spans.storage();
    const std::string rr = round_key(round);
    const std::string dispatch_id = std::string(run_id) + "." + rr + "." + std::string(node.node);
    const bool dispatch_id_valid = !contract::validate_run_id(dispatch_id);
    std::string_view status = "running";
    if (node.settled) {
        if (const auto* word = node.settled->payload.if_contains("status"); word && word->is_string())
            status = status_word(word->get_string());
    }

    auto groups = group_by_session(node.pairs);
    const bool own = groups.empty();
    if (own) groups.push_back(SessionGroup{node.node, {}});
    for (const auto& group : groups) {
        boost::json::object span(14, sp);
        span.emplace("id", "dispatch." + rr + "." + std::string(group.session));
        span.emplace("kind", "dispatch");
        span.emplace("label", own ? std::string(node.node) + " dispatch" : std::string(group.session));
        span.emplace("started_at", dispatch.ts);
        span.emplace("ended_at", node.settled ? boost::json::value(node.settled->ts, sp) : boost::json::value(nullptr));
        span.emplace("parent_id", node_span_id(round, node.node));
        span.emplace("node_id", node.node);
        span.emplace("round", round);
        if (dispatch_id_valid) span.emplace("dispatch_id", dispatch_id);
        const Party party = own ? party_of(dispatch).value_or(Party::Agent) : group_party(group.pairs);
        span.emplace("transport_role", party_word(party));
        // The session's first envelope names the role; the dispatch only when it names none.
        auto role_text = own ? persona(&dispatch) : persona(group.pairs.front().envelope);
        if (!role_text) role_text = persona(&dispatch);
        if (auto role = role_word(role_text)) span.emplace("agent_role", *role);
        span.emplace("status", status);
        if (!own) {
            boost::json::object conversation(2, sp);
            conversation.emplace("kind", "conversation");
            conversation.emplace("value", group.session);
            span.emplace("reference", std::move(conversation));
        }
        span.emplace("events", events_of(group.pairs, turns, sp));
        spans.push_back(std::move(span));
    }
}

void append_node_round(boost::json::array& spans, std::string_view run_id, const NodeRound& node,
                       std::uint64_t round, const TimelineIndex& index) {
    const std::string node_id = node_span_id(round, node.node);
    const boost::json::storage_ptr& sp = spans.storage();
    spans.push_back(node_span(node, round, std::nullopt, index.turns(), sp));
    if (auto wait = human_waits(node, index.first_attestation(node.node), node_id, round, sp))
        spans.push_back(std::move(*wait));
    auto operations = timeline_operations(node, node_id, round, sp);
    if (node.dispatched) append_dispatches(spans, run_id, node, round, index.turns());
    for (auto& span : operations) spans.push_back(std::move(span));
}

}  // namespace

TimelineIndex::TimelineIndex(const std::vector<event::Envelope>& envelopes) : turns_(turn_list(envelopes)) {
    for (std::size_t i = 0; i < envelopes.size(); ++i) {
        const event::Envelope& envelope = envelopes[i];
        if (is(envelope, EventSource::Pipeline, "human-attested") && envelope.labels.node)
            attestations_.emplace(*envelope.labels.node, &envelope);  // the first one stays
        if (!envelope.labels.round) continue;
        Round& round = rounds_[*envelope.labels.round];
        round.pairs.push_back(Placed{i, &envelope});
        if (!envelope.labels.node) continue;
        const std::string_view label = *envelope.labels.node;
        auto [at, added] = round.node_at.try_emplace(label, round.nodes.size());
        if (added) round.nodes.push_back(NodeRound{label, {}, nullptr, nullptr});
        NodeRound& node = round.nodes[at->second];
        node.pairs.push_back(Placed{i, &envelope});
        if (!node.dispatched && is(envelope, EventSource::Pipeline, "node-dispatched")) node.dispatched = &envelope;
        if (!node.settled && is(envelope, EventSource::Pipeline, "node-settled")) node.settled = &envelope;
    }
}

const NodeRound* TimelineIndex::node_round(const Round& round, std::string_view node) const {
    auto it = round.node_at.find(node);
    return it == round.node_at.end() ? nullptr : &round.nodes[it->second];
}

const event::Envelope* TimelineIndex::first_attestation(std::string_view node) const {
    auto it = attestations_.find(node);
    return it == attestations_.end() ? nullptr : it->second;
}

boost::json::object node_span(const NodeRound& node, std::uint64_t round, std::optional<std::string_view> parent,
                              const Turns& turns, const boost::json::storage_ptr& sp) {
    const boost::json::value* status = node.settled ? node.settled->payload.if_contains("status") : nullptr;
    if (status && !status->is_string()) status = nullptr;
    boost::json::object span(8 + (parent ? 1 : 0) + (status ? 1 : 0), sp);
    span.emplace("id", node_span_id(round, node.node));
    span.emplace("kind", "node");
    span.emplace("label", node.node);
    span.emplace("started_at", node.pairs.front().envelope->ts);
    span.emplace("ended_at", node.settled ? boost::json::value(node.settled->ts, sp) : boost::json::value(nullptr));
    if (parent) span.emplace("parent_id", *parent);
    span.emplace("node_id", node.node);
    span.emplace("round", round);
    if (status) span.emplace("status", status_word(status->get_string()));
    span.emplace("events", events_of(node.pairs, turns, sp));
    return span;
}

std::vector<boost::json::object> rollup_spans(const NodeRound& node, std::string_view parent, std::uint64_t round,
                                              const boost::json::storage_ptr& sp) {
    if (!node.dispatched) return {};
    struct Entry {
        Party party;
        std::string_view role;
        std::uint64_t count;
    };
    std::vector<Entry> tally;  // at most one entry per party and role: fifteen
    for (const auto& group : group_by_session(node.pairs)) {
        // A persona on the session's first envelope decides, even one that is no role word.
        auto text = persona(group.pairs.front().envelope);
        if (!text) text = persona(node.dispatched);
        const auto role = role_word(text);
        if (!role) continue;
        const Party party = group_party(group.pairs);
        auto entry = std::find_if(tally.begin(), tally.end(),
                                  [&](const Entry& e) { return e.party == party && e.role == *role; });
        if (entry == tally.end())
            tally.push_back(Entry{party, *role, 1});
        else
            ++entry->count;
    }
    if (tally.empty()) {
        const auto role = role_word(persona(node.dispatched));
        if (!role) return {};
        tally.push_back(Entry{party_of(*node.dispatched).value_or(Party::Agent), *role, 1});
    }

    std::vector<boost::json::object> spans;
    for (const auto& entry : tally) {
        boost::json::object span(12, sp);
        span.emplace("id", "rollup." + round_key(round) + "." + std::string(node.node) + "." +
                               std::string(party_word(entry.party)) + "." + std::string(entry.role));
        span.emplace("kind", "rollup");
        span.emplace("label", "dispatch");
        span.emplace("started_at", node.dispatched->ts);
        span.emplace("ended_at", node.settled ? boost::json::value(node.settled->ts, sp) : boost::json::value(nullptr));
        span.emplace("parent_id", parent);
        span.emplace("node_id", node.node);
        span.emplace("round", round);
        span.emplace("count", entry.count);
        span.emplace("agent_role", entry.role);
        span.emplace("transport_role", party_word(entry.party));
        span.emplace("events", boost::json::array(sp));
        spans.push_back(std::move(span));
    }
    return spans;
}

boost::json::array timeline_phases(const views::RunView& view, const TimelineIndex& index,
                                   const boost::json::storage_ptr& sp) {
    boost::json::array spans(sp);
    for_each_round(view, index, [&](std::uint64_t round, const TimelineIndex::Round& pairs) {
        append_round(spans, round, pairs, index);
    });
    return spans;
}

boost::json::object timeline(const views::RunView& view, std::optional<std::string_view> node) {
    const TimelineIndex index(view.envelopes);
    // The document is built, written and dropped whole: one arena for all of it spares a
    // quarter of a million small allocations and frees on large runs.
    const boost::json::storage_ptr sp = boost::json::make_shared_resource<boost::json::monotonic_resource>();
    boost::json::array spans(sp);
    if (!node) {
        spans = timeline_phases(view, index, sp);
    } else {
        for_each_round(view, index, [&](std::uint64_t round, const TimelineIndex::Round& pairs) {
            if (const NodeRound* found = index.node_round(pairs, *node))
                append_node_round(spans, view.id(), *found, round, index);
        });
    }
    boost::json::object document(3, sp);
    document.emplace("timeline_schema_version", timeline_schema_version);
    document.emplace("run_id", view.id());
    document.emplace("spans", std::move(spans));
    return document;
}

}  // namespace korvalle::payload
