#include "sdk/run/ledger.hpp"

#include "sdk/base/text.hpp"

#include <algorithm>
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
    if (!listing) return runs;
    const int fd = ::dirfd(listing.get());
    // readdir returns null both at the end and on a failure; either ends the walk.
    while (const dirent* entry = ::readdir(listing.get())) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        // d_type is not trusted: stat through links, as a link to a run is a run.
        struct stat st {};
        if (::fstatat(fd, name.c_str(), &st, 0) != 0 || !S_ISDIR(st.st_mode)) continue;
        const std::string launch = name + "/launch.json";
        if (::fstatat(fd, launch.c_str(), &st, 0) != 0 || !S_ISREG(st.st_mode)) continue;
        if (!text::is_utf8(name)) continue;
        runs.push_back(RunPaths{name, runs_root / name});
    }
    return runs;
}

std::vector<RunPaths> all_runs(const std::filesystem::path& runs_root) {
    std::vector<RunPaths> runs = run_dir_entries(runs_root);
    sort_runs(runs);
    return runs;
}

}  // namespace korvalle::ledger
