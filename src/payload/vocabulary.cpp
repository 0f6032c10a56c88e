// The shared words of the documents, the short content digest and the current time.
#include "src/payload/vocabulary.hpp"

#include "sdk/base/clock.hpp"
#include "sdk/base/digest.hpp"
#include "sdk/journal/event.hpp"
#include "sdk/run/liveness.hpp"
#include "sdk/run/views.hpp"

#include <array>

namespace korvalle::payload {

std::string_view party_word(Party party) {
    switch (party) {
    case Party::Agent: return "agent";
    case Party::Judge: return "judge";
    case Party::Llmlint: return "llmlint";
    }
    return "agent";
}

std::optional<std::string_view> role_word(std::optional<std::string_view> text) {
    static constexpr std::array<std::string_view, 5> roles{"orchestrator", "worker", "check-in",
                                                            "judge", "pr-author"};
    if (!text) return std::nullopt;
    for (std::string_view role : roles)
        if (*text == role) return role;
    return std::nullopt;
}

std::string_view status_word(std::string_view status) {
    // "ready" is shown as "pending": a reader does not care whether the scheduler has looked
    // at a waiting node yet.
    static constexpr std::array<std::string_view, 11> shown{
        "pending", "running", "waiting", "blocked",       "parked", "done",
        "failed",  "skipped", "cancelled", "not-completed", "unknown"};
    if (status == "ready") return "pending";
    for (std::string_view word : shown)
        if (status == word) return word;
    return "unknown";
}

std::string_view artifact_kind_word(std::string_view kind) {
    if (kind == "conversation") return "conversation";
    if (kind == "pr") return "pr";
    if (kind == "session" || kind == "tandrel_session") return "tandrel_session";
    if (kind == "report" || kind == "worker_report") return "worker_report";
    return "gate_log";
}

namespace {
std::optional<Party> party_named(std::string_view word) {
    if (word == "agent") return Party::Agent;
    if (word == "judge") return Party::Judge;
    if (word == "llmlint") return Party::Llmlint;
    return std::nullopt;
}
}  // namespace

std::optional<Party> first_party(std::initializer_list<std::optional<std::string_view>> texts) {
    // A source that names something else does not stop the search.
    for (const std::optional<std::string_view>& text : texts) {
        if (!text) continue;
        if (auto party = party_named(*text)) return party;
    }
    return std::nullopt;
}

std::optional<Party> party_of(const event::Envelope& envelope) {
    // The payload is looked at first, the labels only when it names no party.
    std::array<std::string, 1> payload_scratch;
    const auto [role] = envelope.payload.string_members<1>({"role"}, payload_scratch);
    if (auto party = first_party({role})) return party;
    std::array<std::string, 2> label_scratch;
    const auto [label_role, member] = envelope.labels.extra.string_members<2>({"role", "member"}, label_scratch);
    return first_party({label_role, member, envelope.labels.persona.optional()});
}

std::string state_word(const views::RunView& view, const views::LivenessInputs& inputs) {
    return state_word(views::LivenessFacts::of(view), inputs);
}

std::string state_word(const views::LivenessFacts& facts, const views::LivenessInputs& inputs) {
    std::string word(views::liveness_word(facts, inputs));
    for (char& c : word) {
        if (c == ' ')
            c = '-';
        else if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return word;
}

std::string sha256_hex(std::string_view bytes) { return digest::sha256_hex(bytes, 6); }

// An instant held in 64-bit nanoseconds always lies within the four-digit years.
std::string now_rfc3339() { return clock::now_rfc3339(); }

}  // namespace korvalle::payload
