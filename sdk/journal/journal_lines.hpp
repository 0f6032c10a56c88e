// The lines of a run's journal file, read in chunks and split without copying.
#pragma once

#include "sdk/base/file_identity.hpp"

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace korvalle::journal {

// The longest journal line read, in bytes before its line feed.
inline constexpr std::size_t max_line_bytes = std::size_t{64} << 20;

// Hands each non-blank line of a journal to visit, in file order (a CR before each LF removed,
// nothing else trimmed), reading the file in chunks so that it is never held whole. A line
// longer than max_line_bytes, or holding a NUL byte (a sparse file's holes read as NULs), is
// never an envelope and is skipped; reading goes on after it. Returns false when the file is
// missing or unreadable or is not UTF-8 text (skipped lines included); lines may already have
// been handed over by then, and the caller discards them. The one UTF-8 fault that is not fatal
// is a sequence cut by the end of the file: that unfinished last line (a line being written) is
// dropped and the rest counts. trace, when given, receives the identity of the descriptor read
// and the errno that ended the reading.
bool for_each_journal_line(const std::filesystem::path& path,
                           const std::function<void(std::string_view)>& visit,
                           files::ReadTrace* trace = nullptr);

// The same lines as owned texts; no lines when the file is not usable. Fails only by
// files::Exhausted.
std::vector<std::string> read_journal_lines(const std::filesystem::path& path,
                                            files::ReadTrace* trace = nullptr);

}  // namespace korvalle::journal
