#include "sdk/run/ledger.hpp"

#include "sdk/base/files.hpp"
#include "sdk/base/text.hpp"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <fmt/format.h>

namespace korvalle::ledger {

std::string round_plan_name(std::uint64_t round) { return fmt::format("round-{:02}/plan.json", round); }

std::string round_result_name(std::uint64_t round) { return fmt::format("round-{:02}/result.json", round); }

std::filesystem::path RunPaths::round_plan(std::uint64_t round) const { return dir / round_plan_name(round); }

std::filesystem::path RunPaths::round_result(std::uint64_t round) const { return dir / round_result_name(round); }

void sort_runs(std::vector<RunPaths>& runs) {
    // std::string compares through char_traits<char>, which compares as unsigned bytes.
    std::stable_sort(runs.begin(), runs.end(),
                     [](const RunPaths& a, const RunPaths& b) { return a.id < b.id; });
}

namespace {

using Listing = std::unique_ptr<DIR, int (*)(DIR*)>;

// The open root, or none when it cannot be listed (a root that does not exist lists nothing).
Listing open_listing(const std::filesystem::path& runs_root) {
    Listing listing(::opendir(runs_root.c_str()), ::closedir);
    if (!listing) files::unless_exhausted(errno);
    return listing;
}

// fstatat through links; false when the entry cannot be reached.
bool stat_at(int root_fd, const std::string& name, struct stat& st) {
    if (::fstatat(root_fd, name.c_str(), &st, 0) == 0) return true;
    files::unless_exhausted(errno);
    return false;
}

// The listing's rule for one entry of the open root: a directory holding a regular file
// "launch.json", both tested through links (d_type is not trusted: a link to a run is a run),
// with a UTF-8 name.
bool is_run_entry(int root_fd, const std::string& name) {
    struct stat st {};
    if (!stat_at(root_fd, name, st) || !S_ISDIR(st.st_mode)) return false;
    if (!stat_at(root_fd, name + "/launch.json", st) || !S_ISREG(st.st_mode)) return false;
    return text::is_utf8(name);
}

}  // namespace

std::vector<RunPaths> run_dir_entries(const std::filesystem::path& runs_root) {
    std::vector<RunPaths> runs;
    Listing listing = open_listing(runs_root);
    if (!listing) return runs;
    const int fd = ::dirfd(listing.get());
    // readdir returns null both at the end and on a failure; a failure for want of memory
    // must not pass for the end of the listing.
    errno = 0;
    while (const dirent* entry = ::readdir(listing.get())) {
        const std::string name = entry->d_name;
        if (name != "." && name != ".." && is_run_entry(fd, name)) runs.push_back(RunPaths{name, runs_root / name});
        errno = 0;
    }
    files::unless_exhausted(errno);
    return runs;
}

std::optional<RunPaths> run_dir_entry(const std::filesystem::path& runs_root, std::string_view name) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos ||
        name.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    // The root is opened as the listing opens it, so a root that cannot be listed has no run
    // of any name, even when the entry itself could be reached.
    Listing listing = open_listing(runs_root);
    if (!listing) return std::nullopt;
    const std::string entry(name);
    if (!is_run_entry(::dirfd(listing.get()), entry)) return std::nullopt;
    return RunPaths{entry, runs_root / entry};
}

std::vector<RunPaths> all_runs(const std::filesystem::path& runs_root) {
    std::vector<RunPaths> runs = run_dir_entries(runs_root);
    sort_runs(runs);
    return runs;
}

std::vector<RunPaths> run_dir_candidates(const std::filesystem::path& runs_root) {
    std::vector<RunPaths> runs;
    Listing listing = open_listing(runs_root);
    if (!listing) return runs;
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = ::readdir(listing.get())) {
        std::string name = entry->d_name;
        const bool may_be_dir = entry->d_type == DT_DIR || entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN;
        if (may_be_dir && name != "." && name != ".." && text::is_utf8(name)) names.push_back(std::move(name));
        errno = 0;
    }
    files::unless_exhausted(errno);
    // The names are sorted before their paths are made: a walk over a large root lists it every
    // time, and moving paths about costs more than moving names. Names in one directory differ,
    // so this is the order sort_runs gives.
    std::sort(names.begin(), names.end());
    runs.reserve(names.size());
    for (std::string& name : names) {
        std::filesystem::path dir = runs_root / name;
        runs.push_back(RunPaths{std::move(name), std::move(dir)});
    }
    return runs;
}

bool is_run_dir(const RunPaths& candidate) {
    struct stat st {};
    if (!stat_at(AT_FDCWD, candidate.dir.string(), st) || !S_ISDIR(st.st_mode)) return false;
    return stat_at(AT_FDCWD, (candidate.dir / "launch.json").string(), st) && S_ISREG(st.st_mode);
}

}  // namespace korvalle::ledger
