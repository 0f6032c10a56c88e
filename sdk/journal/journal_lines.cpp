#include "sdk/journal/journal_lines.hpp"

#include "sdk/base/files.hpp"
#include "sdk/base/text.hpp"

#include <simdjson.h>

#include <algorithm>
#include <functional>
#include <optional>

namespace korvalle::journal {

namespace {

// Length of the longest UTF-8 prefix of bytes. Journals are almost always valid text, which
// simdjson confirms whole with the widest vector instructions the CPU has (chosen at run time);
// only bytes it refuses are read again one sequence at a time, to find where the fault begins.
// Both follow RFC 3629 (no overlongs, no surrogates, nothing above U+10FFFF).
std::size_t valid_utf8_prefix(std::string_view bytes) {
    if (bytes.empty() || simdjson::validate_utf8(bytes.data(), bytes.size())) return bytes.size();
    return text::utf8_valid_prefix(bytes);
}

// True when tail is the beginning of a well-formed UTF-8 sequence that the end of the file
// cut short (as opposed to bytes that can never be valid).
bool is_cut_sequence(std::string_view tail) {
    std::size_t length;
    const std::size_t matching = text::utf8_matching_bytes(tail, 0, length);
    return matching == tail.size() && tail.size() < length;
}

// True when the line was handed over.
bool visit_line(std::string_view line, const std::function<void(std::string_view)>& visit) {
    if (line.find('\0') != std::string_view::npos || text::trim(line).empty()) return false;
    visit(line);
    return true;
}

std::uint64_t line_hash(std::string_view bytes) { return std::hash<std::string_view>{}(bytes); }

// Splits text that ends with a line feed into its lines.
void split_complete(std::string_view text, const std::function<void(std::string_view)>& visit) {
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        visit_line(line, visit);
        start = end + 1;
    }
}

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

    void feed(std::string_view chunk) {
        const std::uint64_t at = offset_;
        offset_ += chunk.size();
        if (!usable_) return;
        const std::size_t first = chunk.find('\n');
        if (first == std::string_view::npos) {
            partial(chunk, at);
            return;
        }
        end_line(chunk.substr(0, first), at);
        line_start_ = at + first + 1;
        const std::size_t last = chunk.rfind('\n');
        if (usable_ && last > first) {
            complete(chunk.substr(first + 1, last - first), at + first + 1);
            const std::size_t previous = chunk.rfind('\n', last - 1);
            last_line_start_ = at + previous + 1;
            last_line_.assign(chunk.substr(previous + 1, last - previous));
            last_line_known_ = true;
            line_start_ = at + last + 1;
        }
        if (usable_) partial(chunk.substr(last + 1), at + last + 1);
    }

    // At the end of the file: the unfinished last line counts unless it ends in a cut sequence.
    bool finish() {
        if (!usable_) return false;
        if (kept_) {
            // The kept line is still unfinished: the file did not grow, or grew within it.
            tail_visited_ = tail_kept_ = still_kept();
            return tail_kept_;
        }
        if (skipping_) return true;  // carried bytes, if any, are a cut sequence: dropped
        const std::size_t valid = valid_utf8_prefix(pending_);
        if (valid == pending_.size()) {
            tail_visited_ = visit_line(pending_, visit_);
            return true;
        }
        if (is_cut_sequence(std::string_view(pending_).substr(valid))) return true;
        fault(line_start_ + valid);
        return false;
    }

    // Where the reading stopped, once finished: usable tells what finish() said, trace how the
    // file was read.
    JournalEnd end(bool usable, const files::ReadTrace& trace) const {
        const bool whole = trace.error == 0 && !trace.folded_holes && trace.identity && trace.identity->size == offset_;
        JournalEnd end;
        end.end = offset_;
        end.tail_start = line_start_;
        end.last_line_start = last_line_start_;
        end.last_line_hash = line_hash(last_line_);
        end.tail_visited = tail_visited_;
        end.tail_hash = tail_visited_ ? line_hash(pending_) : 0;
        end.tail_kept = tail_kept_;
        end.resumable = usable && whole && last_line_known_;
        if (!usable && whole && fault_at_) {
            // The three bytes before the fault tell where its sequence begins; the four from it on
            // are the most that can decide that it is none.
            end.not_utf8 = ByteRange{*fault_at_ - std::min<std::uint64_t>(*fault_at_, 3),
                                     std::min<std::uint64_t>(*fault_at_ + 4, offset_)};
        }
        return end;
    }

    // Whether the kept line read otherwise than before: the read is in doubt.
    bool kept_line_changed() const { return kept_changed_; }

private:
    // Whether the line begun at the start holds what the kept line held (no line feed seen yet,
    // or the bytes before it). Once it does not, nothing more is read.
    bool still_kept() {
        const bool same = !skipping_ && pending_.size() == kept_->bytes && line_hash(pending_) == kept_->hash;
        kept_.reset();
        if (!same) {
            kept_changed_ = true;
            usable_ = false;
        }
        return same;
    }

