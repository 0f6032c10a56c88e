#include "sdk/run/ledger.hpp"

#include "sdk/base/files.hpp"
#include "sdk/base/text.hpp"

#include <algorithm>
#include <cerrno>
#include <memory>

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

std::vector<RunPaths> run_dir_entries(const std::filesystem::path& runs_root) {
    std::vector<RunPaths> runs;
    std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(runs_root.c_str()), ::closedir);
    if (!listing) {
        files::unless_exhausted(errno);
        return runs;
    }
    const int fd = ::dirfd(listing.get());
    // d_type is not trusted: stat through links, as a link to a run is a run.
    const auto is_kind = [fd](const std::string& name, mode_t kind) {
        struct stat st {};
        if (::fstatat(fd, name.c_str(), &st, 0) != 0) {
            files::unless_exhausted(errno);
            return false;
        }
        return (st.st_mode & S_IFMT) == kind;
    };
    // readdir returns null both at the end and on a failure; a failure for want of memory
    // must not pass for the end of the listing.
    errno = 0;
    while (const dirent* entry = ::readdir(listing.get())) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        if (is_kind(name, S_IFDIR) && is_kind(name + "/launch.json", S_IFREG) && text::is_utf8(name)) {
            runs.push_back(RunPaths{name, runs_root / name});
        }
        errno = 0;
    }
    files::unless_exhausted(errno);
    return runs;
}

std::vector<RunPaths> all_runs(const std::filesystem::path& runs_root) {
    std::vector<RunPaths> runs = run_dir_entries(runs_root);
    sort_runs(runs);
    return runs;
}

}  // namespace korvalle::ledger
