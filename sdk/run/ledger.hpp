// Listing the runs of a runs root and the paths of a run's files.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvalle::ledger {

// The paths of one run found under a runs root.
struct RunPaths {
    std::string id;              // the directory entry's name, which is also the run id
    std::filesystem::path dir;   // the runs root joined with that name

    std::filesystem::path round_plan(std::uint64_t round) const;
    std::filesystem::path round_result(std::uint64_t round) const;
};

// The names of a round's files within the run directory ("round-01/plan.json"): the paths above
// with dir left out.
std::string round_plan_name(std::uint64_t round);
std::string round_result_name(std::uint64_t round);

// Run order: a stable sort by id, compared as unsigned bytes.
void sort_runs(std::vector<RunPaths>& runs);

// The runs of a runs root in the order the directory listing gives them: the entries whose
// name is UTF-8 and that are directories holding a regular file "launch.json" (both tested
// through symbolic links). A root that cannot be listed gives no entries; running out of
// descriptors or memory throws files::Exhausted instead.
std::vector<RunPaths> run_dir_entries(const std::filesystem::path& runs_root);

// The one entry of that name, by the same rule and with the same paths as the listing gives
// it, without walking the root: none when the listing would not hold it, also when the root
// cannot be listed. A name that no directory entry can have ("", ".", "..", one with a '/' or
// a NUL) has none. Fails only by files::Exhausted.
std::optional<RunPaths> run_dir_entry(const std::filesystem::path& runs_root, std::string_view name);

// The runs of a runs root in run order. Fails only by files::Exhausted.
std::vector<RunPaths> all_runs(const std::filesystem::path& runs_root);

// The entries of a runs root that may be runs, in run order, with the paths the listing gives
// them: every entry with a UTF-8 name that is not known to be anything but a directory or a
// link. is_run_dir tells which of them the listing holds; a walk with other proof of a run (the
// identity of the launch.json it read before, unchanged) need not ask. A root that cannot be
// listed gives none. Fails only by files::Exhausted.
std::vector<RunPaths> run_dir_candidates(const std::filesystem::path& runs_root);
// The listing's rule for one candidate: a directory holding a regular file "launch.json", both
// tested through links. Fails only by files::Exhausted.
bool is_run_dir(const RunPaths& candidate);

}  // namespace korvalle::ledger
