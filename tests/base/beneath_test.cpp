// Files read beneath a directory held open: the ways that stay inside and the ways out, by the
// kernel's resolution and by the walk alike, the landmark that names the directory meant, and a
// runs root whose entry flips between the run and a directory outside while it is read.
#include "sdk/base/beneath.hpp"

#include "sdk/base/files.hpp"
#include "tests/support/run_builder.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <thread>
#include <variant>

#include <sys/stat.h>

namespace korvalle::files {
namespace {

namespace fs = std::filesystem;
using testing::write_file;

constexpr Resolution both_ways[] = {Resolution::kernel_first, Resolution::walk_only};

std::string way_name(Resolution how) { return how == Resolution::kernel_first ? "kernel first" : "walk only"; }

// The landmark of a directory: its file "mark" as it is now.
Landmark mark_of(const fs::path& dir) { return Landmark{"mark", *identity_of(dir / "mark")}; }

// What reading relative beneath root gives: its bytes, or the errno.
std::variant<std::string, int> read_beneath(const fs::path& root, std::string_view relative, Resolution how,
                                            std::optional<Landmark> landmark = std::nullopt) {
    ReadResult read = read_tail_inside(root, relative, landmark.value_or(mark_of(root)), 100, how);
    if (read.bytes) return *read.bytes;
    return read.error;
}

TEST(Beneath, WaysInsideAreFollowedAndWaysOutRefused) {
    testing::RunsRoot scratch;
    const fs::path dir = scratch.path();
    const fs::path run = dir / "run";
    write_file(run / "mark", "");
    write_file(run / "sub" / "f", "hello world");
    write_file(dir / "outside", "not yours");
    write_file(dir / "run2" / "g", "sibling");
    fs::create_symlink("f", run / "sub" / "near");
    fs::create_symlink("sub", run / "sub-link");
    fs::create_symlink("../run/sub/f", run / "up-and-back");
    fs::create_symlink(run / "sub" / "f", run / "absolute");
    fs::create_directory_symlink(run, dir / "run-link");
    fs::create_symlink(dir / "run-link" / "sub" / "f", run / "by-link-name");
    fs::create_symlink(dir / "outside", run / "escape");
    fs::create_symlink("../outside", run / "climb");
    fs::create_symlink("../run2/g", run / "sibling");
    fs::create_symlink("/etc/passwd", run / "passwd");
    fs::create_symlink("/proc/self/root/etc/passwd", run / "magic");
    fs::create_symlink("loop", run / "loop");
    ASSERT_EQ(::mkfifo((run / "fifo").c_str(), 0600), 0);

    using Answer = std::variant<std::string, int>;
    const std::pair<std::string, Answer> cases[] = {
        {"sub/f", "hello world"},  {"sub/near", "hello world"}, {"sub-link/f", "hello world"},
        {"sub/../sub/f", "hello world"}, {"up-and-back", "hello world"}, {"absolute", "hello world"},
        {"escape", EXDEV},         {"climb", EXDEV},            {"sibling", EXDEV},
        {"../run2/g", EXDEV},      {"../outside", EXDEV},       {"passwd", EXDEV},
        {"magic", EXDEV},          {"by-link-name", EXDEV},     {"loop", ELOOP},
        {"sub", EISDIR},           {"sub/..", EISDIR},          {"fifo", EINVAL},
        {"missing", ENOENT},       {"sub/f/x", ENOTDIR},
    };
    for (Resolution how : both_ways) {
        for (const auto& [relative, answer] : cases) {
            EXPECT_EQ(read_beneath(run, relative, how), answer) << relative << ", " << way_name(how);
        }
        // Opened by a link, the directory may be named by that link's path too.
        EXPECT_EQ(read_beneath(dir / "run-link", "by-link-name", how), Answer("hello world")) << way_name(how);
        EXPECT_EQ(read_beneath(dir / "run-link", "absolute", how), Answer("hello world")) << way_name(how);
        // Tails are as read_tail gives them.
        ReadResult tail = read_tail_inside(run, "sub/near", mark_of(run), 5, how);
        EXPECT_EQ(tail.bytes, "world");
        EXPECT_EQ(tail.size, 11u);
    }
}

TEST(Beneath, ReadOnlyWhileTheDirectoryHoldsItsLandmark) {
    testing::RunsRoot scratch;
    const fs::path run = scratch.path() / "run";
    write_file(run / "mark", "journal");
    write_file(run / "f", "run's own");
    const Landmark mark = mark_of(run);
    // Another directory with the same files, the landmark a link to the run's own or a copy.
    const fs::path other = scratch.path() / "other";
    write_file(other / "f", "someone else's");
    fs::create_symlink(run / "mark", other / "mark");
    const fs::path copy = scratch.path() / "copy";
    write_file(copy / "f", "a copy's");
    write_file(copy / "mark", "journal");

    for (Resolution how : both_ways) {
        EXPECT_EQ(read_beneath(run, "f", how, mark), (std::variant<std::string, int>("run's own")));
        EXPECT_EQ(read_beneath(other, "f", how, mark), (std::variant<std::string, int>(ESTALE)));
        EXPECT_EQ(read_beneath(copy, "f", how, mark), (std::variant<std::string, int>(ESTALE)));
    }
    // The landmark names a file, not its content: one that grew still names the directory.
    testing::append_file(run / "mark", " and more");
    EXPECT_EQ(read_beneath(run, "f", Resolution::kernel_first, mark), (std::variant<std::string, int>("run's own")));
}

// The runs root's entry "r" is renamed over, again and again, with a link to the run and with a
// link to a directory outside it whose landmark leads to the run's own and whose file leads to a
// secret; the run's own "leak" links to the secret. Whatever the reads meet, they give the run's
// file or nothing.
TEST(Beneath, AFlippingRootEntryNeverLeadsOut) {
    testing::RunsRoot scratch;
    const fs::path dir = scratch.path();
    const fs::path run = dir / "stored-run";
    const fs::path outside = dir / "outside";
    const std::string secret = "SECRET-4f1c";
    write_file(run / "mark", "journal");
    write_file(run / "artifacts" / "report", "inside the run");
    write_file(outside / "secret", secret);
    fs::create_symlink(outside / "secret", run / "artifacts" / "leak");
    fs::create_directories(outside / "artifacts");
    fs::create_symlink("../secret", outside / "artifacts" / "report");
    fs::create_symlink("../secret", outside / "artifacts" / "leak");
    fs::create_symlink(run / "mark", outside / "mark");
    const Landmark mark = mark_of(run);
    const fs::path entry = dir / "root" / "r";
    fs::create_directories(entry.parent_path());
    fs::create_directory_symlink(run, entry);

    std::atomic<bool> stop{false};
    std::thread flipper([&] {
        const fs::path next = dir / "root" / ".next";
        for (int turn = 0; !stop.load(); ++turn) {
            fs::create_directory_symlink(turn % 2 ? run : outside, next);
            std::rename(next.c_str(), entry.c_str());
        }
    });
    for (int i = 0; i < 3000; ++i) {
        const Resolution how = both_ways[i % 2];
        for (std::string_view id : {"artifacts/report", "artifacts/leak"}) {
            ReadResult read = read_tail_inside(entry, id, mark, 100, how);
            if (!read.bytes) continue;
            EXPECT_EQ(*read.bytes, "inside the run") << id << ", " << way_name(how);
        }
    }
    stop = true;
    flipper.join();

    fs::create_directory_symlink(run, dir / "root" / ".next");
    std::rename((dir / "root" / ".next").c_str(), entry.c_str());
    for (Resolution how : both_ways) {
        EXPECT_EQ(read_beneath(entry, "artifacts/report", how, mark), (std::variant<std::string, int>("inside the run")));
        EXPECT_EQ(read_beneath(entry, "artifacts/leak", how, mark), (std::variant<std::string, int>(EXDEV)));
    }
}

}  // namespace
}  // namespace korvalle::files
