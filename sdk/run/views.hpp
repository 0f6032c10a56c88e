// The replayed state of one run: its launch record, its journal's envelopes and what their
// replay makes of them. Node statuses and liveness are read from a view by statuses.hpp and
// liveness.hpp.
//
// A view is built by RunView::open (launch record, journal, merge order, replay, cross-run
// resolution), or grown from an earlier view of the same run, and is read-only afterwards: the
// arenas of its envelopes' JSON values refuse any further allocation, so a copy of one of those
// values must name its own storage. A copy of a view copies those values into an arena of its
// own.
//
// A view is made on one thread, save the parsing of its journal's lines, which may fan out
// (JournalFanout): line-aligned shards of the journal are parsed at once, each into envelopes of
// its own, and the merge order, the replay and the rest of the view follow on the calling thread.
#pragma once

#include "sdk/base/file_identity.hpp"
#include "sdk/base/shards.hpp"
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

// How an open parses its journal: in one go on the calling thread (no runner, or one with no
// thread to spare), or in line-aligned shards of about shard_bytes run by runner
// (journal_shards.hpp). A journal smaller than two shards is read in one go, and so are the bytes
// a read on adds when they are: cutting them up would cost more than it saves.
struct JournalFanout {
    static constexpr std::uint64_t default_shard_bytes = std::uint64_t{1} << 20;

    shards::Runner* runner = nullptr;
    std::uint64_t shard_bytes = default_shard_bytes;
};

// Times are milliseconds since the Unix epoch. Ordered maps and sets are keyed by texts
// compared as unsigned bytes, and readers rely on that order.
struct ReplayState;

// The activity reports met in a replay of a view's envelopes, by position: each node's text is
// made once the replay is done, from its last report with a name or a detail, rather than from
// every report as it comes (the view shows the same).
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
    // Gives each node's activity in state the text of its last report with one, as replaying
    // the reports one by one would; envelopes are those the positions are of.
    void settle(ReplayState& state, const EnvelopeList& envelopes);

private:
    std::map<std::string, std::size_t> last_;  // each node's last report
    std::optional<std::size_t> from_;          // where the reports that count begin
};

// What the replay makes of a journal's envelopes, folded in one at a time, in merge order.
struct ReplayState {
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

    // Folds one envelope in. Never fails.
    void apply_event(const event::Envelope& envelope);
    // The same for the envelope at a position of a replay of a view's envelopes, whose activity
    // report, if it is one, is left to reports: settle them when the replay is done.
    void apply_event(const event::Envelope& envelope, std::size_t position, ActivityReports& reports);

private:
    void apply(const event::Envelope& envelope, std::size_t position, ActivityReports* reports);
};

// The replay's state after the first `position` envelopes of a view, with their reports
// settled: a replay may go on from here while the envelopes before it stay as they are.
struct ReplayCheckpoint {
    std::size_t position = 0;
    ReplayState state;
};

struct RunView : ReplayState {
    // Set by open.
    ledger::RunPaths paths;
    // The directory that paths.dir named when the view was read: its launch record and journal
    // were read from that one descriptor, and files read beside the view are read from it only.
    files::FileId directory;
    LaunchRecord launch;
    // Every envelope that parsed, in merge order, with the arenas of their JSON values (sealed
    // once read: a copy of those values names its own storage). The replay's state is that of
    // these envelopes.
    EnvelopeList envelopes;

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
    // Set by grown: the envelopes in the slots before this one are the base's (the envelope
    // list's slots), the others were read on; 0 when the view was read whole.
    std::size_t appended_from = 0;
    // The replay's state some way behind the newest envelopes, once envelopes sorting before
    // earlier ones were met: those read on later that sort after it replay from there. Shared
    // by the views grown one from another; none while the journal was read in order.
    std::shared_ptr<const ReplayCheckpoint> checkpoint;

    const std::string& id() const { return paths.id; }
    // The journal as the open read it (its entry in files_read); none when there was none.
    std::optional<files::Identity> journal_identity() const;
    // Whether the files it was read from are as they were (files_read) and paths.dir still names
    // the directory it was read from: while they are, the view describes its run exactly.
    bool unchanged() const;
    // Whether the journal still holds every byte the view was read from, checked whole (a digest
    // of each block, not a parse): a read that went on from an earlier view checked only samples
    // of the bytes before the old end. False when the journal or the directory is another now.
    bool journal_intact() const;
    // The bytes the view holds: its arenas' blocks and its envelope list with the texts the
    // envelopes own, the digests of its journal's blocks, plus a fixed part for the rest.
    std::uint64_t held_bytes() const;

    // Lists the runs root and opens every run in id order; runs that fail to open are left
    // out. Fails only by files::Exhausted (out of descriptors or memory), never by a run.
    static std::vector<RunView> all(const std::filesystem::path& runs_root);

    // Opens one run directory: launch record, journal lines, merge order, replay, cross-run
    // resolution in runs_dir_for(paths.dir, runs_dir_variable), which only a directory without
    // a parent takes from the variable (as the pipeline tool does from KORVALLE_RUNS_DIR). The
    // directory is opened once (a link to one followed), and its files are read from that
    // descriptor, so that a view never mixes the files of two directories put in turn under its
    // name; links among its files are followed as a path would follow them.
    // fanout: how the journal's lines are parsed; the view is the same either way. The envelopes'
    // memory comes from blocks, and views grown from this one take theirs there too.
    static Result<RunView, SdkError> open(const ledger::RunPaths& paths,
                                          std::optional<std::string_view> runs_dir_variable = std::nullopt,
                                          JournalFanout fanout = {}, memory::Blocks blocks = memory::system_blocks());

    // The view of the same run read on from where base's read of the journal stopped, when
    // that is sure to give what open gives: the run's name still leads to base's directory, the
    // launch record is the one read, and the journal is the same file, larger, or with the
    // identity it had, whose bytes before the old end pass the checks of
    // journal::continue_journal_lines (samples of them: a rewrite elsewhere is seen by
    // journal_intact), as is the unfinished last line when base's read made an envelope of it.
    // Only the lines from there on are read; the replay goes on from base's state over the
    // envelopes that sort after all earlier ones, and otherwise from the checkpoint before the
    // first one that does not (from the start when there is none). Appended bytes that are not
    // UTF-8 leave the journal without envelopes, as open does, and a journal that was not UTF-8
    // for good stays so while its fault is there, reading nothing else. None when any of that is
    // in doubt: open the run then. base is consumed. The lines read on are parsed as fanout says.
    //
    // The grown view shares base's envelope store and appends behind base's envelopes there:
    // two reads on from views of one store (base, the views it was read on from, those read on
    // from it) must never run at once, as both would write the same slots. The caller keeps
    // them apart (in the server, the cache of opened runs: one open of a run at a time); builds
    // with assertions check it (EnvelopeList::Appending). Views only read are shared freely.
    static std::optional<RunView> grown(RunView base, JournalFanout fanout = {});
};

// Applies the "operations" batch of an "edit-committed" payload: all of it, or nothing when
// any operation does not read.
void apply_edits(ReplayState& state, const boost::json::object& payload);

// The string items of a JSON array, in order; other items are skipped.
std::vector<std::string> json_string_array(const boost::json::array& items);

// Where the runs named by a run's cross-run references are looked up: the run directory's
// parent, as the pipeline tool computes it; for a directory without one (a root, an empty
// path), the value of KORVALLE_RUNS_DIR when it is set and not empty, else "runs".
std::filesystem::path runs_dir_for(const std::filesystem::path& run_dir, std::optional<std::string_view> configured);

}  // namespace korvalle::views