    // A run of complete lines that begins at offset at.
    void complete(std::string_view lines, std::uint64_t at) {
        const std::size_t valid = valid_utf8_prefix(lines);
        if (valid < lines.size()) {
            fault(at + valid);
            return;
        }
        split_complete(lines, visit_);
    }

    // Bytes of the line that has not ended yet, beginning at offset at.
    void partial(std::string_view part, std::uint64_t at) {
        if (!skipping_) {
            if (pending_.size() + part.size() <= max_line_bytes) {
                pending_.append(part);
                return;
            }
            skipping_ = true;
            check_skipped(pending_, line_start_);
            pending_ = std::string();
        }
        check_skipped(part, at);
    }

    // The rest of the current line, up to (not including) its line feed, at offset at.
    void end_line(std::string_view rest, std::uint64_t at) {
        partial(rest, at);
        last_line_start_ = line_start_;
        const bool again = kept_.has_value();
        if (again && !still_kept()) return;
        if (skipping_) {
            // A sequence cannot continue past the line feed.
            if (!carry_.empty()) fault(carry_at_);
            skipping_ = false;
            last_line_known_ = false;
            last_line_.clear();
            return;
        }
        pending_.push_back('\n');
        if (!again) complete(pending_, line_start_);
        last_line_.swap(pending_);
        last_line_known_ = true;
        pending_.clear();
    }

    // Bytes of a line past the bound, beginning at offset at.
    void check_skipped(std::string_view bytes, std::uint64_t at) {
        const std::uint64_t joined_at = carry_.empty() ? at : carry_at_;
        std::string joined = std::move(carry_);
        joined.append(bytes);
        const std::size_t valid = valid_utf8_prefix(joined);
        const std::string_view rest = std::string_view(joined).substr(valid);
        if (!rest.empty() && !is_cut_sequence(rest)) fault(joined_at + valid);
        carry_.assign(rest);
        carry_at_ = joined_at + valid;
    }

    // The text is not UTF-8 from offset at on.
    void fault(std::uint64_t at) {
        usable_ = false;
        if (!fault_at_) fault_at_ = at;
    }

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
    bool tail_visited_ = false;
    std::optional<KeptLine> kept_;   // the line at the start, until it ends or the file does
    bool kept_changed_ = false;
    bool tail_kept_ = false;         // the unfinished last line is the kept one, unchanged
};

// How many blocks besides the first a read-on checks.
constexpr int sampled_blocks = 3;

// Whether the bytes that a read-on does not read again are still those read before, as far as
// the checks that need no pass over them can tell: no hole where there were bytes (a punched
// hole keeps the size), the first block and a few sampled ones unchanged.
bool prefix_samples_unchanged(const files::RegularFile& file, const JournalEnd& from) {
    if (file.first_hole(0) < from.end) return false;
    return from.prefix.samples_unchanged(file, from.end ^ (from.read_ons << 40), sampled_blocks);
}

}  // namespace

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
        *end = splitter.end(usable, read);
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
    files::BlockDigester digester;
    if (!from.resumable || !prefix_samples_unchanged(*opened, from) || !digester.resume(from.prefix, *opened)) {
        return Continued::InDoubt;
    }

    // The last complete line is read again first, then the splitter goes on where it stopped.
    const std::uint64_t checked = from.tail_start - from.last_line_start;
    std::optional<LineSplitter::KeptLine> kept;
    if (from.tail_kept) kept = LineSplitter::KeptLine{from.end - from.tail_start, from.tail_hash};
    std::string check;
    std::optional<LineSplitter> splitter;
    bool changed = false;
    std::uint64_t at = from.last_line_start;
    const auto consume = [&](std::string_view chunk) {
        digester.feed(at, chunk);
        at += chunk.size();
        if (changed) return;
        if (!splitter) {
            const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), checked - check.size()));
            check.append(chunk.substr(0, take));
            chunk.remove_prefix(take);
            if (check.size() < checked) return;
            if (line_hash(check) != from.last_line_hash) {
                changed = true;
                return;
            }
            splitter.emplace(visit, from.tail_start, from.last_line_start, std::move(check), kept);
        }
        splitter->feed(chunk);
    };
    read.error = opened->read_chunks(consume, from.last_line_start, read.folded_holes);
    if (trace) *trace = read;
    if (read.error != 0 || read.folded_holes || changed) return Continued::InDoubt;
    if (!splitter) {
        if (checked > 0) return Continued::InDoubt;  // the checked line was cut short
        splitter.emplace(visit, from.tail_start, from.last_line_start, std::string(), kept);
    }
    const bool usable = splitter->finish();
    if (splitter->kept_line_changed()) return Continued::InDoubt;
    if (end) {
        *end = splitter->end(usable, read);
        end->prefix = digester.finish();
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
