// What the operations over every run need of one run, kept in place of its view: the run
// list's sort key, entry and settled flag, and the change feed's signature. A record is a few
// hundred bytes where the view is about twice its journal, so records for every run of a large
// root fit where its views do not.
#pragma once

#include "sdk/base/file_identity.hpp"
#include "sdk/run/views.hpp"
#include "src/payload/summary.hpp"

#include <cstdint>
#include <memory>

namespace korvalle::store {

// A run's change fingerprint: it moves when a round starts, an envelope is appended or the
// last event time moves.
struct RunSignature {
    std::uint64_t round = 0;
    std::uint64_t envelope_count = 0;
    std::uint64_t last_event_ms = 0;  // 0 when the run has no last event time

    static RunSignature of(const views::RunView& view);
    friend bool operator==(const RunSignature&, const RunSignature&) = default;
};

struct RunRecord {
    payload::SummaryFacts summary;  // its id, sort key and settled flag among them
    RunSignature signature;
    // The files the view was opened from: the record describes the run while they are unchanged.
    files::SeenFiles files;

    static RunRecord of(const views::RunView& view);
    // The record of a view grown from base's view: its journal sums go on from base's over the
    // envelopes read on (views::RunView::appended_from), when there were any.
    static RunRecord of_grown(const views::RunView& view, const RunRecord& base);

    const std::string& id() const { return summary.run_id; }
    const std::optional<std::uint64_t>& last_event_at() const { return summary.liveness.last_event_at; }
    bool settled() const { return summary.liveness.settled; }
    // The bytes it holds, its own size included.
    std::uint64_t held_bytes() const;
};

using SharedRecord = std::shared_ptr<const RunRecord>;

}  // namespace korvalle::store
