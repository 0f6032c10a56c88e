// Whether two reads of one journal made the same: the names of what differs between two views (or
// two ends of a journal's read), empty when nothing does. For the tests and the fuzz targets that
// compare a journal parsed in shards with one parsed in one go.
#pragma once

#include "sdk/journal/journal_lines.hpp"
#include "sdk/run/views.hpp"

#include <algorithm>
#include <string>

namespace korvalle::testing {

// Names what differs, one name after another.
class Differences {
public:
    void check(bool same, const char* name) {
        if (same) return;
        if (!names_.empty()) names_ += ", ";
        names_ += name;
    }
    std::string names() && { return std::move(names_); }

private:
    std::string names_;
};

// The figures of an end count when its read yielded lines; otherwise only where it ended, its
// digests and where the text stops being UTF-8 do.
inline std::string end_differences(const journal::JournalEnd& a, const journal::JournalEnd& b, bool usable) {
    Differences out;
    out.check(a.end == b.end, "end");
    out.check(a.prefix.blocks == b.prefix.blocks && a.prefix.tail == b.prefix.tail && a.prefix.size == b.prefix.size,
              "digests");
    out.check(a.not_utf8 == b.not_utf8, "not_utf8");
    out.check(a.resumable == b.resumable, "resumable");
    out.check(a.read_ons == b.read_ons, "read_ons");
    if (usable) {
        out.check(a.tail_start == b.tail_start, "tail_start");
        out.check(a.last_line_start == b.last_line_start && a.last_line_hash == b.last_line_hash, "last line");
        out.check(a.tail_visited == b.tail_visited && a.tail_hash == b.tail_hash, "tail");
        out.check(a.tail_kept == b.tail_kept, "tail_kept");
    }
    return std::move(out).names();
}

inline std::string state_differences(const views::ReplayState& a, const views::ReplayState& b) {
    Differences out;
    out.check(a.last_event_at == b.last_event_at, "last_event_at");
    out.check(a.planner_surfaced_at == b.planner_surfaced_at, "planner_surfaced_at");
    out.check(a.plan == b.plan, "plan");
    out.check(a.graph.order == b.graph.order, "graph");
    out.check(a.round == b.round && a.in_round == b.in_round && a.stopped == b.stopped, "round");
    out.check(a.statuses == b.statuses, "statuses");
    out.check(a.outcomes == b.outcomes && a.branches == b.branches && a.change_urls == b.change_urls, "outcomes");
    out.check(a.completed_steps == b.completed_steps, "completed_steps");
    out.check(a.dispatched_at == b.dispatched_at && a.settled_at == b.settled_at, "times");
    out.check(a.attested == b.attested, "attested");
    out.check(a.surface_queued == b.surface_queued && a.surfaced == b.surfaced, "surfaced");
    out.check(a.upstream_modified == b.upstream_modified && a.upstream_modified_nodes == b.upstream_modified_nodes,
              "upstream_modified");
    out.check(a.cross_dag_satisfied == b.cross_dag_satisfied, "cross_dag_satisfied");
    out.check(a.completion_reasons == b.completion_reasons, "completion_reasons");
    out.check(a.deferred_contexts == b.deferred_contexts, "deferred_contexts");
    out.check(a.activity == b.activity, "activity");
    return std::move(out).names();
}

// Envelopes in the same order, the same replay's state and checkpoint, the same end of the
// journal's read.
inline std::string view_differences(const views::RunView& a, const views::RunView& b) {
    Differences out;
    out.check(std::ranges::equal(a.envelopes, b.envelopes), "envelopes");
    out.check(state_differences(a, b).empty(), "replay");
    out.check(a.cross_run_statuses == b.cross_run_statuses, "cross_run_statuses");
    out.check(a.appended_from == b.appended_from, "appended_from");
    out.check((a.checkpoint == nullptr) == (b.checkpoint == nullptr), "checkpoint");
    if (a.checkpoint && b.checkpoint) {
        out.check(a.checkpoint->position == b.checkpoint->position &&
                      state_differences(a.checkpoint->state, b.checkpoint->state).empty(),
                  "checkpoint");
    }
    out.check(end_differences(a.journal_end, b.journal_end, a.journal_end.resumable).empty(), "journal_end");
    return std::move(out).names();
}

}  // namespace korvalle::testing
