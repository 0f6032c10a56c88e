// The lines of a run's journal file, read in chunks and split without copying.
#pragma once

#include "sdk/base/block_digests.hpp"
#include "sdk/base/file_identity.hpp"
#include "sdk/base/files.hpp"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvalle::journal {

// The longest journal line read, in bytes before its line feed.
inline constexpr std::size_t max_line_bytes = std::size_t{64} << 20;

// Bytes [from, to) of a file.
struct ByteRange {
    std::uint64_t from = 0;
    std::uint64_t to = 0;

    bool operator==(const ByteRange&) const = default;
};

// Where a read of a journal stopped, so that a later read of the same file, grown since, can
// go on from there. Offsets are in bytes from the start of the file. When the read yielded no
// lines (the journal is not usable), only end, prefix and not_utf8 describe it: the figures of
// its lines stop wherever the reading of lines stopped.
struct JournalEnd {
    std::uint64_t end = 0;              // the bytes read (or known to need none): the size then
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
    // The digests of the bytes read, when the read ended without error and folded no hole (else
    // they cover less than end).
    files::BlockDigests prefix;
    // Where the journal stops being UTF-8 text for good, when that is why it yields nothing: its
    // first fault and the three bytes before it, which decide it whatever else the file holds
    // (UTF-8 finds where its sequences begin within three bytes). A later read that finds the
    // blocks of these bytes unchanged need read nothing else: no append can mend the text.
    std::optional<ByteRange> not_utf8;
    // Reads that went on from earlier ends to this one: picks the blocks the next one samples.
    std::uint64_t read_ons = 0;
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
bool for_each_journal_line(const files::FileAt& file, const std::function<void(std::string_view)>& visit,
                           files::ReadTrace* trace = nullptr, JournalEnd* end = nullptr);

// How continue_journal_lines went.
enum class Continued {
    Read,     // the lines after the old end were handed over
    NotUtf8,  // the journal is not UTF-8 text: it yields no envelopes
    InDoubt,  // another file, shorter, bytes before the old end or the kept line changed, or reading
              // failed: read it whole
};

// Reads a journal read before up to from and grown since (or unchanged). A journal that was not
// UTF-8 text for good (from.not_utf8) stays so while the blocks of its fault are unchanged:
// nothing else is read. Otherwise from must be resumable, and the bytes before the old end are
// checked first, without a pass over them: no hole where there were bytes, the first block and a
// few others picked anew at each read-on unchanged, then the bytes after the last whole block
// and the last complete line read again and found unchanged. Then every line from the
// unfinished last line on is handed over, as for_each_journal_line would hand them over for the
// whole file, except a kept unfinished line (from.tail_kept) found unchanged: that one is not
// handed over again, and one that changed puts the read in doubt. was is the identity of the
// file read then: the device and inode must still be those. end receives where this read
// stopped.
Continued continue_journal_lines(const files::FileAt& file, const JournalEnd& from, const files::Identity& was,
                                 const std::function<void(std::string_view)>& visit, files::ReadTrace* trace,
                                 JournalEnd* end);

// Whether the journal still holds the bytes a read that ended at `read` saw, checked whole (every
// block's digest, and no hole where there were bytes), or for a journal that was not UTF-8 for
// good, the blocks of its fault. was is the identity that read noted: the file must still have
// it. False when that cannot be told (the read folded holes or failed).
bool journal_unchanged(const files::FileAt& file, const JournalEnd& read, const files::Identity& was);

// The same lines as owned texts; no lines when the file is not usable. Fails only by
// files::Exhausted.
std::vector<std::string> read_journal_lines(const files::FileAt& file, files::ReadTrace* trace = nullptr);

}  // namespace korvalle::journal
