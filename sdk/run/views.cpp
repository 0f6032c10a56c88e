// Opening runs: the launch record, the journal in merge order, the replay, and the statuses
// of the other runs' nodes that the replayed graph depends on.
#include "sdk/run/views.hpp"

#include "sdk/run/crossdag.hpp"
#include "sdk/run/launch_record.hpp"
#include "sdk/run/replay_on.hpp"
#include "sdk/base/arena.hpp"
#include "sdk/base/files.hpp"
#include "sdk/journal/journal.hpp"
#include "sdk/journal/journal_lines.hpp"
#include "sdk/journal/journal_shards.hpp"
#include "sdk/base/text.hpp"

#include <algorithm>

namespace korvalle::views {

namespace {

namespace fs = std::filesystem;

// The path without its last component, as the pipeline tool computes it: trailing
// separators and "." components do not count; a root or an empty path has no parent; a bare
// name has the empty parent.
std::optional<fs::path> parent_of(const fs::path& path) {
    std::string text = path.string();
    const bool absolute = text.starts_with('/');
    const auto strip_separators = [&] {
        while (!text.empty() && text.back() == '/') text.pop_back();
    };
    strip_separators();
    while (text.size() > 1 && text.ends_with("/.")) {
        text.resize(text.size() - 1);
        strip_separators();
    }
    if (text.empty()) return std::nullopt;
    const std::size_t slash = text.rfind('/');
    if (slash == std::string::npos) return fs::path();
    text.resize(slash);
    strip_separators();
    if (text.empty() && absolute) return fs::path("/");
    return fs::path(text);
}

plan::SdkError io_error(const fs::path& path, int code) {
    return plan::SdkError{plan::SdkError::Io{path, code, text::os_error(code)}};
}

plan::SdkError not_utf8_error(const fs::path& path) {
    return plan::SdkError{plan::SdkError::Io{path, 0, "stream did not contain valid UTF-8"}};
}

// The view of a journal that yields no envelopes.
void without_envelopes(RunView& view) {
    static_cast<ReplayState&>(view) = ReplayState{};
    view.envelopes = EnvelopeList();
    view.checkpoint.reset();
}

// Reads journal lines into the view's envelope list, each parsed once as it is read, into the
// list's newest arena. Journals are written in order, so an open replays an envelope as soon as
// it is read while everything so far is in merge order (the replay then sees exactly the sorted
// sequence); an envelope out of order stops that, and the caller sorts and replays again.
class EnvelopeReader {
public:
    // first_block: the arena's first block (see json::Arena); room: the envelopes expected;
    // replay_as_read: whether to replay the envelopes in order as they come.
    explicit EnvelopeReader(RunView& view, std::size_t first_block = json::Arena::block_bytes, std::size_t room = 0,
                            bool replay_as_read = true)
        : view_(view), appending_(view.envelopes), ordered_(replay_as_read) {
        view.envelopes.open_arena(first_block, room);
    }

    void operator()(std::string_view line) {
        // A line shorter than any envelope is none, and costs no envelope made and dropped: a
        // journal of short lines that are no envelopes costs what its bytes of envelopes cost.
        last_made_ = false;
        if (line.size() < event::shortest_envelope) return;
        EnvelopeList& list = view_.envelopes;
        // The line splitter has checked the line's UTF-8 already. Only the verdict on a line is
        // kept: one that is no envelope is dropped without its message made.
        last_made_ = event::read_envelope_verdict(line, list.next(), json::Utf8::Checked);
        if (!last_made_) {
            list.drop();
            return;
        }
        list.keep();
        const std::size_t n = list.size();
        if (ordered_ && n > 1 && journal::before_in_merge_order(list[n - 1], list[n - 2])) ordered_ = false;
        if (ordered_) view_.apply_event(list.back(), n - 1, reports_);
    }

    bool ordered() const { return ordered_; }
    // Ends a replay that went in order as the lines came.
    void settle() { reports_.settle(view_, view_.envelopes); }
    // Whether the last line handed over made an envelope.
    bool last_made() const { return last_made_; }

private:
    RunView& view_;
    const EnvelopeList::Appending appending_;  // the store read on from is this read's alone
    ActivityReports reports_;
    bool ordered_;
    bool last_made_ = false;
};

// Reads the lines of one shard of a journal read in shards into envelopes of its own, on the
// thread that reads the shard, and sorts them there when they came out of merge order.
class ShardReader {
public:
    // bytes: the shard's. Its envelopes' values take at most about their text (the payloads and
    // labels as written, with a little room for alignment): their arena's first block is made to
    // hold them, so that it is mostly the only one, and no larger than that, as a block of the
    // largest size is one huge page, wholly resident once touched. blocks: where the shard's
    // memory comes from (the list's).
    ShardReader(std::uint64_t bytes, const memory::Blocks& blocks)
        : envelopes_(static_cast<std::size_t>(std::min<std::uint64_t>(bytes + bytes / 8, json::Arena::block_bytes)),
                     static_cast<std::size_t>(bytes / 256), blocks) {}

