// The timeline document and its spans: the journal index, node spans, dispatch rollups, the
// whole-run phases and the node timeline with its dispatch spans.
#include "src/payload/timeline/timeline.hpp"

#include "sdk/journal/event.hpp"
#include "sdk/run/views.hpp"
#include "src/contract/contract.hpp"
#include "src/payload/detail/prefetch.hpp"
#include "src/payload/envelope_facts.hpp"
#include "src/payload/files.hpp"
#include "src/payload/indexes.hpp"
#include "src/payload/vocabulary.hpp"

#include <algorithm>

namespace korvalle::payload {

namespace {

using event::EventSource;

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

void events_of(json::Writer& out, const PlacedList& pairs, const EnvelopeFacts& facts) {
    out.key("events");
    out.begin_array();
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        if (i + detail::prefetch_distance < pairs.size()) detail::prefetch_entry(*pairs[i + detail::prefetch_distance].envelope);
        step_operations(out, pairs[i].index, *pairs[i].envelope, facts);
    }
    out.end_array();
}

std::string node_span_id(std::uint64_t round, std::string_view node) { return span_id("node", round, node); }

std::string round_span_id(std::uint64_t round) { return "round-" + round_key(round); }

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

void round_span(json::Writer& out, std::uint64_t round, const TimelineIndex::Round& of_round, bool finished,
                const EnvelopeFacts& facts) {
    out.begin_object();
    out.member("id", round_span_id(round));
    out.member("kind", "round");
    out.member("label", "round " + std::to_string(round));
    out.member("started_at", of_round.pairs.front().envelope->ts.view());
    ended_at(out, finished ? of_round.pairs.back().envelope : nullptr);
    out.member("round", round);
    out.member("phase", finished ? "reviewing-results" : "driving-round");
    out.key("events");
    out.begin_array();
    for (const auto& [index, envelope] : of_round.pairs) {
        if (!envelope->labels.node && envelope->source != EventSource::Morvane)
            step_operations(out, index, *envelope, facts);
    }
    out.end_array();
    out.end_object();
}

// An agent session of the round that belongs to the run rather than to a node (a planner).
void run_dispatch_span(json::Writer& out, std::uint64_t round, const SessionGroup& group, bool finished,
                       const EnvelopeFacts& facts) {
    out.begin_object();
    out.member("id", span_id("run", round, group.session));
    out.member("kind", "dispatch");
    out.member("label", group.session);
    out.member("started_at", group.pairs.front().envelope->ts.view());
    ended_at(out, finished ? group.pairs.back().envelope : nullptr);
    out.member("parent_id", round_span_id(round));
    out.member("round", round);
    out.member("status", finished ? "done" : "running");
    out.member("transport_role", party_word(group_party(group.pairs)));
    // Only the session's first envelope speaks for its role here.
    if (auto role = role_word(persona(group.pairs.front().envelope))) out.member("agent_role", *role);
    reference_member(out, "conversation", group.session);
    events_of(out, group.pairs, facts);
    out.end_object();
}

void append_round(json::Writer& out, std::uint64_t round, const TimelineIndex::Round& of_round,
                  const TimelineIndex& index) {
    const bool finished = std::any_of(of_round.pairs.begin(), of_round.pairs.end(), [](const Placed& pair) {
        return is_event(*pair.envelope, EventSource::Pipeline, "round-finished");
    });
    const EnvelopeFacts& facts = index.facts();
    round_span(out, round, of_round, finished, facts);

    PlacedList run_pairs;
    for (const auto& pair : of_round.pairs)
        if (!pair.envelope->labels.node) run_pairs.push_back(pair);
    for (const auto& group : group_by_session(run_pairs, facts)) run_dispatch_span(out, round, group, finished, facts);

    const std::string parent = round_span_id(round);
    for (const auto& node : of_round.nodes) {
        node_span(out, node, round, parent, facts);
        const std::string node_id = node_span_id(round, node.node);
        human_waits(out, node, index.first_attestation(node.node), node_id, round);
        rollup_spans(out, node, node_id, round, facts);
        timeline_operations(out, node, node_id, round);
    }
}

// ---- Node timeline. ----

// One dispatch span per agent session of the dispatched node in the round, or one of the
// node's own when it has no session.
void append_dispatches(json::Writer& out, std::string_view run_id, const NodeRound& node, std::uint64_t round,
                       const TimelineIndex& index) {
    const EnvelopeFacts& facts = index.facts();
    const event::Envelope& dispatch = *node.dispatched;
    const std::string dispatch_id = span_id(run_id, round, node.node);
    const bool dispatch_id_valid = contract::validate_run_id(dispatch_id).ok();
    std::string_view status = "running";
    if (node.settled) {
        if (auto word = node.settled->payload.string_member("status")) status = status_word(*word);
    }

    auto groups = group_by_session(node.pairs, facts);
    const bool own = groups.empty();
    if (own) groups.push_back(SessionGroup{node.node, {}});
    for (const auto& group : groups) {
        out.begin_object();
        out.member("id", span_id("dispatch", round, group.session));
        out.member("kind", "dispatch");
        if (own)
            out.member("label", std::string(node.node) + " dispatch");
        else
            out.member("label", group.session);
        out.member("started_at", dispatch.ts.view());
        ended_at(out, node.settled);
        out.member("parent_id", node_span_id(round, node.node));
        out.member("node_id", node.node);
        out.member("round", round);
        if (dispatch_id_valid) out.member("dispatch_id", dispatch_id);
        const Party party = own ? party_of(dispatch).value_or(Party::Agent) : group_party(group.pairs);
        out.member("transport_role", party_word(party));
        // The session's first envelope names the role; the dispatch only when it names none.
        auto role_text = own ? persona(&dispatch) : persona(group.pairs.front().envelope);
        if (!role_text) role_text = persona(&dispatch);
        if (auto role = role_word(role_text)) out.member("agent_role", *role);
        out.member("status", status);
        if (!own) reference_member(out, "conversation", group.session);
        events_of(out, group.pairs, facts);
        out.end_object();
    }
}

void append_node_round(json::Writer& out, std::string_view run_id, const NodeRound& node, std::uint64_t round,
                       const TimelineIndex& index) {
    const std::string node_id = node_span_id(round, node.node);
    node_span(out, node, round, std::nullopt, index.facts());
    human_waits(out, node, index.first_attestation(node.node), node_id, round);
    if (node.dispatched) append_dispatches(out, run_id, node, round, index);
    timeline_operations(out, node, node_id, round);
}

}  // namespace

