// Verification records: what one node's journal events of one round say about its checks.
//
// Each artifact reference carried by an event labelled with the round and the node makes one
// record: the event's output text, the reference's id, a start and an end time, and the
// event's verdict. The node details of the run detail show the records of the current round;
// the timeline shows one verification span per record of every round.
#pragma once

#include "sdk/base/json_write.hpp"
#include "sdk/journal/event.hpp"
#include "sdk/run/envelope_list.hpp"

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvalle::views {
struct RunView;
}

namespace korvalle::payload {

// One record. The views point into the envelopes it was built from and live as long as they
// do (callers hold the run view while they use the records).
struct VerificationRecord {
    std::string output_tail;       // the event's output text, whole
    std::string_view artifact_id;  // the reference's id
    std::string_view started_at;   // ts of the previous selected event (its own for the first)
    std::string_view ended_at;     // the event's own ts
    bool ok = true;                // the event's verdict
};

// The event's output text: the first of the payload's "detail", "error" and "output" that is
// present decides; its text when it is a string, else empty. Empty when none is present.
std::string event_output_text(const event::Envelope& envelope);

// The event's verdict. Version-control events by kind: "push" its "accepted" boolean (true when
// not a boolean), "change-check" its "conclusion" ("success", "skipped" or "neutral" in any ASCII
// case; true when not a string), "gate-verdict" its "verdict" exactly "pass", "sync-conflict"
// false, any other kind true. Every other event: its "status" exactly "done", or true when
// "status" is not a string.
bool event_ok(const event::Envelope& envelope);

// The records of the envelopes labelled with the round and the node (both labels present and
// equal), in the order given: one per artifact reference, by envelope and then by reference.
std::vector<VerificationRecord> verification_records(const views::EnvelopeList& envelopes,
                                                     std::uint64_t round, std::string_view node);

// The records of envelopes already selected for one round and one node, in journal order.
std::vector<VerificationRecord> verification_records(const std::vector<const event::Envelope*>& selected);

// The journal's envelopes that carry both a round and a node label, grouped by (round, node),
// each group in journal order. Built once per document, so that asking for every node of every
// round costs one pass over the journal rather than one per question.
class EnvelopesByRoundNode {
public:
    explicit EnvelopesByRoundNode(const views::EnvelopeList& envelopes);

    // The group of the round and the node; empty when none carries both labels.
    const std::vector<const event::Envelope*>& of(std::uint64_t round, std::string_view node) const;

private:
    using Key = std::pair<std::uint64_t, std::string_view>;  // views into the envelopes' labels
    std::map<Key, std::vector<const event::Envelope*>, std::less<>> groups_;
};

// {"ok","output_tail","artifact_id"}: a record as the node details and the timeline show it.
boost::json::object verification_detail(const VerificationRecord& record);
// The same written in place.
void write_verification_detail(json::Writer& out, const VerificationRecord& record);

// The node's records of the run's current round (round 1 while no round has started), each as
// verification_detail shows it: the "records" of a node's verification in the run detail.
boost::json::array current_round_verification(const views::RunView& view, const EnvelopesByRoundNode& index,
                                              std::string_view node);

}  // namespace korvalle::payload
