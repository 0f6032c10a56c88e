// Conversations: session groups, the projection of one session, and their fingerprint.
#include "src/payload/conversation.hpp"

#include "sdk/base/json.hpp"
#include "sdk/run/views.hpp"
#include "src/contract/contract.hpp"
#include "src/payload/detail/run_detail_parts.hpp"
#include "src/payload/payload.hpp"

#include <boost/json/object.hpp>

#include <openssl/evp.h>

#include <charconv>
#include <memory>
#include <set>

namespace korvalle::payload {

namespace {

// The only harness whose sessions the journal records.
constexpr std::string_view harness = "morvenlath";

// The session id of an envelope that belongs to a conversation, else none.
std::optional<std::string_view> session_of(const event::Envelope& envelope) {
    if (envelope.source != event::EventSource::Morvane) return std::nullopt;
    const boost::json::value* label = envelope.labels.extra.if_contains("session");
    if (!label || !label->is_string()) return std::nullopt;
    std::string_view session = label->get_string();
    if (contract::validate_run_id(session)) return std::nullopt;  // fails the identifier rule
    return session;
}

const boost::json::value* member(const boost::json::object& object, std::string_view key) {
    return object.if_contains(key);
}

boost::json::value text_or_null(const boost::json::value* value) {
    // A copy of the string value would be made in the view's arena, which refuses it: the
    // document's text is made in the default storage.
    if (value && value->is_string()) return boost::json::value(std::string_view(value->get_string()));
    return nullptr;
}

// A token count: a JSON integer of zero or more, written without fraction or exponent.
boost::json::value token_count(const boost::json::value* value) {
    if (!value) return nullptr;
    if (value->is_uint64()) return value->get_uint64();
    if (value->is_int64() && value->get_int64() >= 0) return static_cast<std::uint64_t>(value->get_int64());
    return nullptr;
}

// A cost: any JSON number, as a double (a cost of 2 is written 2.0).
boost::json::value cost(const boost::json::value* value) {
    if (!value) return nullptr;
    switch (value->kind()) {
    case boost::json::kind::double_: return value->get_double();
    case boost::json::kind::int64: return static_cast<double>(value->get_int64());
    case boost::json::kind::uint64: return static_cast<double>(value->get_uint64());
    default: return nullptr;
    }
}

boost::json::object usage_of(const boost::json::object& payload) {
    boost::json::object usage;
    const boost::json::value* source = member(payload, "usage");
    if (!source || !source->is_object()) return usage;
    usage.reserve(5);
    const boost::json::object& reported = source->get_object();
    usage.emplace("inputTokens", token_count(member(reported, "tokens_in")));
    usage.emplace("outputTokens", token_count(member(reported, "tokens_out")));
    usage.emplace("cacheReadTokens", token_count(member(reported, "cache_read")));
    usage.emplace("cacheWriteTokens", token_count(member(reported, "cache_write")));
    usage.emplace("costUsd", cost(member(reported, "cost")));
    return usage;
}

boost::json::object activity_item(const event::Envelope& envelope, std::size_t index) {
    const boost::json::object& payload = envelope.payload;
    boost::json::object item;
    item.reserve(5);
    item.emplace("index", static_cast<std::uint64_t>(index));
    const boost::json::value* kind = member(payload, "kind");
    item.emplace("kind", kind && kind->is_string() ? std::string_view(kind->get_string()) : std::string_view());
    item.emplace("name", text_or_null(member(payload, "name")));
    item.emplace("input", text_or_null(member(payload, "detail")));
    item.emplace("output", nullptr);
    return item;
}

// "{session}.{number}", built in place.
boost::json::string turn_id(std::string_view session, std::size_t number) {
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
    boost::json::string id;
    id.reserve(session.size() + 1 + static_cast<std::size_t>(end - digits));
    id.append(session);
    id.push_back('.');
    id.append(std::string_view(digits, static_cast<std::size_t>(end - digits)));
    return id;
}

boost::json::object turn(const event::Envelope& envelope, std::string_view session, std::size_t number,
                         boost::json::array tools) {
    const boost::json::object& payload = envelope.payload;
    boost::json::object out;
    out.reserve(13);
    out.emplace("assistant", text_or_null(member(payload, "message")));
    if (std::optional<std::uint64_t> ms = turn_duration_ms(payload))
        out.emplace("durationMs", *ms);
    else
        out.emplace("durationMs", nullptr);
    out.emplace("failureKind", nullptr);
    out.emplace("harness", harness);
    out.emplace("id", turn_id(session, number));
    out.emplace("model", text_or_null(member(payload, "model")));
    out.emplace("reasoning", nullptr);
    out.emplace("status", envelope.kind);
    out.emplace("timestamp", envelope.ts);
    out.emplace("tools", std::move(tools));
    out.emplace("unknown", boost::json::object());
    out.emplace("usage", usage_of(payload));
    out.emplace("user", envelope.labels.persona ? std::string_view(*envelope.labels.persona) : std::string_view());
    return out;
}

// The turns of a session: each turn envelope takes the activity reported since the previous
// one; activity after the last turn replaces that turn's own.
boost::json::array turns_of(std::string_view session, const std::vector<const event::Envelope*>& envelopes) {
    boost::json::array turns;
    boost::json::array pending;
    for (const event::Envelope* envelope : envelopes) {
        if (envelope->kind == "turn-activity") {
            pending.push_back(activity_item(*envelope, pending.size()));
        } else if (envelope->source != event::EventSource::Morvane || envelope->kind == "turn-interrupted") {
            continue;  // an interruption makes no turn and leaves the activity for the next one
        } else {
            turns.push_back(turn(*envelope, session, turns.size(), std::move(pending)));
            pending = boost::json::array();
        }
    }
    if (!pending.empty() && !turns.empty()) turns.back().as_object()["tools"] = std::move(pending);
    return turns;
}

std::string_view launcher_word(std::string_view launcher) {
    if (launcher == "claude-code") return "claude-code";
    if (launcher == "codex") return "codex";
    return "unknown";
}

std::string_view transport_role(const std::vector<const event::Envelope*>& envelopes) {
    for (const event::Envelope* envelope : envelopes)
        if (std::optional<Party> party = party_of(*envelope)) return party_word(*party);
    return "agent";
}

boost::json::object attribution(const views::RunView& view, const std::vector<const event::Envelope*>& envelopes) {
    const event::Envelope* first = envelopes.empty() ? nullptr : envelopes.front();
    const event::Labels* labels = first ? &first->labels : nullptr;
    boost::json::object out;
    out.reserve(9);
    out.emplace("runId", view.id());
    if (labels && labels->round) out.emplace("round", *labels->round);
    if (labels && labels->node) out.emplace("nodeId", *labels->node);
    out.emplace("launchId", view.id());
    out.emplace("launcher", launcher_word(view.launch.launcher));
    out.emplace("transportRole", transport_role(envelopes));
    std::optional<std::string_view> persona;
    if (labels && labels->persona) persona = *labels->persona;
    out.emplace("agentRole", role_word(persona).value_or("worker"));
    if (persona) out.emplace("persona", *persona);
    if (first)
        out.emplace("finishedAt", envelopes.back()->ts);
    else
        out.emplace("finishedAt", nullptr);
    return out;
}

// Feeds a SHA-256 digest piece by piece; the context is freed on every path out.
class Sha256 {
public:
    Sha256() : context_(EVP_MD_CTX_new(), EVP_MD_CTX_free) { EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr); }
    void update(std::string_view bytes) { EVP_DigestUpdate(context_.get(), bytes.data(), bytes.size()); }
    // The first bytes of the digest as lowercase hex digits.
    std::string hex_prefix(std::size_t bytes) {
        unsigned char digest[EVP_MAX_MD_SIZE] = {};
        unsigned int length = 0;
        EVP_DigestFinal_ex(context_.get(), digest, &length);
        static constexpr char hex[] = "0123456789abcdef";
        std::string out;
        for (std::size_t i = 0; i < bytes; ++i) {
            out += hex[digest[i] >> 4];
            out += hex[digest[i] & 0x0f];
        }
        return out;
    }

private:
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context_;
};

using Group = SessionGroups::Map::value_type;

Group& add_to_group(SessionGroups& sessions, std::string_view session, const event::Envelope& envelope) {
    auto [group, fresh] = sessions.groups.try_emplace(session);
    if (fresh) sessions.order.push_back(session);
    group->second.push_back(&envelope);
    return *group;
}

}  // namespace

