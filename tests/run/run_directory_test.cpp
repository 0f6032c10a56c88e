// One file of a run's directory read through the run's entry in the runs root held open: read
// from the directory meant, whatever the entry names meanwhile, or not at all.
#include "sdk/run/run_directory.hpp"

#include "tests/support/flipping_entry.hpp"
#include "tests/support/run_builder.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <tuple>
#include <variant>

#include <sys/stat.h>

namespace korvalle::testing {
namespace {

namespace fs = std::filesystem;

using Read = std::variant<std::string, int>;  // the bytes, or the errno

files::FileId id_of(const fs::path& dir) { return files::identity_of(dir)->id(); }

Read read_in(const files::Directory& root, std::string_view entry, files::FileId meant, std::string_view relative) {
    files::ReadResult read = views::read_run_file(root, entry, meant, relative);
    if (read.bytes) return *read.bytes;
    return read.error;
}

TEST(RunFile, ReadFromTheDirectoryMeantOnly) {
    RunsRoot scratch;
    const fs::path root = scratch.path() / "root";
    const fs::path run = root / "r";
    write_file(run / "round-01" / "result.json", "the run's");
    write_file(run / "elsewhere" / "file", "linked");
    fs::create_directory_symlink("elsewhere", run / "round-02");
    fs::create_directories(run / "round-03" / "result.json");
    ASSERT_EQ(::mkfifo((run / "fifo").c_str(), 0600), 0);
    write_file(root / "plain", "not a directory");
    fs::create_directory_symlink(run, root / "link");
    write_file(scratch.path() / "decoy" / "round-01" / "result.json", "the decoy's");
    const files::FileId meant = id_of(run);
    int error = 0;
    const std::optional<files::Directory> runs = files::Directory::open(root, error);
    ASSERT_TRUE(runs);

    const std::tuple<std::string, std::string, Read> cases[] = {
        {"r", "round-01/result.json", "the run's"},
        {"link", "round-01/result.json", "the run's"},  // an entry that links to the run is the run
        {"r", "round-02/file", "linked"},               // links among its files followed as a path follows them
        {"r", "round-03/result.json", EISDIR},
        {"r", "fifo", EINVAL},
        {"r", "missing.json", ENOENT},
        {"gone", "round-01/result.json", ENOENT},
        {"plain", "round-01/result.json", ENOTDIR},
    };
    for (const auto& [entry, relative, answer] : cases)
        EXPECT_EQ(read_in(*runs, entry, meant, relative), answer) << entry << "/" << relative;

    // A decoy renamed in the run's place is never read; the run renamed back is read again.
    fs::rename(run, scratch.path() / "aside");
    fs::rename(scratch.path() / "decoy", run);
    EXPECT_EQ(read_in(*runs, "r", meant, "round-01/result.json"), Read(ESTALE));
    fs::rename(run, scratch.path() / "decoy");
    fs::rename(scratch.path() / "aside", run);
    EXPECT_EQ(read_in(*runs, "r", meant, "round-01/result.json"), Read("the run's"));
}

// The entry is renamed over, again and again, with a link to the run and with a link to a decoy
// that has a file of the same name: every read gives the run's file or ESTALE, and never the
// decoy's, however the renames fall between the entry's lookup and the file's open.
TEST(RunFile, AFlippingEntryNeverGivesTheDecoysFile) {
    RunsRoot scratch;
    const fs::path root = scratch.path() / "root";
    write_file(scratch.path() / "run" / "round-01" / "result.json", "the run's");
    write_file(scratch.path() / "decoy" / "round-01" / "result.json", "the decoy's");
    fs::create_directories(root);
    fs::create_directory_symlink(scratch.path() / "run", root / "r");
    const files::FileId meant = id_of(scratch.path() / "run");
    int error = 0;
    const std::optional<files::Directory> runs = files::Directory::open(root, error);
    ASSERT_TRUE(runs);

    int from_the_run = 0;
    {
        const FlippingEntry flipping(root / "r", scratch.path() / "run", scratch.path() / "decoy");
        for (int i = 0; i < 5000; ++i) {
            const Read read = read_in(*runs, "r", meant, "round-01/result.json");
            if (read == Read(ESTALE)) continue;  // the entry named the decoy
            EXPECT_EQ(read, Read("the run's"));
            ++from_the_run;
        }
    }
    EXPECT_GT(from_the_run, 0);
}

}  // namespace
}  // namespace korvalle::testing
