// Reading run files. Only regular files are read: anything else (a directory, a FIFO, a
// device) counts as unreadable, so a hostile run directory can never block a thread. Running
// out of descriptors or memory throws Exhausted (exhaustion.hpp).
#pragma once

#include "sdk/base/beneath.hpp"
#include "sdk/base/exhaustion.hpp"
#include "sdk/base/file_identity.hpp"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace korvalle::files {

// Where a file is read from: a path as it stands, or a name relative to a directory held open,
// resolved from its descriptor as open(2) resolves a relative path (links followed wherever they
// lead), so that every file named from one Directory is read from the directory that descriptor
// holds, whatever its name leads to by now; or nowhere, when the directory could not be had
// (every read then fails with its errno). One named from a directory must not outlive it.
class FileAt {
public:
    FileAt(std::filesystem::path path) : path_(std::move(path)) {}  // NOLINT(google-explicit-constructor)
    FileAt(const Directory& directory, std::string_view relative)
        : path_(directory.path() / relative), directory_(&directory), relative_(relative) {}
    // The file relative names in the directory at directory_path, which could not be opened.
    static FileAt unreachable(const std::filesystem::path& directory_path, std::string_view relative, int error);

    // The whole path: for messages, and for the notes of files read (SeenFiles).
    const std::filesystem::path& path() const { return path_; }
    const Directory* directory() const { return directory_; }
    const std::string& relative() const { return relative_; }
    int unreachable_error() const { return unreachable_; }

private:
    std::filesystem::path path_;
    const Directory* directory_ = nullptr;
    std::string relative_;
    int unreachable_ = 0;
};

// What stat finds at the file now, links followed; none when nothing is there.
std::optional<Identity> identity_of(const FileAt& file);
// Records a read of the file in seen (SeenFiles::note), what was found there looked up the way
// the file was named.
void note_read(SeenFiles& seen, const FileAt& file, const ReadTrace& trace);

struct ReadResult {
    std::optional<std::string> bytes;  // the whole content, when read
    int error = 0;                     // errno when not read (EISDIR, ENOENT, EINVAL for a FIFO,
                                       // EFBIG past the size bound...)
    std::uint64_t size = 0;            // the file's size when it was opened, once opened
    std::optional<Identity> identity;  // fstat of the descriptor read, once opened
};

// The most a run file read whole may hold (launch record, plan, result).
inline constexpr std::size_t run_file_limit = std::size_t{64} << 20;

// Opens with O_NONBLOCK|O_CLOEXEC, checks with fstat that it is a regular file of at most
// max_bytes (else EFBIG), and reads it whole, retrying EINTR. Reads no more than the size fstat
// gave: a file that grows meanwhile is read further next time, and a file with no end (a
// kernel file that reports size 0) reads as empty.
ReadResult read_regular(const FileAt& file, std::size_t max_bytes = run_file_limit);
// The same for the file that relative names from a bare descriptor of a directory, resolved as
// Directory::open_named resolves it (open_named_at).
ReadResult read_regular_at(const Descriptor& directory, std::string_view relative,
                           std::size_t max_bytes = run_file_limit);

// Reads a regular file in chunks of at most 64 KiB, handing each to consume in file order, so
// that a large file is never held whole; reads no more than the size fstat gave. The holes of
// a sparse file are skipped: each is handed over as one NUL byte, so that a terabyte of holes
// costs nothing while still separating the bytes around it. Returns 0, or the errno that ended
// the reading, which trace (when given) also receives with the identity of the descriptor read.
// Reading starts at the offset from (nothing is read when the file is no longer than that).
int read_regular_chunks(const FileAt& file, const std::function<void(std::string_view)>& consume,
                        ReadTrace* trace = nullptr, std::uint64_t from = 0);

// A regular file held open for reading, opened as read_regular opens it, for reads that must all
// meet the same file: its chunks, the bytes at given offsets, where its holes lie.
class RegularFile {
public:
    // None, with error set, when it cannot be opened or is not a regular file.
    static std::optional<RegularFile> open(const FileAt& file, int& error);

    // fstat of the descriptor when it was opened.
    const Identity& identity() const { return identity_; }
    // As read_regular_chunks, from offset from up to the size identity gives; folded_holes is set
    // when a hole was handed over as a NUL byte. 0, or the errno that ended the reading.
    int read_chunks(const std::function<void(std::string_view)>& consume, std::uint64_t from,
                    bool& folded_holes) const;
    // The same for the bytes [from, to) (no further than that size). Reads at offsets, never moving
    // the descriptor's own: threads may read different ranges of one file at once.
    int read_range(const std::function<void(std::string_view)>& consume, std::uint64_t from, std::uint64_t to,
                   bool& folded_holes) const;
    // The bytes [at, at + count) into out, fewer where the file ends (a hole reads as NULs). 0, or
    // the errno of a read that failed.
    int read_at(std::uint64_t at, std::size_t count, std::string& out) const;
    // Where the first hole at or after from begins: the file's size when none does, also on a
    // file system that cannot tell.
    std::uint64_t first_hole(std::uint64_t from) const;

private:
    RegularFile(Descriptor fd, const Identity& identity) : fd_(std::move(fd)), identity_(identity) {}

    Descriptor fd_;
    Identity identity_;
};

// Reads at most the last max_bytes of a regular file (seeks; never reads the rest), and never
// more than the size the file had when it was opened.
ReadResult read_tail(const std::filesystem::path& path, std::size_t max_bytes);

// read_tail of the regular file that relative names beneath the directory held open, resolved
// as Directory::open_regular resolves it: links that stay beneath it are followed, a way out
// answers EXDEV and opens nothing outside. Renaming the root's entries cannot lead it anywhere
// else: every step is taken from the descriptor.
ReadResult read_tail_inside(const Directory& directory, std::string_view relative, std::size_t max_bytes,
                            Resolution how = Resolution::kernel_first);

// True when the path names a regular file (following symlinks).
bool is_regular(const std::filesystem::path& path);
// True when the path names a directory (following symlinks).
bool is_directory(const std::filesystem::path& path);

// Writes all of text to the descriptor with one write(2) loop, retrying EINTR, so that the
// process's own lines from concurrent threads never interleave. A failed write is dropped: the
// process has nowhere left to report it.
void write_whole(int fd, std::string_view text);

}  // namespace korvalle::files