SessionGroups session_groups(const views::RunView& view) {
    SessionGroups sessions;
    for (const event::Envelope& envelope : view.envelopes)
        if (std::optional<std::string_view> session = session_of(envelope)) add_to_group(sessions, *session, envelope);
    return sessions;
}

SessionGroups detail::session_groups(const views::RunView& view, const JournalIndex& index) {
    SessionGroups sessions;
    std::set<std::string_view, std::less<>> refused;  // texts that fail the identifier rule
    // A session's envelopes mostly come in runs: the group of the previous one is tried first.
    Group* last = nullptr;
    for (const event::Envelope& envelope : view.envelopes) {
        // The index has read the session label of every agent-graph envelope already, and a
        // text is checked once, when it first comes.
        const std::optional<std::string_view>& session = index.facts(envelope).session;
        if (!session) continue;
        if (last && last->first == *session) {
            last->second.push_back(&envelope);
        } else if (auto group = sessions.groups.find(*session); group != sessions.groups.end()) {
            group->second.push_back(&envelope);
            last = &*group;
        } else if (!refused.contains(*session)) {
            if (contract::validate_run_id(*session))
                refused.insert(*session);
            else
                last = &add_to_group(sessions, *session, envelope);
        }
    }
    return sessions;
}

boost::json::array project_session_groups(const std::vector<std::string_view>& order,
                                          const SessionGroups& groups, const views::RunView& view) {
    boost::json::array documents;
    documents.reserve(order.size());
    for (std::string_view session : order) {
        auto group = groups.groups.find(session);
        if (group == groups.groups.end()) continue;
        documents.push_back(conversation_projection(view, session, group->second));
    }
    return documents;
}