TimelineIndex::TimelineIndex(const views::EnvelopeList& envelopes, std::shared_ptr<const EnvelopeFacts> facts)
    : facts_(std::move(facts)) {
    // Envelopes of one round, and of one node within it, mostly come in runs: the previous
    // envelope's entries are tried before the tables are searched.
    std::pair<const std::uint64_t, Round>* round = nullptr;
    NodeRound* node = nullptr;
    for (std::size_t i = 0; i < envelopes.size(); ++i) {
        const event::Envelope& envelope = envelopes[i];
        if (i + detail::prefetch_distance < envelopes.size())
            detail::prefetch_node_label(envelopes[i + detail::prefetch_distance]);
        if (is_event(envelope, EventSource::Pipeline, "human-attested") && envelope.labels.node)
            attestations_.emplace(*envelope.labels.node, &envelope);  // the first one stays
        if (!envelope.labels.round) continue;
        if (!round || round->first != *envelope.labels.round) {
            round = &*rounds_.try_emplace(*envelope.labels.round).first;
            node = nullptr;
        }
        round->second.pairs.push_back(Placed{i, &envelope});
        if (!envelope.labels.node) continue;
        const std::string_view label = *envelope.labels.node;
        if (!node || node->node != label) {
            Round& of_round = round->second;
            auto [at, added] = of_round.node_at.try_emplace(label, of_round.nodes.size());
            if (added) of_round.nodes.push_back(NodeRound{label, {}, nullptr, nullptr});
            node = &of_round.nodes[at->second];
        }
        node->pairs.push_back(Placed{i, &envelope});
        if (!node->dispatched && is_event(envelope, EventSource::Pipeline, "node-dispatched"))
            node->dispatched = &envelope;
        if (!node->settled && is_event(envelope, EventSource::Pipeline, "node-settled")) node->settled = &envelope;
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

void node_span(json::Writer& out, const NodeRound& node, std::uint64_t round, std::optional<std::string_view> parent,
               const EnvelopeFacts& facts) {
    const std::optional<std::string> status = node.settled ? node.settled->payload.string_member("status") : std::nullopt;
    out.begin_object();
    out.member("id", node_span_id(round, node.node));
    out.member("kind", "node");
    out.member("label", node.node);
    out.member("started_at", node.pairs.front().envelope->ts.view());
    ended_at(out, node.settled);
    if (parent) out.member("parent_id", *parent);
    out.member("node_id", node.node);
    out.member("round", round);
    if (status) out.member("status", status_word(*status));
    events_of(out, node.pairs, facts);
    out.end_object();
}

void rollup_spans(json::Writer& out, const NodeRound& node, std::string_view parent, std::uint64_t round,
                  const EnvelopeFacts& facts) {
    if (!node.dispatched) return;
    struct Entry {
        Party party;
        std::string_view role;
        std::uint64_t count;
    };
    std::vector<Entry> tally;  // at most one entry per party and role: fifteen
    for (const auto& group : group_by_session(node.pairs, facts)) {
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
        if (!role) return;
        tally.push_back(Entry{party_of(*node.dispatched).value_or(Party::Agent), *role, 1});
    }

    for (const auto& entry : tally) {
        const std::string roles = std::string(party_word(entry.party)) + "." + std::string(entry.role);
        span_head(out, span_id("rollup", round, node.node, roles), "rollup", "dispatch", node.dispatched->ts,
                  node.settled, parent, node.node, round);
        out.member("count", entry.count);
        out.member("agent_role", entry.role);
        out.member("transport_role", party_word(entry.party));
        no_events(out);
    }
}

void timeline_phases(json::Writer& out, const views::RunView& view, const TimelineIndex& index) {
    out.begin_array();
    for_each_round(view, index, [&](std::uint64_t round, const TimelineIndex::Round& pairs) {
        append_round(out, round, pairs, index);
    });
    out.end_array();
}

std::uint64_t TimelineIndex::held_bytes() const {
    constexpr std::uint64_t entry = 64;  // a table entry's own room
    std::uint64_t bytes = sizeof(TimelineIndex) + attestations_.size() * entry;
    for (const auto& [number, round] : rounds_) {
        bytes += entry + round.pairs.capacity() * sizeof(Placed) + round.node_at.size() * entry;
        for (const NodeRound& node : round.nodes) bytes += sizeof(NodeRound) + node.pairs.capacity() * sizeof(Placed);
    }
    return bytes;
}

void write_timeline(std::string& text, const views::RunView& view, std::optional<std::string_view> node,
                    const TimelineIndex& index) {
    // A node's timeline is a small part of the run's.
    if (!node) reserve_document(text, view);
    json::Writer out(text);
    out.begin_object();
    out.member("timeline_schema_version", timeline_schema_version);
    out.member("run_id", view.id());
    out.key("spans");
    if (!node) {
        timeline_phases(out, view, index);
    } else {
        out.begin_array();
        for_each_round(view, index, [&](std::uint64_t round, const TimelineIndex::Round& pairs) {
            if (const NodeRound* found = index.node_round(pairs, *node))
                append_node_round(out, view.id(), *found, round, index);
        });
        out.end_array();
    }
    out.end_object();
}

std::string timeline(const views::RunView& view, std::optional<std::string_view> node) {
    return timeline(view, node, OwnIndexes(view));
}

std::string timeline(const views::RunView& view, std::optional<std::string_view> node, const ViewIndexes& indexes) {
    if (!node) return *indexes.whole_timeline();
    std::string text;
    write_timeline(text, view, node, indexes.timeline());
    return text;
}

text::Fragments timeline_fragments(const views::RunView& view, std::optional<std::string_view> node,
                                   const ViewIndexes& indexes) {
    if (!node) return {text::fragment_of(indexes.whole_timeline())};
    return {text::Fragment(timeline(view, node, indexes))};
}

}  // namespace korvalle::payload
