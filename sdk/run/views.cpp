// Opening runs: the launch record, the journal in merge order, the replay, and the statuses
// of the other runs' nodes that the replayed graph depends on.
#include "sdk/run/views.hpp"

#include "sdk/run/crossdag.hpp"
#include "sdk/run/launch_record.hpp"
#include "sdk/base/arena.hpp"
#include "sdk/base/files.hpp"
#include "sdk/journal/journal.hpp"
#include "sdk/journal/journal_lines.hpp"
#include "sdk/base/text.hpp"

#include <algorithm>
#include <iterator>

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

// Replays these envelopes (in merge order) from a fresh state, keeping what open sets besides
// the replay: the run's paths, the runs directory and the launch record.
void replay_afresh(RunView& view, EnvelopeList envelopes) {
    RunView fresh;
    fresh.paths = std::move(view.paths);
    fresh.runs_dir = std::move(view.runs_dir);
    fresh.launch = std::move(view.launch);
    fresh.envelopes = std::move(envelopes);
    view = std::move(fresh);
    ActivityReports reports;
    for (const event::Envelope& envelope : view.envelopes) view.apply_event(envelope, reports);
    reports.settle(view);
}

// Reads journal lines into the view's envelope list, each parsed once as it is read, into the
// list's newest arena. Journals are written in order, so an envelope is replayed as soon as it
// is read while everything so far is in merge order (the replay then sees exactly the sorted
// sequence); an envelope out of order stops that, and the caller sorts and replays again.
class EnvelopeReader {
public:
    // first_block: the arena's first block (see json::Arena); room: the envelopes expected.
    explicit EnvelopeReader(RunView& view, std::size_t first_block = json::Arena::block_bytes, std::size_t room = 0)
        : view_(view) {
        view.envelopes.open_arena(first_block, room);
    }

    void operator()(std::string_view line) {
        EnvelopeList& list = view_.envelopes;
        // The line splitter has checked the line's UTF-8 already.
        last_made_ = event::read_envelope_into(line, list.next(), json::Utf8::Checked).ok();
        if (!last_made_) {
            list.drop();
            return;
        }
        list.keep();
        const std::size_t n = list.size();
        if (ordered_ && n > 1 && journal::before_in_merge_order(list[n - 1], list[n - 2])) ordered_ = false;
        if (ordered_) view_.apply_event(list.back(), reports_);
    }

    bool ordered() const { return ordered_; }
    // Ends a replay that went in order as the lines came.
    void settle() { reports_.settle(view_); }
    // Whether the last line handed over made an envelope.
    bool last_made() const { return last_made_; }

private:
    RunView& view_;
    ActivityReports reports_;
    bool ordered_ = true;
    bool last_made_ = false;
};

// An unfinished last line that made an envelope cannot be read again from its start without
// dropping that envelope, which the replay has already seen: such a read is not resumed.
journal::JournalEnd resumable_end(journal::JournalEnd end, const EnvelopeReader& reader) {
    if (end.tail_visited && reader.last_made()) end.resumable = false;
    return end;
}

// Reads the journal into the view's envelopes, in merge order, and replays them. The
// journal's text is never held whole.
void read_and_replay(RunView& view, const fs::path& journal_path, files::ReadTrace& trace) {
    // Growing the list envelope by envelope moves every envelope about twenty times over a
    // large journal; a guess from the file's size avoids most of that. Space reserved beyond
    // the last envelope is never touched: a large reservation costs address space, not memory.
    std::error_code error;
    const std::uintmax_t bytes = fs::file_size(journal_path, error);
    const auto room = error ? 0 : static_cast<std::size_t>(std::min<std::uintmax_t>(bytes / 256, 1 << 22));
    // The values take about twice their text: a small journal's arena starts small.
    const auto first_block = static_cast<std::size_t>(std::min<std::uintmax_t>(error ? json::Arena::block_bytes : 2 * bytes, json::Arena::block_bytes));
    EnvelopeReader reader(view, first_block, room);
    journal::JournalEnd end;
    const bool usable = journal::for_each_journal_line(journal_path, std::ref(reader), &trace, &end);
    if (!usable) {
        replay_afresh(view, {});
    } else if (!reader.ordered()) {
        journal::merge_order(view.envelopes.sorted());
        replay_afresh(view, std::move(view.envelopes));
    } else {
        reader.settle();
    }
    view.envelopes.seal();
    view.journal_end = resumable_end(end, reader);
}

