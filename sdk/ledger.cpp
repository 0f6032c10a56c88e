#include "sdk/ledger.hpp"

#include <algorithm>

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

}  // namespace korvalle::ledger
