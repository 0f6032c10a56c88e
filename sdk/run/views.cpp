// Opening runs: the launch record, the journal in merge order, the replay, and the statuses
// of the other runs' nodes that the replayed graph depends on.
#include "sdk/run/views.hpp"

#include "sdk/run/crossdag.hpp"
#include "sdk/base/arena.hpp"
#include "sdk/base/files.hpp"
#include "sdk/journal/journal.hpp"
#include "sdk/journal/journal_lines.hpp"
#include "sdk/base/text.hpp"

#include <algorithm>
#include <cstdlib>

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

// Where the runs named by cross-run references are looked up.
fs::path runs_dir_for(const fs::path& run_dir) {
    if (std::optional<fs::path> parent = parent_of(run_dir)) return *parent;
    const char* configured = std::getenv("KORVALLE_RUNS_DIR");
    if (configured != nullptr && *configured != '\0') return fs::path(configured);
    return fs::path("runs");
}

plan::SdkError io_error(const fs::path& path, int code) {
    return plan::SdkError{plan::SdkError::Io{path, code, text::os_error(code)}};
}

plan::SdkError not_utf8_error(const fs::path& path) {
    return plan::SdkError{plan::SdkError::Io{path, 0, "stream did not contain valid UTF-8"}};
}

// Reads the journal into the view's envelopes, in merge order, and replays them. Each line is
// parsed once, as it is read; the journal's text is never held whole. Journals are written
// in order, so an envelope is replayed as soon as it is read while everything read so far is
// in merge order (the replay then sees exactly the sorted sequence); only a journal that is
// out of order is sorted and replayed again from a fresh view.
void read_and_replay(RunView& view, const fs::path& journal_path, files::ReadTrace& trace) {
    std::vector<event::Envelope>& envelopes = view.envelopes;
    // Growing the list envelope by envelope moves every envelope about twenty times over a
    // large journal; a guess from the file's size avoids most of that. Space reserved beyond
    // the last envelope is never touched: a large reservation costs address space, not memory.
    std::error_code error;
    const std::uintmax_t bytes = fs::file_size(journal_path, error);
    if (!error) envelopes.reserve(static_cast<std::size_t>(std::min<std::uintmax_t>(bytes / 256, 1 << 22)));
    bool ordered = true;
    auto arena = std::make_unique<json::Arena>();
    const boost::json::storage_ptr storage = arena->storage();
    const bool usable = journal::for_each_journal_line(journal_path, [&](std::string_view line) {
        if (!event::read_envelope_into(line, envelopes.emplace_back(storage)).empty()) {
            envelopes.pop_back();
            return;
        }
        const std::size_t n = envelopes.size();
        if (ordered && n > 1 && journal::before_in_merge_order(envelopes[n - 1], envelopes[n - 2])) ordered = false;
        if (ordered) view.apply_event(envelopes.back());
    }, &trace);
    if (!usable || !ordered) {
        std::vector<event::Envelope> kept = usable ? std::move(envelopes) : std::vector<event::Envelope>{};
        view = RunView{};
        journal::merge_order(kept);
        view.envelopes = std::move(kept);
        for (const event::Envelope& envelope : view.envelopes) view.apply_event(envelope);
    }
    arena->seal();
    view.arena = std::move(arena);
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

}  // namespace

plan::Loaded<RunView> RunView::open(const ledger::RunPaths& paths) {
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
    plan::Read<LaunchRecord> launch = read_launch_record(*launch_file.bytes);
    if (!launch.ok()) {
        return {plan::SdkError{plan::SdkError::Message{launch_path.string() + ": " + launch.error}}};
    }

    RunView view;
    const fs::path journal_path = paths.dir / "events.jsonl";
    files::ReadTrace journal_trace;
    read_and_replay(view, journal_path, journal_trace);
    files_read.note(journal_path, journal_trace);
    view.cross_run_statuses =
        crossdag::resolve_quietly(cross_run_references(view.graph), runs_dir_for(paths.dir), &files_read);
    view.paths = paths;
    view.launch = std::move(*launch.value);
    view.files_read = std::move(files_read);
    return {std::move(view)};
}

std::vector<RunView> RunView::all(const fs::path& runs_root) {
    std::vector<RunView> views;
    for (const ledger::RunPaths& paths : ledger::all_runs(runs_root)) {
        plan::Loaded<RunView> opened = open(paths);
        if (opened.ok()) views.push_back(std::move(opened.value()));
    }
    return views;
}

}  // namespace korvalle::views