boost::json::value conversation_projection(const views::RunView& view, std::string_view session,
                                           const std::vector<const event::Envelope*>& envelopes) {
    const event::Envelope* first = envelopes.empty() ? nullptr : envelopes.front();
    boost::json::object conversation;
    conversation.reserve(8);
    conversation.emplace("canContinue", false);
    conversation.emplace("harnesses", boost::json::array{harness});
    conversation.emplace("id", session);
    if (first && first->labels.node)
        conversation.emplace("name", *first->labels.node);
    else
        conversation.emplace("name", view.id());
    conversation.emplace("project", view.id());
    if (first)
        conversation.emplace("startedAt", first->ts);
    else
        conversation.emplace("startedAt", now_rfc3339());
    conversation.emplace("state", first ? std::string_view(envelopes.back()->kind) : std::string_view("unknown"));
    conversation.emplace("turns", turns_of(session, envelopes));

    boost::json::object document;
    document.reserve(2);
    document.emplace("conversation", std::move(conversation));
    document.emplace("attribution", attribution(view, envelopes));
    return document;
}

boost::json::array conversations(const views::RunView& view) {
    SessionGroups groups = session_groups(view);
    return project_session_groups(groups.order, groups, view);
}

std::optional<boost::json::value> conversation(const views::RunView& view, std::string_view id) {
    // Each session's document depends on its own group alone, so projecting only the asked-for
    // group gives the same document as projecting them all and picking one.
    SessionGroups groups = session_groups(view);
    auto group = groups.groups.find(id);
    if (group == groups.groups.end()) return std::nullopt;
    return conversation_projection(view, group->first, group->second);
}

std::string conversation_signature(const views::RunView& view) {
    SessionGroups groups = session_groups(view);
    Sha256 digest;
    std::string text;
    // One document at a time: the texts are hashed as the wire shows them, never all held at once.
    for (std::string_view session : groups.order) {
        text.clear();
        json::write_to(text, conversation_projection(view, session, groups.groups.find(session)->second));
        digest.update(text);
    }
    return digest.hex_prefix(8);
}

}  // namespace korvalle::payload
