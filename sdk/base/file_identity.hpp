// What a file was when a reader looked at it, so that a result built from run files can be
// kept exactly as long as those files stay the same.
#pragma once

#include "sdk/base/descriptor.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

struct stat;

namespace korvalle::files {

// Which file, whatever its content and times: its device and inode.
struct FileId {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;

    bool operator==(const FileId&) const = default;
};

// One state of one file: device, inode, size, and the modification and status-change times in
// nanoseconds. Two equal identities are the same file with the same content, unless it was
// changed twice within one tick of the file system's clock (see changed_ns).
struct Identity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::int64_t mtime_ns = 0;
    std::int64_t ctime_ns = 0;

    // The later of the two times: when the file last changed in any way.
    std::int64_t changed_ns() const { return mtime_ns > ctime_ns ? mtime_ns : ctime_ns; }

    // The same file (device and inode), whatever its content and times.
    bool same_file(const Identity& other) const { return device == other.device && inode == other.inode; }
    FileId id() const { return FileId{device, inode}; }

    static Identity of(const struct stat& st);
    bool operator==(const Identity&) const = default;
};

// What the path names now, links followed; none when stat fails (nothing there).
std::optional<Identity> identity_of(const std::filesystem::path& path);

// A directory held open, so that the paths beneath it are looked up from it: stat of "dir/a/b"
// resolves "a/b" alone instead of every component of dir again, which is most of the cost of
// looking at every file of a large runs root. Closed with it.
class OpenDirectory {
public:
    // The directory at path, links followed. One that cannot be opened holds nothing, and every
    // path is then looked up whole.
    explicit OpenDirectory(const std::filesystem::path& path);

    // identity_of(path), looked up from the directory when path lies beneath it.
    std::optional<Identity> identity_of(const std::filesystem::path& path) const;

private:
    std::string path_;  // without trailing slashes
    Descriptor fd_;
};

// How one read of a file went: the identity of the very descriptor that was read (none when it
// could not be opened), and the errno that ended it (0 when none did).
struct ReadTrace {
    std::optional<Identity> identity;
    int error = 0;
    bool folded_holes = false;  // holes of a sparse file were handed over as single NUL bytes
};

// Files changed less than this before they were read may change again unseen: two writes
// within one tick of the file system's clock can leave size and times as they were.
inline constexpr std::int64_t settle_ns = 2'000'000'000;

// One file a reader looked at and what it was then; a null identity: nothing was there.
struct Seen {
    std::filesystem::path path;
    std::optional<Identity> identity;

    bool operator==(const Seen&) const = default;
};

// The files that one result was built from. The result holds while stat of each path still
// gives its identity (or still finds nothing), provided that `sure` is set: a read that
// failed for a reason that is no property of the file (no descriptor left, no memory, an I/O
// fault) leaves it clear, and such a result must not outlive its own use.
struct SeenFiles {
    std::vector<Seen> files;
    bool sure = true;

    // Records a read of path: the descriptor's identity, or, when the file could not be
    // opened, what stat finds there now.
    void note(const std::filesystem::path& path, const ReadTrace& trace);
    // The same, where the file was named from a directory held open: found is what a stat from
    // there found after the attempt (taken when the file could not be opened).
    void note(const std::filesystem::path& path, const ReadTrace& trace, std::optional<Identity> found);
    // Records a path that was looked for but not read: what stat finds there now.
    void note_unread(const std::filesystem::path& path);
    // The same with what a stat from a directory held open found there.
    void note_unread(const std::filesystem::path& path, std::optional<Identity> found);

    // True while every recorded path still gives its recorded identity or absence.
    bool unchanged() const;
    // The same, the paths beneath dir looked up from it.
    bool unchanged(const OpenDirectory& dir) const;
    // The latest change time among the recorded files; none when none was there.
    std::optional<std::int64_t> last_change_ns() const;
    // Whether the result may be kept past its own use: the reads were sure, and every file
    // there had last changed settle_ns or more before read_from (the clock when the reading
    // began, in nanoseconds since the Unix epoch).
    bool settled_before(std::int64_t read_from) const;
};

}  // namespace korvalle::files
