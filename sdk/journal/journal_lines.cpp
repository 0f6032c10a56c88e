#include "sdk/journal/journal_lines.hpp"

#include "sdk/base/files.hpp"
#include "sdk/journal/detail/line_splitter.hpp"

#include <functional>
#include <optional>

namespace korvalle::journal {

bool for_each_journal_line(const files::FileAt& file, const std::function<void(std::string_view)>& visit,
                           files::ReadTrace* trace, JournalEnd* end) {
    LineSplitter splitter(visit);
    files::BlockDigester digester;
    std::uint64_t at = 0;
    files::ReadTrace read;
    files::read_regular_chunks(
        file,
        [&](std::string_view chunk) {
            // Only a read that a later one may go on from keeps digests.
            if (end) digester.feed(at, chunk);
            at += chunk.size();
            splitter.feed(chunk);
        },
        &read);
    const bool usable = read.error == 0 && splitter.finish();
    if (trace) *trace = read;
    if (end) {
        *end = end_of(splitter.figures(), usable, read);
        end->prefix = digester.finish();
    }
    return usable;
}

Continued continue_journal_lines(const files::FileAt& file, const JournalEnd& from, const files::Identity& was,
                                 const std::function<void(std::string_view)>& visit, files::ReadTrace* trace,
                                 JournalEnd* end) {
    files::ReadTrace read;
    std::optional<files::RegularFile> opened = files::RegularFile::open(file, read.error);
    if (opened) read.identity = opened->identity();
    if (trace) *trace = read;
    if (!opened || !opened->identity().same_file(was) || opened->identity().size < from.end) return Continued::InDoubt;
    if (from.not_utf8) {
        if (!from.prefix.unchanged(*opened, from.not_utf8->from, from.not_utf8->to)) return Continued::InDoubt;
        if (end) {
            // Nothing after the fault needs reading, up to the size the file has now.
            *end = from;
            end->end = opened->identity().size;
        }
        return Continued::NotUtf8;
    }
    std::optional<files::BlockDigester> digester = resume_checks(*opened, from, was);
    if (!digester) return Continued::InDoubt;

    // The last complete line is read again first, then the splitter goes on where it stopped.
    ReadOnLines lines(visit, from);
    std::uint64_t at = from.last_line_start;
    const auto consume = [&](std::string_view chunk) {
        digester->feed(at, chunk);
        at += chunk.size();
        lines.feed(chunk);
    };
    read.error = opened->read_chunks(consume, from.last_line_start, read.folded_holes);
    if (trace) *trace = read;
    LineSplitter* splitter = lines.finish();
    if (read.error != 0 || read.folded_holes || !splitter) return Continued::InDoubt;
    const bool usable = splitter->finish();
    if (splitter->kept_line_changed()) return Continued::InDoubt;
    if (end) {
        *end = end_of(splitter->figures(), usable, read);
        end->prefix = digester->finish();
        end->read_ons = from.read_ons + 1;
    }
    return usable ? Continued::Read : Continued::NotUtf8;
}

bool journal_unchanged(const files::FileAt& file, const JournalEnd& read, const files::Identity& was) {
    int error = 0;
    std::optional<files::RegularFile> opened = files::RegularFile::open(file, error);
    if (!opened || opened->identity() != was) return false;
    if (read.not_utf8) return read.prefix.unchanged(*opened, read.not_utf8->from, read.not_utf8->to);
    return read.prefix.size == read.end && opened->first_hole(0) >= read.end &&
           read.prefix.unchanged(*opened, 0, read.end);
}

std::vector<std::string> read_journal_lines(const files::FileAt& file, files::ReadTrace* trace) {
    std::vector<std::string> lines;
    if (!for_each_journal_line(file, [&](std::string_view line) { lines.emplace_back(line); }, trace)) {
        lines.clear();
    }
    return lines;
}

}  // namespace korvalle::journal
