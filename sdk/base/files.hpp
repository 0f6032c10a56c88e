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

namespace korvalle::files {

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
ReadResult read_regular(const std::filesystem::path& path, std::size_t max_bytes = run_file_limit);

// Reads a regular file in chunks of at most 64 KiB, handing each to consume in file order, so
// that a large file is never held whole; reads no more than the size fstat gave. The holes of
// a sparse file are skipped: each is handed over as one NUL byte, so that a terabyte of holes
// costs nothing while still separating the bytes around it. Returns 0, or the errno that ended
// the reading, which trace (when given) also receives with the identity of the descriptor read.
// Reading starts at the offset from (nothing is read when the file is no longer than that).
int read_regular_chunks(const std::filesystem::path& path,
                        const std::function<void(std::string_view)>& consume, ReadTrace* trace = nullptr,
                        std::uint64_t from = 0);

// Reads at most the last max_bytes of a regular file (seeks; never reads the rest), and never
// more than the size the file had when it was opened.
ReadResult read_tail(const std::filesystem::path& path, std::size_t max_bytes);

// A file that a directory must still hold for a read beneath it to count: name, resolved beneath
// the directory, leads to the file (device and inode) that identity names. The directory is then the
// one that was read before, not another one put in its place under the same name.
struct Landmark {
    std::string_view name;
    Identity identity;
};

// read_tail of the regular file that relative names beneath the directory root (which may itself
// be a link), resolved from one descriptor of root as Directory::open_regular resolves it: links
// that stay beneath root are followed, a way out answers EXDEV and opens nothing outside. Read
// only while that same descriptor's entry landmark.name is the file landmark.identity names (else
// ESTALE), so that renaming the root's entries between the checks cannot lead anywhere else.
ReadResult read_tail_inside(const std::filesystem::path& root, std::string_view relative, const Landmark& landmark,
                            std::size_t max_bytes, Resolution how = Resolution::kernel_first);

// True when the path names a regular file (following symlinks).
bool is_regular(const std::filesystem::path& path);
// True when the path names a directory (following symlinks).
bool is_directory(const std::filesystem::path& path);

// Writes all of text to the descriptor with one write(2) loop, retrying EINTR, so that the
// process's own lines from concurrent threads never interleave. A failed write is dropped: the
// process has nowhere left to report it.
void write_whole(int fd, std::string_view text);

}  // namespace korvalle::files
