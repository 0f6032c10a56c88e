// What the documents read of each agent-graph envelope's labels and payload, read once per view
// in one pass over the journal: a large journal's label and payload texts are out of cache, and
// the run detail's head, node entries and session groups and the timeline's turns would
// otherwise each look them up again. Each envelope's facts come from its own texts alone (one
// look at its labels, one at the payload of one that counts in turn tallies); only the numbers
// of the sessions and of their turns follow the journal's (merge) order.
#pragma once

#include "sdk/journal/event.hpp"
#include "sdk/run/envelope_list.hpp"
#include "src/payload/timing.hpp"
#include "src/payload/vocabulary.hpp"

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvalle::payload {

// The facts of one envelope; all unset for sources other than the agent graph. Kept for every
// envelope of a view, so packed: a journal holds fewer than 2^32 envelopes, and so fewer
// sessions and turns.
class AgentFacts {
public:
    // Counts in a turn tally (not an activity report).
    bool tallied() const { return flags_ & tallied_flag; }
    // Tallied and not an interruption.
    bool turn() const { return flags_ & turn_flag; }
    // Its session label passes the identifier rule (a label written with escapes never does).
    bool conversation() const { return flags_ & conversation_flag; }
    // party_of, of a tallied envelope.
    std::optional<Party> party() const { return flags_ & party_flag ? std::optional(party_) : std::nullopt; }
    // A completed turn's usable duration.
    std::optional<std::uint64_t> ms() const { return flags_ & ms_flag ? std::optional(ms_) : std::nullopt; }
    // The "session" label, when a text: its number (EnvelopeFacts::sessions).
    std::optional<std::uint32_t> session() const {
        return flags_ & session_flag ? std::optional(session_) : std::nullopt;
    }
    // Of a turn in a conversation: the number of the session's turns before it, which names it.
    std::uint32_t turn_number() const { return turn_number_; }

private:
    friend class EnvelopeFacts;
    enum Flag : std::uint8_t {
        tallied_flag = 1,
        turn_flag = 2,
        conversation_flag = 4,
        party_flag = 8,
        ms_flag = 16,
        session_flag = 32,
    };

    std::uint64_t ms_ = 0;
    std::uint32_t session_ = 0;
    std::uint32_t turn_number_ = 0;
    std::uint8_t flags_ = 0;
    Party party_ = Party::Agent;
};

// add_turn over an envelope's facts.
inline void add_turn(TurnDurations& tally, const AgentFacts& facts) {
    if (facts.tallied()) add_turn(tally, facts.party().value_or(Party::Agent), facts.ms());
}

class EnvelopeFacts {
public:
    // Read in the list's order and kept by position in it: the documents walk the list, or
    // indexes that note each envelope's position, so no envelope's facts are ever searched for
    // (a list's envelopes lie in several segments once read in shards or read on). The
    // envelopes must outlive the facts, which view their labels.
    explicit EnvelopeFacts(const views::EnvelopeList& envelopes);

    // The facts of the envelope at a position of the list's order.
    const AgentFacts& at(std::size_t position) const { return facts_[position]; }
    std::size_t size() const { return facts_.size(); }
    // The texts of the "session" labels, numbered in order of their first envelope (unescaped):
    // the facts name a session by number, so that later walks compare numbers, not texts in
    // cold memory.
    const std::vector<std::string_view>& sessions() const { return sessions_; }
    // The bytes the facts hold, their tables' entries counted at their size.
    std::uint64_t held_bytes() const;

private:
    // Numbers the sessions and counts their turns as the journal goes.
    class Sessions;
    // One envelope's facts.
    static AgentFacts read(const event::Envelope& envelope, Sessions& sessions);

    std::vector<AgentFacts> facts_;  // by position in the list's order
    std::vector<std::string_view> sessions_;
    // The session texts first written with escapes, which are no views of the kept labels.
    std::deque<std::string> escaped_sessions_;
};

}  // namespace korvalle::payload
