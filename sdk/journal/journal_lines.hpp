// The lines of a run's journal file, read in chunks and split without copying.
#pragma once

#include "sdk/base/file_identity.hpp"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace korvalle::journal {

// The longest journal line read, in bytes before its line feed.
inline constexpr std::size_t max_line_bytes = std::size_t{64} << 20;

// Where a read of a journal stopped, so that a later read of the same file, grown since, can
// go on from there. Offsets are in bytes from the start of the file.
struct JournalEnd {
    std::uint64_t end = 0;              // the bytes read: the file's size when it was opened
    std::uint64_t tail_start = 0;       // where the unfinished last line begins (end when none)
    std::uint64_t last_line_start = 0;  // where the last complete line begins (tail_start when none)
    std::uint64_t last_line_hash = 0;   // of the bytes from last_line_start to tail_start
    bool tail_visited = false;          // the unfinished last line was handed to visit
    std::uint64_t tail_hash = 0;        // of its bytes, when it was
    // Set by the caller when it keeps what it made of the visited unfinished line (and by a
    // read on that finds that line as it was, still unfinished): a read that goes on from here
    // does not hand that line over again while it reads the same up to its line feed or the
    // end, and is in doubt once it does not.
    bool tail_kept = false;
    // The figures are exact: the read ended without error, folded no hole, found UTF-8 text,
    // and kept the last complete line (it was not past the line bound).
    bool resumable = false;
};

// Hands each non-blank line of a journal to visit, in file order (a CR before each LF removed,
// nothing else trimmed), reading the file in chunks so that it is never held whole. A line
// longer than max_line_bytes, or holding a NUL byte (a sparse file's holes read as NULs), is
// never an envelope and is skipped; reading goes on after it. Returns false when the file is
// missing or unreadable or is not UTF-8 text (skipped lines included); lines may already have
// been handed over by then, and the caller discards them. The one UTF-8 fault that is not fatal
// is a sequence cut by the end of the file: that unfinished last line (a line being written) is
// dropped and the rest counts. Every line handed over has been checked to be UTF-8 before it is
// handed over, so its readers need not check it again (json::Utf8::Checked). trace, when given, receives the identity of the descriptor read
// and the errno that ended the reading; end, where the reading stopped.
bool for_each_journal_line(const std::filesystem::path& path,
                           const std::function<void(std::string_view)>& visit,
                           files::ReadTrace* trace = nullptr, JournalEnd* end = nullptr);

// How continue_journal_lines went.
enum class Continued {
    Read,     // the lines after the old end were handed over
    NotUtf8,  // the bytes after the old end are not UTF-8 text: the journal yields no envelopes
    InDoubt,  // another file, shorter, the checked or kept line changed, reading failed: read it whole
};

// Reads a journal read before up to from (which must be resumable) and grown since: reads the
// last complete line before the old end again and checks that its bytes are unchanged, then
// hands over every line from the unfinished last line on, as for_each_journal_line would hand
// them over for the whole file, except a kept unfinished line (from.tail_kept) found unchanged:
// that one is not handed over again, and one that changed puts the read in doubt. was is the
// identity of the file read then: the device and inode must still be those. end receives where
// this read stopped.
Continued continue_journal_lines(const std::filesystem::path& path, const JournalEnd& from,
                                 const files::Identity& was, const std::function<void(std::string_view)>& visit,
                                 files::ReadTrace* trace, JournalEnd* end);

// The same lines as owned texts; no lines when the file is not usable. Fails only by
// files::Exhausted.
std::vector<std::string> read_journal_lines(const std::filesystem::path& path,
                                            files::ReadTrace* trace = nullptr);

}  // namespace korvalle::journal
