// The replayed state of one run: its launch record, its journal's envelopes and what their
// replay makes of them. Node statuses and liveness are read from a view by statuses.hpp and
// liveness.hpp.
//
// A view is built by RunView::open (launch record, journal, merge order, replay, cross-run
// resolution), or grown from an earlier view of the same run, and is read-only afterwards: the
// arenas of its envelopes' JSON values refuse any further allocation, so a copy of one of those
// values must name its own storage. A copy of a view copies those values into an arena of its
// own.
#pragma once

#include "sdk/base/file_identity.hpp"
#include "sdk/journal/event.hpp"
#include "sdk/journal/journal_lines.hpp"
#include "sdk/run/envelope_list.hpp"
#include "sdk/plan/graph.hpp"
#include "sdk/plan/plan.hpp"
#include "sdk/run/launch_record.hpp"
#include "sdk/run/ledger.hpp"
#include "sdk/run/statuses.hpp"

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvalle::views {

// Activity of one node as seen in agent and version-control envelopes of the current round.
struct NodeActivity {
    std::optional<std::uint64_t> last_at;  // ms of the last such envelope whose time parsed
    std::optional<std::string> text;       // "name detail" of the last turn-activity with either
    std::uint64_t count = 0;               // such envelopes since the last round start

    bool operator==(const NodeActivity&) const = default;
};

// The journal's name in a run directory.
inline constexpr std::string_view journal_file = "events.jsonl";

// Times are milliseconds since the Unix epoch. Ordered maps and sets are keyed by texts
// compared as unsigned bytes, and readers rely on that order.
struct RunView;

// The activity reports met in a replay of a view's own envelopes, by position: each node's text
// is made once the replay is done, from its last report with a name or a detail, rather than
// from every report as it comes (the view shows the same).
class ActivityReports {
public:
    // A report of node at position; positions grow as the replay goes.
    void add(const std::string& node, std::size_t position) {
        last_[node] = position;
        if (!from_) from_ = position;
    }
    // A round start at position empties the activity, and with it the reports met so far.
    void clear(std::size_t position) {
        last_.clear();
        from_ = position;
    }
    // Gives each node's activity the text of its last report with one, as replaying the reports
    // one by one would.
    void settle(RunView& view);

private:
    std::map<std::string, std::size_t> last_;  // each node's last report
    std::optional<std::size_t> from_;          // where the reports that count begin
};

struct RunView {
    // Set by open.
    ledger::RunPaths paths;
    LaunchRecord launch;
    // Every envelope that parsed, in merge order, with the arenas of their JSON values (sealed
    // once read: a copy of those values names its own storage).
    EnvelopeList envelopes;

    // Set by the replay.
    std::optional<std::uint64_t> last_event_at;
    std::optional<std::uint64_t> planner_surfaced_at;
    std::optional<plan::Plan> plan;
    graph::Graph graph;
    std::uint64_t round = 0;
    bool in_round = false;
    bool stopped = false;
    StatusMap statuses;                              // emptied at each round start
    std::map<std::string, std::string> outcomes;     // emptied at each round start
    std::map<std::string, std::string> branches;
    std::map<std::string, std::string> change_urls;
    std::map<std::string, std::vector<std::string>> completed_steps;
    std::map<std::string, std::uint64_t> dispatched_at;
    std::map<std::string, std::uint64_t> settled_at;
    std::set<std::string> attested;
    std::uint64_t surface_queued = 0;
    std::uint64_t surfaced = 0;
    std::map<std::string, std::uint64_t> upstream_modified;
    std::set<std::pair<std::string, std::string>> upstream_modified_nodes;  // (dependency, node)
    std::map<std::string, std::uint64_t> cross_dag_satisfied;
    std::vector<std::string> completion_reasons;
    std::map<std::string, std::string> deferred_contexts;  // emptied at each round start
    std::map<std::string, NodeActivity> activity;          // emptied at each round start

    // Set by open: where the runs named by cross-run references are looked up.
    std::filesystem::path runs_dir;
    // Set by open after the replay: "run:" + run + "#" + node -> done or blocked.
    StatusMap cross_run_statuses;

    // Set by open: every file it read or looked for ("launch.json", "events.jsonl", the other
    // runs' journals behind cross_run_statuses), as it was then. A view describes its run
    // exactly while these files are unchanged; the round, result and artifact files that the
    // projections read are not among them.
    files::SeenFiles files_read;
    // Set by open: where the read of the journal stopped.
    journal::JournalEnd journal_end;
    // Set by grown: the envelopes before this position are the base's, in the base's order, and
    // the replay went on from the base's state over the rest (0 when it replayed them all).
    std::size_t replayed_on_from = 0;

    const std::string& id() const { return paths.id; }
    // The journal as the open read it (its entry in files_read); none when there was none.
    std::optional<files::Identity> journal_identity() const;
    // The bytes the view holds: its arenas' blocks and its envelope list with the texts the
    // envelopes own, plus a fixed part for the rest.
    std::uint64_t held_bytes() const;

    // Lists the runs root and opens every run in id order; runs that fail to open are left
    // out. Fails only by files::Exhausted (out of descriptors or memory), never by a run.
    static std::vector<RunView> all(const std::filesystem::path& runs_root);

    // Opens one run directory: launch record, journal lines, merge order, replay, cross-run
    // resolution in runs_dir_for(paths.dir, runs_dir_variable), which only a directory without
    // a parent takes from the variable (as the pipeline tool does from KORVALLE_RUNS_DIR). The
    // envelopes' memory comes from blocks, and views grown from this one take theirs there too.
    static Result<RunView, SdkError> open(const ledger::RunPaths& paths,
                                          std::optional<std::string_view> runs_dir_variable = std::nullopt,
                                          memory::Blocks blocks = memory::system_blocks());

    // The view of the same run read on from where base's read of the journal stopped, when
    // that is sure to give what open gives: the launch record is the one read, and the journal
    // is the same file, larger, or with the identity it had, whose last complete line before
    // the old end is unchanged (a rewrite of other bytes before the old end is not seen). Only the lines from there on are read; when their envelopes sort after all
    // earlier ones the replay goes on from base's state, otherwise every envelope is replayed
    // again from memory. Appended bytes that are not UTF-8 leave the journal without envelopes,
    // as open does. None when any of that is in doubt: open the run then. base is consumed.
    static std::optional<RunView> grown(RunView base);

    // Folds one envelope into the view. Never fails.
    void apply_event(const event::Envelope& envelope);
    // The same for one of the view's own envelopes in a replay of them, whose activity report, if
    // it is one, is left to reports: settle them when the replay is done.
    void apply_event(const event::Envelope& envelope, ActivityReports& reports);

private:
    void apply(const event::Envelope& envelope, ActivityReports* reports);
};

// Applies the "operations" batch of an "edit-committed" payload: all of it, or nothing when
// any operation does not read.
void apply_edits(RunView& view, const boost::json::object& payload);

// The string items of a JSON array, in order; other items are skipped.
std::vector<std::string> json_string_array(const boost::json::array& items);

// Where the runs named by a run's cross-run references are looked up: the run directory's
// parent, as the pipeline tool computes it; for a directory without one (a root, an empty
// path), the value of KORVALLE_RUNS_DIR when it is set and not empty, else "runs".
std::filesystem::path runs_dir_for(const std::filesystem::path& run_dir, std::optional<std::string_view> configured);

}  // namespace korvalle::views