    void operator()(std::string_view line) {
        // As EnvelopeReader reads a line.
        last_made_ = false;
        if (line.size() < event::shortest_envelope) return;
        last_made_ = event::read_envelope_verdict(line, envelopes_.next(), json::Utf8::Checked);
        if (last_made_) {
            envelopes_.keep();
        } else {
            envelopes_.drop();
        }
    }

    void sort() { in_order_ = envelopes_.sort(); }
    // Whether its envelopes came in merge order.
    bool in_order() const { return in_order_; }
    // Whether the last line handed over made an envelope.
    bool last_made() const { return last_made_; }
    EnvelopeList::Shard& envelopes() { return envelopes_; }

private:
    EnvelopeList::Shard envelopes_;
    bool in_order_ = true;
    bool last_made_ = false;
};

// A reader for each shard, taking its memory where the list does.
std::vector<ShardReader> readers_of(const journal::JournalShards& shards, const EnvelopeList& list) {
    std::vector<ShardReader> readers;
    readers.reserve(shards.count());
    for (std::size_t i = 0; i < shards.count(); ++i) readers.emplace_back(shards.bytes(i), list.blocks());
    return readers;
}

// Whether the journal (or what was appended to it) is worth reading in shards.
bool fans_out(const JournalFanout& fanout, std::uint64_t bytes) {
    return fanout.runner && bytes >= 2 * fanout.shard_bytes && fanout.runner->width() > 1;
}

// An unfinished last line that made an envelope is kept: a read that goes on from here must
// find it unchanged and not make it again.
journal::JournalEnd resumable_end(journal::JournalEnd end, bool last_made) {
    if (end.tail_visited && last_made) end.tail_kept = true;
    return end;
}

// Reads the journal in shards into the view's envelopes and replays them; false when it must be
// read in one go after all (the view is left as it was). The shards are parsed on the runner's
// threads; on this one, each shard's envelopes are taken in, in the journal's order, as soon as
// it and those before it are, and replayed while everything so far is in merge order, as the read
// in one go replays them as they come. Envelopes out of order stop that: the shards' own orders
// (each sorted on its thread) are merged, and the whole replayed, checkpoint and all.
bool read_in_shards(RunView& view, const files::FileAt& journal, files::ReadTrace& trace, const JournalFanout& fanout) {
    std::optional<journal::JournalShards> shards = journal::JournalShards::whole(journal, fanout.shard_bytes);
    if (!shards) return false;
    EnvelopeList& list = view.envelopes;
    const EnvelopeList::Appending appending(list);
    std::vector<ShardReader> readers = readers_of(*shards, list);
    std::vector<std::size_t> starts;
    ActivityReports reports;
    bool ordered = true;
    fanout.runner->run(
        shards->count(),
        [&](std::size_t i) {
            shards->read(i, std::ref(readers[i]));
            readers[i].sort();
        },
        [&](std::size_t i) {
            const std::size_t first = list.size();
            starts.push_back(first);
            list.take({&readers[i].envelopes(), 1});
            ordered = ordered && readers[i].in_order() &&
                      (first == 0 || first == list.size() || !journal::before_in_merge_order(list[first], list[first - 1]));
            if (ordered) replay_span(view, list, first, list.size(), reports);
        });
    journal::JournalEnd end;
    const journal::ShardsRead how = shards->finish(&trace, &end);
    if (how == journal::ShardsRead::Again) {
        without_envelopes(view);
        return false;
    }
    if (how == journal::ShardsRead::NotUtf8) {
        without_envelopes(view);
    } else if (ordered) {
        reports.settle(view, list);
    } else {
        list.merge_runs(starts);
        replay_whole(view);
    }
    list.seal();
    view.journal_end = resumable_end(end, readers.back().last_made());
    return true;
}

// Reads the journal into the view's envelopes, in merge order, and replays them. The
// journal's text is never held whole.
void read_and_replay(RunView& view, const files::FileAt& journal, files::ReadTrace& trace, const JournalFanout& fanout) {
    // Growing the list envelope by envelope moves every envelope about twenty times over a
    // large journal; a guess from the file's size avoids most of that. Space reserved beyond
    // the last envelope is never touched: a large reservation costs address space, not memory.
    const std::optional<files::Identity> guess = files::identity_of(journal);
    const std::uint64_t bytes = guess ? guess->size : 0;
    if (fans_out(fanout, bytes) && read_in_shards(view, journal, trace, fanout)) return;
    const auto room = static_cast<std::size_t>(std::min<std::uint64_t>(bytes / 256, 1 << 22));
    // The values take about twice their text: a small journal's arena starts small.
    const auto first_block = static_cast<std::size_t>(
        guess ? std::min<std::uint64_t>(2 * bytes, json::Arena::block_bytes) : json::Arena::block_bytes);
    EnvelopeReader reader(view, first_block, room);
    journal::JournalEnd end;
    const bool usable = journal::for_each_journal_line(journal, std::ref(reader), &trace, &end);
    if (!usable) {
        without_envelopes(view);
    } else if (!reader.ordered()) {
        journal::merge_order(view.envelopes.sorted());
        replay_whole(view);
    } else {
        reader.settle();
    }
    view.envelopes.seal();
    view.journal_end = resumable_end(end, reader.last_made());
}

// Reads on in shards behind the view's envelopes: how it went, or none when it must be read on in
// one go after all (nothing of the view changed then).
std::optional<journal::Continued> read_on_in_shards(RunView& view, const files::FileAt& journal,
                                                    const files::Identity& was, files::ReadTrace& trace,
                                                    const JournalFanout& fanout, journal::JournalEnd& end,
                                                    bool& last_made) {
    std::optional<journal::JournalShards> shards =
        journal::JournalShards::read_on(journal, view.journal_end, was, fanout.shard_bytes);
    if (!shards) return std::nullopt;
    const EnvelopeList::Appending appending(view.envelopes);
    std::vector<ShardReader> readers = readers_of(*shards, view.envelopes);
    fanout.runner->run(shards->count(), [&](std::size_t i) { shards->read(i, std::ref(readers[i])); }, {});
    switch (shards->finish(&trace, &end)) {
    case journal::ShardsRead::Again: return std::nullopt;
    case journal::ShardsRead::InDoubt: return journal::Continued::InDoubt;
    case journal::ShardsRead::NotUtf8: return journal::Continued::NotUtf8;
    case journal::ShardsRead::Read: break;
    }
    for (ShardReader& reader : readers) view.envelopes.take({&reader.envelopes(), 1});
    last_made = readers.back().last_made();
    return journal::Continued::Read;
}

// Reads on from where the view's read of the journal stopped; false when that is in doubt.
bool read_on_and_replay(RunView& view, const files::FileAt& journal, const files::Identity& was,
                        std::uint64_t size_now, files::ReadTrace& trace, const JournalFanout& fanout) {
    const std::size_t read_before = view.envelopes.size();
    const std::uint64_t appended = size_now > view.journal_end.tail_start ? size_now - view.journal_end.tail_start : 0;
    journal::JournalEnd end;
    bool last_made = false;
    std::optional<journal::Continued> how;
    if (fans_out(fanout, appended)) how = read_on_in_shards(view, journal, was, trace, fanout, end, last_made);
    if (!how) {
        // The values of the lines appended take about twice their text. They are replayed once
        // all are read, from where the first of them goes.
        const auto first_block = static_cast<std::size_t>(std::min<std::uint64_t>(2 * appended, json::Arena::block_bytes));
        EnvelopeReader reader(view, first_block, 0, false);
        how = journal::continue_journal_lines(journal, view.journal_end, was, std::ref(reader), &trace, &end);
        last_made = reader.last_made();
    }
    if (how == journal::Continued::InDoubt) return false;
    if (how == journal::Continued::NotUtf8) {
        without_envelopes(view);
        view.appended_from = 0;
    } else {
        replay_read_on(view, read_before);
        view.appended_from = read_before;
    }
    view.envelopes.seal();
    view.journal_end = resumable_end(end, last_made);
    return true;
}

// The distinct cross-run references among the dependencies of the graph's nodes.
std::set<std::string> cross_run_references(const graph::Graph& graph) {
    std::set<std::string> references;
    for (const std::string& id : graph.order) {
        const auto node = graph.nodes.find(id);
        if (node == graph.nodes.end()) continue;
        for (const std::string& dep : node->second.deps) {
            if (crossdag::parse_ref(dep)) references.insert(dep);
        }
    }
    return references;
}

// What a view holds besides its arenas and envelopes: the record itself, the launch record,
// the replay's tables, the graph of a plan.
constexpr std::uint64_t fixed_view_bytes = 16 * 1024;

// The statuses of the other runs' nodes that the replayed graph depends on, read now, and the
// files the view was read from.
void finish_open(RunView& view, files::SeenFiles files_read) {
    view.cross_run_statuses =
        crossdag::resolve_quietly(cross_run_references(view.graph), view.runs_dir, &files_read);
    view.files_read = std::move(files_read);
}

}  // namespace

fs::path runs_dir_for(const fs::path& run_dir, std::optional<std::string_view> configured) {
    if (std::optional<fs::path> parent = parent_of(run_dir)) return *parent;
    if (configured && !configured->empty()) return fs::path(*configured);
    return fs::path("runs");
}

Result<RunView, SdkError> RunView::open(const ledger::RunPaths& paths, std::optional<std::string_view> runs_dir_variable,
                                        JournalFanout fanout, memory::Blocks blocks) {
    int error = 0;
    const std::optional<files::Directory> directory = files::Directory::open(paths.dir, error);
    if (!directory) {
        return {plan::SdkError{plan::SdkError::RunNotFound{
            paths.id, parent_of(paths.dir).value_or(fs::path("."))}}};
    }
    const files::FileAt launch_file(*directory, "launch.json");
    files::ReadResult launch_read = files::read_regular(launch_file);
    files::SeenFiles files_read;
    files::note_read(files_read, launch_file, files::ReadTrace{launch_read.identity, launch_read.error});
    if (!launch_read.bytes) return {io_error(launch_file.path(), launch_read.error)};
    if (!text::is_utf8(*launch_read.bytes)) return {not_utf8_error(launch_file.path())};
    Result<LaunchRecord> launch = read_launch_record(*launch_read.bytes);
    if (!launch) {
        return {plan::SdkError{plan::SdkError::Message{launch_file.path().string() + ": " + message(launch.error())}}};
    }

    RunView view;
    view.envelopes = EnvelopeList(std::move(blocks));
    const files::FileAt journal(*directory, journal_file);
    files::ReadTrace journal_trace;
    read_and_replay(view, journal, journal_trace, fanout);
    files::note_read(files_read, journal, journal_trace);
    view.paths = paths;
    view.directory = directory->id();
    view.runs_dir = runs_dir_for(paths.dir, runs_dir_variable);
    view.launch = std::move(launch).value();
    finish_open(view, std::move(files_read));
    return {std::move(view)};
}

std::optional<RunView> RunView::grown(RunView view, JournalFanout fanout) {
    if (view.files_read.files.size() < 2) return std::nullopt;
    if (!view.journal_end.resumable && !view.journal_end.not_utf8) return std::nullopt;
    // The launch record and the journal are the first two files an open notes; both are looked
    // at, and the journal read, from the directory the view was read from.
    int error = 0;
    const std::optional<files::Directory> directory = files::Directory::reopen(view.paths.dir, view.directory, error);
    if (!directory) return std::nullopt;
    const files::Seen launch = view.files_read.files[0];
    const files::Seen journal_seen = view.files_read.files[1];
    if (!journal_seen.identity || directory->stat_named("launch.json") != launch.identity) return std::nullopt;
    // The journal must have grown, or be as it was read (then the check reads its last lines
    // again): a journal rewritten to the same size is read whole.
    const files::FileAt journal(*directory, journal_file);
    const std::optional<files::Identity> now = files::identity_of(journal);
    const bool grew = now && now->same_file(*journal_seen.identity) && now->size > view.journal_end.end;
    if (!grew && now != journal_seen.identity) return std::nullopt;
    files::ReadTrace journal_trace;
    if (!read_on_and_replay(view, journal, *journal_seen.identity, now->size, journal_trace, fanout)) return std::nullopt;
    files::SeenFiles files_read;
    files_read.files.push_back(launch);
    files::note_read(files_read, journal, journal_trace);
    finish_open(view, std::move(files_read));
    return view;
}

std::optional<files::Identity> RunView::journal_identity() const {
    const fs::path journal = paths.dir / journal_file;
    for (const files::Seen& seen : files_read.files) {
        if (seen.path == journal) return seen.identity;
    }
    return std::nullopt;
}

bool RunView::unchanged() const {
    if (!files_read.unchanged()) return false;
    const std::optional<files::Identity> now = files::identity_of(paths.dir);
    return now && now->id() == directory;
}

bool RunView::journal_intact() const {
    const std::optional<files::Identity> journal = journal_identity();
    if (!journal) return true;  // nothing was read
    int error = 0;
    const std::optional<files::Directory> opened = files::Directory::reopen(paths.dir, directory, error);
    return opened && journal::journal_unchanged(files::FileAt(*opened, journal_file), journal_end, *journal);
}

std::uint64_t RunView::held_bytes() const {
    return fixed_view_bytes + envelopes.held_bytes() + journal_end.prefix.held_bytes();
}

std::vector<RunView> RunView::all(const fs::path& runs_root) {
    std::vector<RunView> views;
    for (const ledger::RunPaths& paths : ledger::all_runs(runs_root)) {
        Result<RunView, SdkError> opened = open(paths);
        if (opened.ok()) views.push_back(std::move(opened.value()));
    }
    return views;
}

}  // namespace korvalle::views
