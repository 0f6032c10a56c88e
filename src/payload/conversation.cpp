// Conversations: the projection of one session, and the fingerprint of them all.
#include "src/payload/conversation.hpp"
#include "src/payload/indexes.hpp"

#include "sdk/base/clock.hpp"
#include "sdk/base/digest.hpp"
#include "sdk/base/json_write.hpp"
#include "sdk/run/views.hpp"
#include "src/contract/contract.hpp"
#include "src/payload/detail/prefetch.hpp"
#include "src/payload/timing.hpp"
#include "src/payload/vocabulary.hpp"

#include <boost/json/value.hpp>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <memory>

namespace korvalle::payload {

namespace {

// The only harness whose sessions the journal records.
constexpr std::string_view harness = "morvenlath";

using event::ObjectText;

// A token count: a JSON integer of zero or more, written without fraction or exponent.
void token_count(json::Writer& out, const std::optional<boost::json::value>& value) {
    if (value && value->is_uint64())
        out.value(value->get_uint64());
    else if (value && value->is_int64() && value->get_int64() >= 0)
        out.value(static_cast<std::uint64_t>(value->get_int64()));
    else
        out.value(nullptr);
}

// A cost: any JSON number, as a double (a cost of 2 is written 2.0).
void cost(json::Writer& out, const std::optional<boost::json::value>& value) {
    switch (value ? value->kind() : boost::json::kind::null) {
    case boost::json::kind::double_: out.value(value->get_double()); break;
    case boost::json::kind::int64: out.value(static_cast<double>(value->get_int64())); break;
    case boost::json::kind::uint64: out.value(static_cast<double>(value->get_uint64())); break;
    default: out.value(nullptr);
    }
}

// The usage a turn reported, from the text of its payload's "usage" value: only the members
// shown are read, the object is never built.
void usage_of(json::Writer& out, std::string_view usage) {
    out.begin_object();
    if (usage.starts_with('{')) {
        static constexpr std::array<std::string_view, 5> keys{"tokens_in", "tokens_out", "cache_read", "cache_write",
                                                              "cost"};
        std::array<std::string_view, keys.size()> values;
        ObjectText::member_texts(usage, keys, values);
        out.key("inputTokens");
        token_count(out, ObjectText::value_of(values[0]));
        out.key("outputTokens");
        token_count(out, ObjectText::value_of(values[1]));
        out.key("cacheReadTokens");
        token_count(out, ObjectText::value_of(values[2]));
        out.key("cacheWriteTokens");
        token_count(out, ObjectText::value_of(values[3]));
        out.key("costUsd");
        cost(out, ObjectText::value_of(values[4]));
    }
    out.end_object();
}

void text_or_null(json::Writer& out, const std::optional<std::string_view>& text) {
    if (text)
        out.value(*text);
    else
        out.value(nullptr);
}

void activity_item(json::Writer& out, const event::Envelope& envelope, std::size_t index) {
    std::array<std::string, 3> scratch;
    const auto [kind, name, detail] = envelope.payload.string_members<3>({"kind", "name", "detail"}, scratch);
    out.begin_object();
    out.member("index", index);
    out.member("kind", kind.value_or(std::string_view()));
    out.key("name");
    text_or_null(out, name);
    out.key("input");
    text_or_null(out, detail);
    out.member("output", nullptr);
    out.end_object();
}

using Envelopes = std::vector<const event::Envelope*>;

// A turn envelope and the activity it shows as its tools, a range of the session's activity.
struct Turn {
    const event::Envelope* envelope;
    std::size_t first_tool;
    std::size_t end_tool;
};

void turn(json::Writer& out, const Turn& turn, std::string_view session, std::size_t number,
          const Envelopes& activity) {
    const event::Envelope& envelope = *turn.envelope;
    // One look at the payload finds every member the turn shows.
    static constexpr std::array<std::string_view, 3> keys{"message", "model", "usage"};
    std::array<std::string_view, keys.size()> values;
    ObjectText::member_texts(envelope.payload.text(), keys, values);
    std::array<std::string, 2> scratch;
    out.begin_object();
    out.key("assistant");
    text_or_null(out, ObjectText::string_of(values[0], &scratch[0]));
    out.key("durationMs");
    if (std::optional<std::uint64_t> ms = usage_duration_ms(values[2]))
        out.value(*ms);
    else
        out.value(nullptr);
    out.member("failureKind", nullptr);
    out.member("harness", harness);
    out.key("id");
    write_turn_id(out, session, number);
    out.key("model");
    text_or_null(out, ObjectText::string_of(values[1], &scratch[1]));
    out.member("reasoning", nullptr);
    out.member("status", envelope.kind);
    out.member("timestamp", envelope.ts.view());
    out.key("tools");
    out.begin_array();
    for (std::size_t i = turn.first_tool; i < turn.end_tool; ++i) activity_item(out, *activity[i], i - turn.first_tool);
    out.end_array();
    out.key("unknown");
    out.begin_object();
    out.end_object();
    out.key("usage");
    usage_of(out, values[2]);
    out.member("user", envelope.labels.persona ? std::string_view(*envelope.labels.persona) : std::string_view());
    out.end_object();
}

// Asks for every text a turn shows at once, before any is written: they lie apart in the view's
// arena, and their cache misses then overlap instead of coming one after another.
void prefetch_turn(const Turn& turn, const Envelopes& activity) {
    detail::prefetch_text(turn.envelope->payload.text());
    __builtin_prefetch(turn.envelope->ts.data());
    for (std::size_t i = turn.first_tool; i < turn.end_tool; ++i) detail::prefetch_text(activity[i]->payload.text());
}

// The turns of a session: each turn envelope takes the activity reported since the previous
// one; activity after the last turn replaces that turn's own.
void turns_of(json::Writer& out, std::string_view session, const Envelopes& envelopes) {
    std::vector<Turn> turns;
    Envelopes activity;
    std::size_t pending = 0;  // where the activity not yet taken by a turn starts
    for (const event::Envelope* envelope : envelopes) {
        // The session's envelopes are spread over the journal: their member tables are asked
        // for all at once here, before the turns read them one after another.
        detail::prefetch_members(*envelope);
        const std::string_view kind = envelope->kind;
        if (kind == "turn-activity") {
            activity.push_back(envelope);
        } else if (envelope->source != event::EventSource::Morvane || kind == "turn-interrupted") {
            continue;  // an interruption makes no turn and leaves the activity for the next one
        } else {
            turns.push_back(Turn{envelope, pending, activity.size()});
            pending = activity.size();
        }
    }
    if (pending < activity.size() && !turns.empty()) {
        turns.back().first_tool = pending;
        turns.back().end_tool = activity.size();
    }
    out.begin_array();
    for (std::size_t i = 0; i < turns.size(); ++i) {
        prefetch_turn(turns[i], activity);
        turn(out, turns[i], session, i, activity);
    }
    out.end_array();
}

std::string_view launcher_word(std::string_view launcher) {
    if (launcher == "claude-code") return "claude-code";
    if (launcher == "codex") return "codex";
    return "unknown";
}

std::string_view transport_role(const Envelopes& envelopes) {
    for (const event::Envelope* envelope : envelopes)
        if (std::optional<Party> party = party_of(*envelope)) return party_word(*party);
    return "agent";
}

void attribution(json::Writer& out, const views::RunView& view, const Envelopes& envelopes) {
    const event::Envelope* first = envelopes.empty() ? nullptr : envelopes.front();
    const event::Labels* labels = first ? &first->labels : nullptr;
    out.begin_object();
    out.member("runId", view.id());
    if (labels && labels->round) out.member("round", *labels->round);
    if (labels && labels->node) out.member("nodeId", *labels->node);
    out.member("launchId", view.id());
    out.member("launcher", launcher_word(view.launch.launcher));
    out.member("transportRole", transport_role(envelopes));
    std::optional<std::string_view> persona;
    if (labels && labels->persona) persona = *labels->persona;
    out.member("agentRole", role_word(persona).value_or("worker"));
    if (persona) out.member("persona", *persona);
    if (first)
        out.member("finishedAt", envelopes.back()->ts.view());
    else
        out.member("finishedAt", nullptr);
    out.end_object();
}

}  // namespace

// Made on the stack: a session id passes the identifier rule, so it fits.
void write_turn_id(json::Writer& out, std::string_view session, std::uint64_t number) {
    char id[contract::max_id_bytes + 24];
    if (session.size() > contract::max_id_bytes) {
        out.value(std::string(session) + '.' + std::to_string(number));
        return;
    }
    std::memcpy(id, session.data(), session.size());
    id[session.size()] = '.';
    char* end = std::to_chars(id + session.size() + 1, id + sizeof id, number).ptr;
    out.value(std::string_view(id, static_cast<std::size_t>(end - id)));
}

std::size_t conversations_room(const SessionGroups& groups, const views::RunView& view) {
    // What a conversation and a turn write besides the texts of their envelopes, with room to
    // spare; a tool's entry writes about as much as the member names of its payload.
    constexpr std::size_t per_conversation = 512;
    constexpr std::size_t per_turn = 448;
    constexpr std::size_t per_tool = 64;
    std::size_t room = 2;
    for (const SessionEnvelopes& group : groups) {
        room += per_conversation + group.session.size() + 4 * view.id().size();
        for (const event::Envelope* envelope : group.envelopes) {
            const std::size_t turn = std::string_view(envelope->kind) == "turn-activity"
                                         ? per_tool
                                         : per_turn + group.session.size() + envelope->kind.size();
            // The texts shown are the payload's, written with the same escapes or fewer.
            room += envelope->payload.text().size() + turn;
        }
    }
    return room;
}

void write_session_groups(json::Writer& out, const SessionGroups& groups, const views::RunView& view) {
    out.begin_array();
    for (const SessionEnvelopes& group : groups) write_conversation(out, view, group.session, group.envelopes);
    out.end_array();
}

void write_conversation(json::Writer& out, const views::RunView& view, std::string_view session,
                        const std::vector<const event::Envelope*>& envelopes) {
    const event::Envelope* first = envelopes.empty() ? nullptr : envelopes.front();
    out.begin_object();
    out.key("conversation");
    out.begin_object();
    out.member("canContinue", false);
    out.key("harnesses");
    out.begin_array();
    out.value(harness);
    out.end_array();
    out.member("id", session);
    if (first && first->labels.node)
        out.member("name", *first->labels.node);
    else
        out.member("name", view.id());
    out.member("project", view.id());
    if (first)
        out.member("startedAt", first->ts.view());
    else
        out.member("startedAt", clock::now_rfc3339());
    out.member("state", first ? std::string_view(envelopes.back()->kind) : std::string_view("unknown"));
    out.key("turns");
    turns_of(out, session, envelopes);
    out.end_object();
    out.key("attribution");
    attribution(out, view, envelopes);
    out.end_object();
}

std::string conversations(const views::RunView& view) {
    std::string text;
    json::Writer out(text);
    write_session_groups(out, session_groups(view), view);
    return text;
}

std::optional<std::string> conversation(const views::RunView& view, std::string_view id) {
    return conversation(view, id, OwnIndexes(view));
}

std::optional<std::string> conversation(const views::RunView& view, std::string_view id, const ViewIndexes& indexes) {
    // Each session's document depends on its own group alone, so projecting only the asked-for
    // group gives the same document as projecting them all and picking one.
    const SessionGroups& groups = indexes.sessions();
    auto group = std::find_if(groups.begin(), groups.end(), [&](const SessionEnvelopes& g) { return g.session == id; });
    if (group == groups.end()) return std::nullopt;
    std::string text;
    json::Writer out(text);
    write_conversation(out, view, group->session, group->envelopes);
    return text;
}

std::string conversation_signature(const views::RunView& view) { return conversation_signature(view, OwnIndexes(view)); }

std::string conversation_signature(const views::RunView& view, const ViewIndexes& indexes) {
    digest::Sha256 digest;
    std::string text;
    // One document at a time: the texts are hashed as the wire shows them, never all held at once.
    for (const SessionEnvelopes& group : indexes.sessions()) {
        text.clear();
        json::Writer out(text);
        write_conversation(out, view, group.session, group.envelopes);
        digest.update(text);
    }
    return digest.hex(8);
}

}  // namespace korvalle::payload
