#include "sdk/run/ledger.hpp"

#include "sdk/base/text.hpp"

#include <algorithm>
#include <memory>
#include <optional>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <fmt/format.h>

namespace korvalle::ledger {

namespace {
std::filesystem::path round_dir(const std::filesystem::path& dir, std::uint64_t round) {
    return dir / fmt::format("round-{:02}", round);
}
}  // namespace

std::filesystem::path RunPaths::round_plan(std::uint64_t round) const {
    return round_dir(dir, round) / "plan.json";
}

std::filesystem::path RunPaths::round_result(std::uint64_t round) const {
    return round_dir(dir, round) / "result.json";
}

void sort_runs(std::vector<RunPaths>& runs) {
    // std::string compares through char_traits<char>, which compares as unsigned bytes.
    std::stable_sort(runs.begin(), runs.end(),
                     [](const RunPaths& a, const RunPaths& b) { return a.id < b.id; });
}

namespace {

using Listing = std::unique_ptr<DIR, int (*)(DIR*)>;

Listing open_listing(const std::filesystem::path& runs_root) {
    return Listing(::opendir(runs_root.c_str()), ::closedir);
}

// The listing's rule for one entry of the open root: a directory holding a regular file
// "launch.json", both tested through links (d_type is not trusted: a link to a run is a run),
// with a UTF-8 name.
bool is_run_entry(int root_fd, const std::string& name) {
    struct stat st {};
    if (::fstatat(root_fd, name.c_str(), &st, 0) != 0 || !S_ISDIR(st.st_mode)) return false;
    const std::string launch = name + "/launch.json";
    if (::fstatat(root_fd, launch.c_str(), &st, 0) != 0 || !S_ISREG(st.st_mode)) return false;
    return text::is_utf8(name);
}

}  // namespace

std::vector<RunPaths> run_dir_entries(const std::filesystem::path& runs_root) {
    std::vector<RunPaths> runs;
    Listing listing = open_listing(runs_root);
    if (!listing) return runs;
    const int fd = ::dirfd(listing.get());
    // readdir returns null both at the end and on a failure; either ends the walk.
    while (const dirent* entry = ::readdir(listing.get())) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        if (is_run_entry(fd, name)) runs.push_back(RunPaths{name, runs_root / name});
    }
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

}  // namespace korvalle::ledger
