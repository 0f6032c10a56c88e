// What opening a run records of the files it read: the identity of each descriptor read, and
// the absence of what it looked for and did not find.
#include "sdk/run/views.hpp"
#include "tests/run/run_support.hpp"

#include <gtest/gtest.h>

#include <cerrno>

#include <sys/stat.h>

namespace korvalle::testing {
namespace {

namespace fs = std::filesystem;

files::Identity stat_of(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return files::Identity::of(st);
}

TEST(FilesRead, OpenRecordsEveryFileItReadOrLookedFor) {
    RunsRoot root;
    root.run("up").launch().event({.kind = "node-settled", .labels = R"({"node":"n"})", .payload = R"({"status":"done"})"});
    testing::write_file(root.path() / "plain-file", "x");
    auto run = root.run("down");
    run.launch().event({.kind = "run-started",
                        .payload = plan_payload(R"({"id":"a","deps":["run:up#n","run:up#m","run:gone#n","run:plain-file#n"]})")});

    Result<views::RunView, SdkError> opened = views::RunView::open({"down", run.dir()});
    ASSERT_TRUE(opened.ok());
    const files::SeenFiles& read = opened.value().files_read;
    // The other runs in the order their references sort; "up" is read once for both nodes.
    const std::vector<files::Seen> expected = {
        {run.dir() / "launch.json", stat_of(run.dir() / "launch.json")},
        {run.dir() / "events.jsonl", stat_of(run.dir() / "events.jsonl")},
        {root.path() / "gone" / "events.jsonl", std::nullopt},
        {root.path() / "plain-file" / "events.jsonl", std::nullopt},
        {root.path() / "up" / "events.jsonl", stat_of(root.path() / "up" / "events.jsonl")},
    };
    EXPECT_EQ(read.files, expected);
    EXPECT_TRUE(read.sure);
    EXPECT_TRUE(read.unchanged());
    EXPECT_EQ(*read.last_change_ns(), std::max({expected[0].identity->changed_ns(), expected[1].identity->changed_ns(),
                                                expected[4].identity->changed_ns()}));

    // Each kind of change shows: a line appended, a journal appearing where there was none.
    root.run("up").line("{}");
    EXPECT_FALSE(read.unchanged());
    root.run("up").event({.kind = "x"});
    Result<views::RunView, SdkError> again = views::RunView::open({"down", run.dir()});
    ASSERT_TRUE(again.ok());
    EXPECT_TRUE(again.value().files_read.unchanged());
    root.run("gone").line("{}");
    EXPECT_FALSE(again.value().files_read.unchanged());
}

// The runs root held open finds what the whole paths find, for the files beneath it (through
// its own name with trailing slashes too) and for those elsewhere, and sees the same changes;
// a root that cannot be opened looks every path up whole.
TEST(FilesRead, AnOpenRootLooksUpWhatTheWholePathsFind) {
    RunsRoot root;
    root.run("up").launch().event({.kind = "x"});
    auto run = root.run("down");
    run.launch().event({.kind = "run-started", .payload = plan_payload(R"({"id":"a","deps":["run:up#n","run:gone#n"]})")});
    Result<views::RunView, SdkError> opened = views::RunView::open({"down", run.dir()});
    ASSERT_TRUE(opened.ok());
    const files::SeenFiles& read = opened.value().files_read;
    RunsRoot elsewhere;
    testing::write_file(elsewhere.path() / "f", "x");
    const std::vector<fs::path> others = {elsewhere.path() / "f", root.path(), root.path() / "", "relative/x"};

    for (const std::string& name : {root.path().string(), root.path().string() + "//", root.path().string() + "-not"}) {
        const files::OpenDirectory dir(name);
        for (const files::Seen& seen : read.files) EXPECT_EQ(dir.identity_of(seen.path), seen.identity) << seen.path;
        for (const fs::path& other : others) EXPECT_EQ(dir.identity_of(other), files::identity_of(other)) << other;
        EXPECT_TRUE(read.unchanged(dir));
    }
    const files::OpenDirectory dir(root.path());
    root.run("gone").line("{}");
    EXPECT_FALSE(read.unchanged(dir));
}

// A journal that is missing or is no regular file is recorded as what stat finds there; such a
// read fails for a lasting reason, so the record stays sure.
TEST(FilesRead, MissingAndIrregularJournalsAreRecordedAsFound) {
    RunsRoot root;
    auto missing = root.run("missing");
    missing.launch();
    auto odd = root.run("odd");
    odd.launch();
    fs::create_directory(odd.dir() / "events.jsonl");

    Result<views::RunView, SdkError> without = views::RunView::open({"missing", missing.dir()});
    ASSERT_TRUE(without.ok());
    EXPECT_EQ(without.value().files_read.files.at(1), (files::Seen{missing.dir() / "events.jsonl", std::nullopt}));
    EXPECT_TRUE(without.value().files_read.sure);

    Result<views::RunView, SdkError> directory = views::RunView::open({"odd", odd.dir()});
    ASSERT_TRUE(directory.ok());
    EXPECT_EQ(directory.value().files_read.files.at(1),
              (files::Seen{odd.dir() / "events.jsonl", stat_of(odd.dir() / "events.jsonl")}));
    EXPECT_TRUE(directory.value().files_read.sure);

    missing.event({.kind = "x"});
    EXPECT_FALSE(without.value().files_read.unchanged());
}

// A read that failed for a reason the file's identity cannot show (no descriptor left, no
// memory, an I/O fault) makes the record unsure: its result must serve only its own use.
TEST(FilesRead, OnlyLastingFailuresLeaveTheRecordSure) {
    RunsRoot root;
    root.run("r").launch();
    const fs::path there = root.path() / "r" / "launch.json";
    const fs::path nowhere = root.path() / "r" / "events.jsonl";
    for (int error : {0, ENOENT, ENOTDIR, EISDIR, EINVAL, EFBIG, EACCES, EPERM, ELOOP, ENAMETOOLONG}) {
        files::SeenFiles seen;
        seen.note(nowhere, files::ReadTrace{std::nullopt, error});
        seen.note_unread(nowhere);
        EXPECT_TRUE(seen.sure) << error;
        EXPECT_EQ(seen.files, (std::vector<files::Seen>{{nowhere, std::nullopt}, {nowhere, std::nullopt}}));
        EXPECT_FALSE(seen.last_change_ns());
    }
    for (int error : {EMFILE, ENFILE, ENOMEM, EIO, EAGAIN}) {
        files::SeenFiles seen;
        seen.note(there, files::ReadTrace{std::nullopt, error});
        EXPECT_FALSE(seen.sure) << error;
        // What could not be opened is taken as stat finds it.
        EXPECT_EQ(seen.files.at(0).identity, stat_of(there));
        EXPECT_TRUE(seen.unchanged());
    }
}

}  // namespace
}  // namespace korvalle::testing