// Puts the envelopes read on into merge order among those read before (already in it): the
// new ones, sorted among themselves, go after those they tie with, as a stable sort of the
// whole list would put them. Envelopes are only moved by construction: assigning one whose
// values live in another arena would copy them there, and the earlier arenas are sealed.
void merge_appended(EnvelopeList& list, std::size_t read_before) {
    std::vector<const event::Envelope*> before, added, order;
    for (std::size_t i = 0; i < list.size(); ++i) (i < read_before ? before : added).push_back(&list[i]);
    const auto by_merge_order = [](const event::Envelope* a, const event::Envelope* b) {
        return journal::before_in_merge_order(*a, *b);
    };
    std::stable_sort(added.begin(), added.end(), by_merge_order);
    order.reserve(list.size());
    std::merge(before.begin(), before.end(), added.begin(), added.end(), std::back_inserter(order), by_merge_order);
    list.reorder(order);
}

// Reads on from where the view's read of the journal stopped; false when that is in doubt.
bool read_on_and_replay(RunView& view, const fs::path& journal_path, const files::Identity& was,
                        std::uint64_t size_now, files::ReadTrace& trace) {
    const std::size_t read_before = view.envelopes.size();
    // The values of the lines appended take about twice their text.
    const std::uint64_t appended = size_now > view.journal_end.tail_start ? size_now - view.journal_end.tail_start : 0;
    EnvelopeReader reader(view, static_cast<std::size_t>(std::min<std::uint64_t>(2 * appended, json::Arena::block_bytes)));
    journal::JournalEnd end;
    const journal::Continued how =
        journal::continue_journal_lines(journal_path, view.journal_end, was, std::ref(reader), &trace, &end);
    if (how == journal::Continued::InDoubt) return false;
    if (how == journal::Continued::NotUtf8) {
        replay_afresh(view, {});
    } else if (!reader.ordered()) {
        merge_appended(view.envelopes, read_before);
        replay_afresh(view, std::move(view.envelopes));
    } else {
        reader.settle();
        view.replayed_on_from = read_before;
    }
    view.envelopes.seal();
    view.journal_end = resumable_end(end, reader);
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
                                        memory::Blocks blocks) {
    if (!files::is_directory(paths.dir)) {
        return {plan::SdkError{plan::SdkError::RunNotFound{
            paths.id, parent_of(paths.dir).value_or(fs::path("."))}}};
    }
    const fs::path launch_path = paths.dir / "launch.json";
    files::ReadResult launch_file = files::read_regular(launch_path);
    files::SeenFiles files_read;
    files_read.note(launch_path, files::ReadTrace{launch_file.identity, launch_file.error});
    if (!launch_file.bytes) return {io_error(launch_path, launch_file.error)};
    if (!text::is_utf8(*launch_file.bytes)) return {not_utf8_error(launch_path)};
    Result<LaunchRecord> launch = read_launch_record(*launch_file.bytes);
    if (!launch) {
        return {plan::SdkError{plan::SdkError::Message{launch_path.string() + ": " + message(launch.error())}}};
    }

    RunView view;
    view.envelopes = EnvelopeList(std::move(blocks));
    const fs::path journal_path = paths.dir / journal_file;
    files::ReadTrace journal_trace;
    read_and_replay(view, journal_path, journal_trace);
    files_read.note(journal_path, journal_trace);
    view.paths = paths;
    view.runs_dir = runs_dir_for(paths.dir, runs_dir_variable);
    view.launch = std::move(launch).value();
    finish_open(view, std::move(files_read));
    return {std::move(view)};
}

std::optional<RunView> RunView::grown(RunView view) {
    if (view.files_read.files.size() < 2 || !view.journal_end.resumable) return std::nullopt;
    // The launch record and the journal are the first two files an open notes.
    const files::Seen launch = view.files_read.files[0];
    const files::Seen journal = view.files_read.files[1];
    if (!journal.identity || files::identity_of(launch.path) != launch.identity) return std::nullopt;
    // The journal must have grown, or be as it was read (then the check reads its last lines
    // again): a journal rewritten to the same size is read whole.
    const std::optional<files::Identity> now = files::identity_of(journal.path);
    const bool grew = now && now->device == journal.identity->device && now->inode == journal.identity->inode &&
                      now->size > view.journal_end.end;
    if (!grew && now != journal.identity) return std::nullopt;
    files::ReadTrace journal_trace;
    if (!read_on_and_replay(view, journal.path, *journal.identity, now->size, journal_trace)) return std::nullopt;
    files::SeenFiles files_read;
    files_read.files.push_back(launch);
    files_read.note(journal.path, journal_trace);
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

std::uint64_t RunView::held_bytes() const { return fixed_view_bytes + envelopes.held_bytes(); }

std::vector<RunView> RunView::all(const fs::path& runs_root) {
    std::vector<RunView> views;
    for (const ledger::RunPaths& paths : ledger::all_runs(runs_root)) {
        Result<RunView, SdkError> opened = open(paths);
        if (opened.ok()) views.push_back(std::move(opened.value()));
    }
    return views;
}

}  // namespace korvalle::views
