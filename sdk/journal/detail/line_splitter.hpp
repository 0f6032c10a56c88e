// The splitting of a journal's bytes into lines, shared by the read in one go and the read in
// shards: the bytes come in chunks of any size, from a place where a line begins, and the lines
// are checked and handed over as journal_lines.hpp says.
#pragma once

#include "sdk/base/block_digests.hpp"
#include "sdk/base/files.hpp"
#include "sdk/journal/journal_lines.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace korvalle::journal {

// What a splitter saw of the bytes fed to it, and where it stopped.
struct SplitFigures {
    std::uint64_t offset = 0;           // of the byte after the last one fed
    std::uint64_t line_start = 0;       // of the line not ended yet (offset when none)
    std::uint64_t last_line_start = 0;  // of the last complete line
    std::uint64_t last_line_hash = 0;   // of its bytes, line feed included
    bool last_line_known = true;        // false when it was past the line bound
    bool ended_a_line = false;          // a line feed was among the bytes fed
    bool tail_visited = false;          // finish handed the unfinished last line over
    std::uint64_t tail_hash = 0;        // of its bytes, when it did
    bool tail_kept = false;             // it is the kept line, unchanged
    bool usable = true;                 // no byte fed so far is a fault of the text
    std::optional<std::uint64_t> fault_at;  // of the first byte that is not UTF-8 text
};

// The end of a read whose bytes a splitter (or shards of it, joined) saw: usable tells whether
// the read yields lines, trace how the file was read.
JournalEnd end_of(const SplitFigures& figures, bool usable, const files::ReadTrace& trace);

// Cuts the chunks of a file into lines. Runs of complete lines are checked and split as their
// chunk arrives: a line feed never occurs inside a UTF-8 sequence, so each run can be checked
// by itself. The start of a line that continues in the next chunk is kept, up to the line
// bound; past it the line is only checked as it streams by, keeping at most the few bytes of
// a sequence cut by a chunk's end.
//
// It also follows where lines begin in the file, and keeps the bytes of the last complete
// line, so that a read of the file grown later can check them and go on from there; and where
// the first byte lies that is not UTF-8 text.
class LineSplitter {
public:
    // An unfinished line handed over before, whose making the caller keeps: its length and hash.
    struct KeptLine {
        std::uint64_t bytes;
        std::uint64_t hash;
    };

    // Starts at offset from of the file, where a line begins; the last complete line before it
    // (when known) began at last_line_start and held last_line. kept: the line at from, when it
    // is one handed over before that must read the same; it is not handed over again.
    LineSplitter(const std::function<void(std::string_view)>& visit, std::uint64_t from = 0,
                 std::uint64_t last_line_start = 0, std::string last_line = {},
                 std::optional<KeptLine> kept = std::nullopt)
        : visit_(visit), offset_(from), line_start_(from), last_line_start_(last_line_start),
          last_line_(std::move(last_line)), kept_(kept) {}

    void feed(std::string_view chunk);
    // At the end of the file: the unfinished last line counts unless it ends in a cut sequence.
    bool finish();
    // Whether the bytes fed so far end where a line begins (after a line feed).
    bool at_line_start() const { return offset_ == line_start_ && pending_.empty() && !skipping_; }
    // Whether the kept line read otherwise than before: the read is in doubt.
    bool kept_line_changed() const { return kept_changed_; }
    SplitFigures figures() const;

private:
    bool still_kept();
    void complete(std::string_view lines, std::uint64_t at);
    void partial(std::string_view part, std::uint64_t at);
    void end_line(std::string_view rest, std::uint64_t at);
    void check_skipped(std::string_view bytes, std::uint64_t at);
    void fault(std::uint64_t at);

    const std::function<void(std::string_view)>& visit_;
    std::string pending_;  // the start of a line that continues in the next chunk
    std::string carry_;    // a skipped line's sequence cut by a chunk's end
    std::uint64_t carry_at_ = 0;  // where it begins
    bool skipping_ = false;
    bool usable_ = true;
    std::optional<std::uint64_t> fault_at_;  // of the first byte that is not UTF-8 text
    std::uint64_t offset_;           // of the next byte fed
    std::uint64_t line_start_;       // of the line not ended yet
    std::uint64_t last_line_start_;  // of the last complete line
    std::string last_line_;          // its bytes, line feed included
    bool last_line_known_ = true;    // false when it was past the line bound
    bool ended_a_line_ = false;
    bool tail_visited_ = false;
    std::optional<KeptLine> kept_;   // the line at the start, until it ends or the file does
    bool kept_changed_ = false;
    bool tail_kept_ = false;         // the unfinished last line is the kept one, unchanged
};

// The lines of a read that goes on from an earlier read's end: the last complete line that read
// saw is read again first and must hash as it did; then the lines from the unfinished last line
// on go to a splitter, the kept line (from.tail_kept) held to what it was. Fed the bytes from
// from.last_line_start on.
class ReadOnLines {
public:
    ReadOnLines(const std::function<void(std::string_view)>& visit, const JournalEnd& from);

    void feed(std::string_view chunk);
    // At the end of the bytes fed: false when the read is in doubt (the last complete line changed
    // or was cut short), else the splitter that went on, not finished yet.
    LineSplitter* finish();

private:
    // The splitter going on from the unfinished last line.
    void go_on();

    const std::function<void(std::string_view)>& visit_;
    const JournalEnd& from_;
    std::uint64_t checked_;  // the bytes of the last complete line
    std::string check_;
    std::optional<LineSplitter> splitter_;
    bool changed_ = false;
};

// The checks a read on makes before it reads anything (journal_lines.hpp, continue_journal_lines)
// of a journal that was UTF-8 text: the same file, no shorter, resumable, no hole before the old
// end, the sampled blocks unchanged, and the digests taken on. The digester, when all hold.
std::optional<files::BlockDigester> resume_checks(const files::RegularFile& file, const JournalEnd& from,
                                                  const files::Identity& was);

std::uint64_t line_hash(std::string_view bytes);

}  // namespace korvalle::journal
