// The lines of a run's journal file, read once and split without copying.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace korvalle::journal {

// The journal's bytes and its non-blank lines as views into them (a CR before each LF
// removed). The bytes live on the heap, so moving it keeps the views valid.
struct JournalLines {
    std::unique_ptr<const std::string> text;
    std::vector<std::string_view> lines;
};

// Reads the file whole when it is a regular file holding UTF-8 text and splits it into its
// non-blank lines, in file order. A missing, unreadable or non-UTF-8 file gives no lines,
// except that an incomplete UTF-8 sequence at the very end of the file (a line being
// written) only drops that unfinished last line. Never fails.
JournalLines read_journal_lines(const std::filesystem::path& path);

}  // namespace korvalle::journal
