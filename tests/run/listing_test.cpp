// Listing a runs root: which entries are runs, in which order, and what happens to the runs
// that do not open.
#include "sdk/run/ledger.hpp"
#include "sdk/run/views.hpp"
#include "tests/support/run_builder.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include <sys/stat.h>
#include <unistd.h>

namespace korvalle {
namespace {

namespace fs = std::filesystem;
using testing::RunsRoot;

std::vector<std::string> ids(const std::vector<ledger::RunPaths>& runs) {
    std::vector<std::string> out;
    for (const auto& run : runs) out.push_back(run.id);
    return out;
}

std::vector<std::string> ids(const std::vector<views::RunView>& views) {
    std::vector<std::string> out;
    for (const auto& view : views) out.push_back(view.id());
    return out;
}

TEST(Listing, EmptyMissingFileAndUnlistableRootsGiveNoRuns) {
    RunsRoot root;
    EXPECT_TRUE(ledger::all_runs(root.path()).empty());
    EXPECT_TRUE(views::RunView::all(root.path() / "nowhere").empty());
    testing::write_file(root.path() / "plain", "x");
    EXPECT_TRUE(views::RunView::all(root.path() / "plain").empty());
    if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
    root.run("a").launch();
    ASSERT_EQ(::chmod(root.path().c_str(), 0), 0);
    EXPECT_TRUE(views::RunView::all(root.path()).empty());
    ::chmod(root.path().c_str(), 0700);
}

TEST(Listing, OrderIsBytewiseWithPrefixesFirst) {
    RunsRoot root;
    for (const char* id : {"run-9", "alpha", "run-10", "Zeta", "run-1", "run", ".hidden"}) {
        root.run(id).launch();
    }
    const std::vector<std::string> expected = {".hidden", "Zeta", "alpha", "run", "run-1", "run-10", "run-9"};
    EXPECT_EQ(ids(ledger::all_runs(root.path())), expected);
    const auto views = views::RunView::all(root.path());
    EXPECT_EQ(ids(views), expected);
    EXPECT_EQ(views[1].paths.dir, root.path() / "Zeta");
}

// A root with one run ("good", also reached through the link "linked") among entries that are
// no runs: a FIFO, a directory and a missing file where launch.json should be, a plain file, a
// dangling link and a name that is not UTF-8.
void add_entries_of_every_kind(RunsRoot& root) {
    root.run("good").launch();
    root.run("no-launch").line("{}");
    testing::write_file(root.path() / "file-run", "{}");
    fs::create_directories(root.path() / "dir-launch" / "launch.json");
    ASSERT_EQ(::mkfifo((root.path() / "no-launch" / "launch.json").c_str(), 0600), 0);
    fs::create_directory_symlink(root.path() / "good", root.path() / "linked");
    fs::create_directory_symlink(root.path() / "gone", root.path() / "dangling");
    fs::create_directories(root.path() / "bad\xff-name");
    testing::write_file(root.path() / "bad\xff-name" / "launch.json", "{}");
}

TEST(Listing, OnlyDirectoriesWithARegularLaunchRecordAreRuns) {
    RunsRoot root;
    add_entries_of_every_kind(root);

    const auto runs = ledger::all_runs(root.path());
    EXPECT_EQ(ids(runs), (std::vector<std::string>{"good", "linked"}));
    EXPECT_EQ(runs[1].dir, root.path() / "linked");
}

// One entry by name answers what the listing answers for that name, with the same paths.
TEST(Listing, OneEntryByNameFollowsTheListingsRule) {
    RunsRoot root;
    add_entries_of_every_kind(root);
    root.run("good").file("nested/launch.json", "{}");

    const auto listed = ledger::all_runs(root.path());
    const std::vector<std::string> names = {"good", "linked", "no-launch", "file-run", "dir-launch", "dangling",
                                   "bad\xff-name", "absent", "", ".", "..", "good/", "good/nested",
                                   std::string("good\0x", 6)};
    for (const std::string& name : names) {
        const auto one = ledger::run_dir_entry(root.path(), name);
        const auto it = std::find_if(listed.begin(), listed.end(), [&](const auto& run) { return run.id == name; });
        ASSERT_EQ(one.has_value(), it != listed.end()) << name;
        if (one) {
            EXPECT_EQ(one->id, it->id);
            EXPECT_EQ(one->dir, it->dir);
        }
    }
    EXPECT_FALSE(ledger::run_dir_entry(root.path() / "nowhere", "good"));
    EXPECT_FALSE(ledger::run_dir_entry(root.path() / "file-run", "good"));
    if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
    // A root that can be searched but not listed lists nothing, so no run is found in it.
    ASSERT_EQ(::chmod(root.path().c_str(), 0100), 0);
    EXPECT_FALSE(ledger::run_dir_entry(root.path(), "good"));
    ::chmod(root.path().c_str(), 0700);
}

TEST(Listing, RunsThatDoNotOpenOrVanishAfterListingAreLeftOut) {
    RunsRoot root;
    root.run("a").launch();
    root.run("b").launch_text(R"({"run_id":"b"})");
    root.run("c").launch();
    const auto runs = ledger::all_runs(root.path());
    EXPECT_EQ(ids(runs), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(ids(views::RunView::all(root.path())), (std::vector<std::string>{"a", "c"}));
    fs::remove_all(root.path() / "a");
    EXPECT_FALSE(views::RunView::open(runs[0]).ok());
    EXPECT_TRUE(views::RunView::open(runs[2]).ok());
    fs::remove_all(root.path() / "c" / "launch.json");
    EXPECT_FALSE(views::RunView::open(runs[2]).ok());
}

TEST(Listing, RoundPathsArePaddedToTwoDigitsAndNeverCut) {
    const ledger::RunPaths paths{"r", "/runs/r"};
    EXPECT_EQ(paths.round_plan(0), fs::path("/runs/r/round-00/plan.json"));
    EXPECT_EQ(paths.round_result(5), fs::path("/runs/r/round-05/result.json"));
    EXPECT_EQ(paths.round_plan(100), fs::path("/runs/r/round-100/plan.json"));
    EXPECT_EQ(paths.round_plan(UINT64_MAX), fs::path("/runs/r/round-18446744073709551615/plan.json"));
}

}  // namespace
}  // namespace korvalle
