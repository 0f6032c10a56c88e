#include "sdk/run/crossdag.hpp"

#include "sdk/base/files.hpp"
#include "sdk/base/json_read.hpp"
#include "sdk/journal/journal_lines.hpp"
#include "sdk/journal/object_text.hpp"

#include <string>

namespace korvalle::crossdag {

namespace {

constexpr std::string_view prefix = "run:";

// The pipeline tool's JSON reader refuses a 128th level of nesting, the line's own value
// counting as the first.
constexpr int max_line_depth = 127;

// The status word a line gives the node: any JSON object the pipeline tool's reader takes (not
// only an envelope) of kind "node-settled", labelled with the node, whose payload has a status.
// Its members are found in its text as a kept object's are, in one walk and without building a
// tree; a member given twice counts by its last value, as in a tree.
std::optional<std::string> settled_word(std::string_view line, std::string_view node) {
    using event::ObjectText;
    // valid takes what parse would, the nesting limit included.
    if (!json::valid(line, max_line_depth)) return std::nullopt;
    const std::string_view object = line.substr(line.find_first_not_of(" \t\n\r"));
    if (object.front() != '{') return std::nullopt;
    static constexpr std::string_view keys[] = {"kind", "labels", "payload"}, node_key[] = {"node"},
                                      status_key[] = {"status"};
    std::string_view members[3], labelled[1], status[1];
    ObjectText::member_texts(object, keys, members);
    std::string scratch;
    const auto is_object = [](std::string_view value) { return !value.empty() && value.front() == '{'; };
    if (ObjectText::string_of(members[0], &scratch) != "node-settled") return std::nullopt;
    if (!is_object(members[1]) || !is_object(members[2])) return std::nullopt;
    ObjectText::member_texts(members[1], node_key, labelled);
    if (ObjectText::string_of(labelled[0], &scratch) != node) return std::nullopt;
    ObjectText::member_texts(members[2], status_key, status);
    const std::optional<std::string_view> word = ObjectText::string_of(status[0], &scratch);
    return word ? std::optional<std::string>(*word) : std::nullopt;
}

// The status word of the last "node-settled" line for the node, scanning from the end of the
// journal in file order; none when no line settles it with a known word.
std::optional<graph::NodeStatus> last_settle(const std::vector<std::string>& journal,
                                             std::string_view node) {
    for (auto line = journal.rbegin(); line != journal.rend(); ++line) {
        const std::optional<std::string> word = settled_word(*line, node);
        if (!word) continue;
        if (auto known = graph::NodeStatus::parse(*word)) return known;
    }
    return std::nullopt;
}

// The journal of a referenced run, read once per resolution however many of its nodes are
// referenced; none when the run names no directory.
using JournalCache = std::map<std::string, std::optional<std::vector<std::string>>>;

// The runs directory, opened once for every reference it resolves: each run's entry and journal
// are looked up from that descriptor.
struct RunsDir {
    const std::filesystem::path& path;
    std::optional<files::Directory> directory;
};

const std::optional<std::vector<std::string>>& journal_of(JournalCache& cache, const std::string& run, RunsDir& runs,
                                                        files::SeenFiles* seen) {
    auto [entry, inserted] = cache.try_emplace(run);
    if (!inserted) return entry->second;
    // A run text with a NUL can name no directory; passing it on would cut the path short
    // and read another run.
    if (run.find('\0') != std::string::npos) return entry->second;
    const std::string relative = run + "/events.jsonl";
    const std::filesystem::path journal_path = runs.path / relative;
    if (!runs.directory || !runs.directory->is_directory_named(run)) {
        if (seen) {
            if (runs.directory) {
                seen->note_unread(journal_path, runs.directory->stat_named(relative));
            } else {
                seen->note_unread(journal_path);
            }
        }
        return entry->second;
    }
    files::ReadTrace trace;
    entry->second = journal::read_journal_lines(files::FileAt(*runs.directory, relative), &trace);
    if (seen) seen->note(journal_path, trace, trace.identity ? std::nullopt : runs.directory->stat_named(relative));
    return entry->second;
}

graph::NodeStatus resolve_one(const Reference& reference, RunsDir& runs, JournalCache& cache, files::SeenFiles* seen) {
    const std::optional<std::vector<std::string>>& journal = journal_of(cache, reference.run, runs, seen);
    if (!journal) return graph::NodeStatus::Blocked;
    const std::optional<graph::NodeStatus> settled = last_settle(*journal, reference.node);
    return settled == graph::NodeStatus::Done ? graph::NodeStatus::Done
                                              : graph::NodeStatus::Blocked;
}

}  // namespace

std::optional<Reference> parse_ref(std::string_view text) {
    if (!text.starts_with(prefix)) return std::nullopt;
    text.remove_prefix(prefix.size());
    const std::size_t hash = text.find('#');
    if (hash == std::string_view::npos) return std::nullopt;
    const std::string_view run = text.substr(0, hash);
    const std::string_view node = text.substr(hash + 1);
    if (node.empty() || run.empty() || run == "." || run == "..") return std::nullopt;
    if (run.find_first_of("/\\") != std::string_view::npos) return std::nullopt;
    return Reference{std::string(run), std::string(node)};
}

std::map<std::string, graph::NodeStatus> resolve_quietly(const std::set<std::string>& references,
                                                         const std::filesystem::path& runs_dir,
                                                         files::SeenFiles* seen) {
    std::map<std::string, graph::NodeStatus> statuses;
    JournalCache cache;
    std::optional<RunsDir> runs;
    for (const std::string& text : references) {
        if (std::optional<Reference> reference = parse_ref(text)) {
            if (!runs) {
                int error = 0;
                // An empty runs directory is the working directory, as an empty parent is.
                runs.emplace(RunsDir{runs_dir, files::Directory::open(runs_dir.empty() ? "." : runs_dir, error)});
            }
            statuses.emplace(text, resolve_one(*reference, *runs, cache, seen));
        }
    }
    return statuses;
}

}  // namespace korvalle::crossdag
