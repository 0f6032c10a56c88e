// Files read beneath a directory held open: the ways that stay inside and the ways out, by the
// kernel's resolution and by the walk alike, the directory meant opened again by its identity,
// and a runs root whose entry flips between the run and a directory outside while it is read.
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

// The directory that path names now.
FileId id_of(const fs::path& dir) { return identity_of(dir)->id(); }

// What reading relative beneath root gives, root opened only when it is the directory meant (by
// default the one it names now): its bytes, or the errno.
std::variant<std::string, int> read_beneath(const fs::path& root, std::string_view relative, Resolution how,
                                            std::optional<FileId> meant = std::nullopt) {
    int error = 0;
    const std::optional<Directory> directory = Directory::reopen(root, meant.value_or(id_of(root)), error);
    if (!directory) return error;
    ReadResult read = read_tail_inside(*directory, relative, 100, how);
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
        int error = 0;
        ReadResult tail = read_tail_inside(*Directory::open(run, error), "sub/near", 5, how);
        EXPECT_EQ(tail.bytes, "world");
        EXPECT_EQ(tail.size, 11u);
    }
}

TEST(Beneath, OnlyTheDirectoryMeantIsOpenedAgain) {
    testing::RunsRoot scratch;
    const fs::path run = scratch.path() / "run";
    write_file(run / "f", "run's own");
    const FileId meant = id_of(run);
    // Another directory, one with a link to the run's file, one with a copy of it.
    const fs::path other = scratch.path() / "other";
    fs::create_directories(other);
    fs::create_symlink(run / "f", other / "f");
    const fs::path copy = scratch.path() / "copy";
    write_file(copy / "f", "run's own");

    for (Resolution how : both_ways) {
        EXPECT_EQ(read_beneath(run, "f", how, meant), (std::variant<std::string, int>("run's own")));
        EXPECT_EQ(read_beneath(other, "f", how, meant), (std::variant<std::string, int>(ESTALE)));
        EXPECT_EQ(read_beneath(copy, "f", how, meant), (std::variant<std::string, int>(ESTALE)));
    }
    // A link to the directory leads to the directory meant; what it holds may change.
    fs::create_directory_symlink(run, scratch.path() / "run-link");
    testing::append_file(run / "f", " and more");
    EXPECT_EQ(read_beneath(scratch.path() / "run-link", "f", Resolution::kernel_first, meant),
              (std::variant<std::string, int>("run's own and more")));
}

// The runs root's entry "r" is renamed over, again and again, with a link to the run and with a
// link to a directory outside it whose file leads to a secret; the run's own "leak" links to the
// secret. Whatever the reads meet, they give the run's file or nothing.
TEST(Beneath, AFlippingRootEntryNeverLeadsOut) {
    testing::RunsRoot scratch;
    const fs::path dir = scratch.path();
    const fs::path run = dir / "stored-run";
    const fs::path outside = dir / "outside";
    const std::string secret = "SECRET-4f1c";
    write_file(run / "artifacts" / "report", "inside the run");
    write_file(outside / "secret", secret);
    fs::create_symlink(outside / "secret", run / "artifacts" / "leak");
    fs::create_directories(outside / "artifacts");
    fs::create_symlink("../secret", outside / "artifacts" / "report");
    fs::create_symlink("../secret", outside / "artifacts" / "leak");
    const FileId meant = id_of(run);
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
            const std::variant<std::string, int> read = read_beneath(entry, id, how, meant);
            if (!std::holds_alternative<std::string>(read)) continue;
            EXPECT_EQ(std::get<std::string>(read), "inside the run") << id << ", " << way_name(how);
        }
    }
    stop = true;
    flipper.join();

    fs::create_directory_symlink(run, dir / "root" / ".next");
    std::rename((dir / "root" / ".next").c_str(), entry.c_str());
    for (Resolution how : both_ways) {
        EXPECT_EQ(read_beneath(entry, "artifacts/report", how, meant), (std::variant<std::string, int>("inside the run")));
        EXPECT_EQ(read_beneath(entry, "artifacts/leak", how, meant), (std::variant<std::string, int>(EXDEV)));
    }
}

}  // namespace
}  // namespace korvalle::files
