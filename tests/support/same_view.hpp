// Whether two reads of one journal made the same: the names of what differs between two views (or
// two ends of a journal's read), empty when nothing does; and a journal's read in one go, whole or
// on. For the tests and the fuzz targets that compare a journal parsed in shards with one parsed
// in one go.
#pragma once

#include "sdk/journal/journal_lines.hpp"
#include "sdk/run/views.hpp"

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace korvalle::testing {

// A read of a journal in one go, whole or on from an earlier one: how it went (a whole read is
// Read when it yields lines, NotUtf8 when not), its lines, the file it read and where it ended.
struct JournalRead {
    journal::Continued how = journal::Continued::InDoubt;
    std::vector<std::string> lines;
    files::ReadTrace trace;
    journal::JournalEnd end;
};

// Reads the whole journal, or on from where `from` ended.
inline JournalRead read_journal(const std::filesystem::path& path, const JournalRead* from = nullptr) {
    JournalRead read;
    const auto visit = [&](std::string_view line) { read.lines.emplace_back(line); };
    read.how = from ? journal::continue_journal_lines(path, from->end, *from->trace.identity, visit, &read.trace, &read.end)
               : journal::for_each_journal_line(path, visit, &read.trace, &read.end) ? journal::Continued::Read
                                                                                       : journal::Continued::NotUtf8;
    return read;
}

// Names what differs, one name after another.
struct Differences {
    std::string names;
    void check(bool same, const char* name) {
        if (!same) names += (names.empty() ? "" : ", ") + std::string(name);
    }
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
    return out.names;
}

inline std::string state_differences(const views::ReplayState& a, const views::ReplayState& b) {
    Differences out;
    out.check(a.last_event_at == b.last_event_at && a.planner_surfaced_at == b.planner_surfaced_at, "event times");
    out.check(a.plan == b.plan && a.graph.order == b.graph.order, "plan");
    out.check(a.round == b.round && a.in_round == b.in_round && a.stopped == b.stopped, "round");
    out.check(a.statuses == b.statuses, "statuses");
    out.check(a.outcomes == b.outcomes && a.branches == b.branches && a.change_urls == b.change_urls, "outcomes");
    out.check(a.completed_steps == b.completed_steps, "completed_steps");
    out.check(a.dispatched_at == b.dispatched_at && a.settled_at == b.settled_at, "times");
    out.check(a.attested == b.attested, "attested");
    out.check(a.surface_queued == b.surface_queued && a.surfaced == b.surfaced, "surfaced");
    out.check(a.upstream_modified == b.upstream_modified && a.upstream_modified_nodes == b.upstream_modified_nodes,
              "upstream_modified");
    out.check(a.cross_dag_satisfied == b.cross_dag_satisfied && a.completion_reasons == b.completion_reasons,
              "completion");
    out.check(a.deferred_contexts == b.deferred_contexts, "deferred_contexts");
    out.check(a.activity == b.activity, "activity");
    return out.names;
}

// Envelopes in the same order, the same replay's state and checkpoint, the same end of the
// journal's read.
inline std::string view_differences(const views::RunView& a, const views::RunView& b) {
    Differences out;
    out.check(std::ranges::equal(a.envelopes, b.envelopes), "envelopes");
    out.check(state_differences(a, b).empty(), "replay");
    out.check(a.cross_run_statuses == b.cross_run_statuses, "cross_run_statuses");
    out.check(a.appended_from == b.appended_from, "appended_from");
    out.check(a.checkpoint && b.checkpoint ? a.checkpoint->position == b.checkpoint->position &&
                                                 state_differences(a.checkpoint->state, b.checkpoint->state).empty()
                                           : a.checkpoint == b.checkpoint,
              "checkpoint");
    out.check(end_differences(a.journal_end, b.journal_end, a.journal_end.resumable).empty(), "journal_end");
    return out.names;
}

}  // namespace korvalle::testing
