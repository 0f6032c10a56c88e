// What the documents read of each agent-graph envelope's labels and payload, read once per view
// in one pass over the journal: a large journal's label and payload texts are out of cache, and
// the run detail's head, node entries and session groups and the timeline's turns would
// otherwise each look them up again. Each envelope's facts come from its own texts alone (one
// look at its labels, one at the payload of one that counts in turn tallies); only the numbers
// of the sessions follow the journal's order.
#pragma once

#include "sdk/journal/event.hpp"
#include "src/payload/timing.hpp"
#include "src/payload/vocabulary.hpp"

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korvalle::payload {

// The facts of one envelope; all unset for sources other than the agent graph.
struct AgentFacts {
    bool tallied = false;                  // counts in a turn tally (not an activity report)
    bool turn = false;                     // tallied and not an interruption
    bool conversation = false;             // its session label is written plainly and passes the identifier rule
    std::optional<Party> party;            // party_of, of a tallied envelope
    std::optional<std::uint64_t> ms;       // a completed turn's usable duration
    std::optional<std::uint32_t> session;  // the "session" label, when a text: its number
};

// add_turn over an envelope's facts.
inline void add_turn(TurnDurations& tally, const AgentFacts& facts) {
    if (facts.tallied) add_turn(tally, facts.party.value_or(Party::Agent), facts.ms);
}

class EnvelopeFacts {
public:
    // The envelopes must outlive the facts, which view their labels.
    explicit EnvelopeFacts(std::span<const event::Envelope> envelopes);

    // The facts of an envelope of the span, or of the envelope at a position in it.
    const AgentFacts& of(const event::Envelope& envelope) const { return facts_[&envelope - first_]; }
    const AgentFacts& at(std::size_t position) const { return facts_[position]; }
    std::size_t size() const { return facts_.size(); }
    // The texts of the "session" labels, numbered in order of their first envelope (unescaped):
    // the facts name a session by number, so that later walks compare numbers, not texts in
    // cold memory.
    const std::vector<std::string_view>& sessions() const { return sessions_; }
    // The bytes the facts hold, their tables' entries counted at their size.
    std::uint64_t held_bytes() const;

private:
    const event::Envelope* first_;
    std::vector<AgentFacts> facts_;
    std::vector<std::string_view> sessions_;
    // The session texts first written with escapes, which are no views of the kept labels.
    std::deque<std::string> escaped_sessions_;
};

}  // namespace korvalle::payload
