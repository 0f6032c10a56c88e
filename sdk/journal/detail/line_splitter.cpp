#include "sdk/journal/detail/line_splitter.hpp"

#include "sdk/base/text.hpp"

#include <simdjson.h>

#include <algorithm>

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

// Whether a line is only white space. Most lines begin with a byte that tells at once, which
// matters where lines are a few bytes long.
bool blank(std::string_view line) {
    if (!line.empty()) {
        const auto first = static_cast<unsigned char>(line.front());
        if (first > ' ' && first < 0x80) return false;
    }
    return text::trim(line).empty();
}

// True when the line was handed over. nul_free: the line is known to hold no NUL.
bool visit_line(std::string_view line, const std::function<void(std::string_view)>& visit, bool nul_free = false) {
    if ((!nul_free && line.find('\0') != std::string_view::npos) || blank(line)) return false;
    visit(line);
    return true;
}

// Splits text that ends with a line feed into its lines.
void split_complete(std::string_view text, const std::function<void(std::string_view)>& visit) {
    // The lines are looked for NULs all at once: there are mostly none.
    const bool nul_free = text.find('\0') == std::string_view::npos;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        visit_line(line, visit, nul_free);
        start = end + 1;
    }
}

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

std::uint64_t line_hash(std::string_view bytes) { return std::hash<std::string_view>{}(bytes); }

JournalEnd end_of(const SplitFigures& figures, bool usable, const files::ReadTrace& trace) {
    const bool whole =
        trace.error == 0 && !trace.folded_holes && trace.identity && trace.identity->size == figures.offset;
    JournalEnd end;
    end.end = figures.offset;
    end.tail_start = figures.line_start;
    end.last_line_start = figures.last_line_start;
    end.last_line_hash = figures.last_line_hash;
    end.tail_visited = figures.tail_visited;
    end.tail_hash = figures.tail_hash;
    end.tail_kept = figures.tail_kept;
    end.resumable = usable && whole && figures.last_line_known;
    if (!usable && whole && figures.fault_at) {
        // The three bytes before the fault tell where its sequence begins; the four from it on
        // are the most that can decide that it is none.
        const std::uint64_t at = *figures.fault_at;
        end.not_utf8 = ByteRange{at - std::min<std::uint64_t>(at, 3), std::min<std::uint64_t>(at + 4, figures.offset)};
    }
    return end;
}

void LineSplitter::feed(std::string_view chunk) {
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

bool LineSplitter::finish() {
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

SplitFigures LineSplitter::figures() const {
    SplitFigures figures;
    figures.offset = offset_;
    figures.line_start = line_start_;
    figures.last_line_start = last_line_start_;
    figures.last_line_hash = line_hash(last_line_);
    figures.last_line_known = last_line_known_;
    figures.ended_a_line = ended_a_line_;
    figures.tail_visited = tail_visited_;
    figures.tail_hash = tail_visited_ ? line_hash(pending_) : 0;
    figures.tail_kept = tail_kept_;
    figures.usable = usable_;
    figures.fault_at = fault_at_;
    return figures;
}

// Whether the line begun at the start holds what the kept line held (no line feed seen yet,
// or the bytes before it). Once it does not, nothing more is read.
bool LineSplitter::still_kept() {
    const bool same = !skipping_ && pending_.size() == kept_->bytes && line_hash(pending_) == kept_->hash;
    kept_.reset();
    if (!same) {
        kept_changed_ = true;
        usable_ = false;
    }
    return same;
}

// A run of complete lines that begins at offset at.
void LineSplitter::complete(std::string_view lines, std::uint64_t at) {
    ended_a_line_ = true;
    const std::size_t valid = valid_utf8_prefix(lines);
    if (valid < lines.size()) {
        fault(at + valid);
        return;
    }
    split_complete(lines, visit_);
}

// Bytes of the line that has not ended yet, beginning at offset at.
void LineSplitter::partial(std::string_view part, std::uint64_t at) {
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
void LineSplitter::end_line(std::string_view rest, std::uint64_t at) {
    partial(rest, at);
    ended_a_line_ = true;
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
void LineSplitter::check_skipped(std::string_view bytes, std::uint64_t at) {
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
void LineSplitter::fault(std::uint64_t at) {
    usable_ = false;
    if (!fault_at_) fault_at_ = at;
}

ReadOnLines::ReadOnLines(const std::function<void(std::string_view)>& visit, const JournalEnd& from)
    : visit_(visit), from_(from), checked_(from.tail_start - from.last_line_start) {}

void ReadOnLines::feed(std::string_view chunk) {
    if (changed_) return;
    if (!splitter_) {
        const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), checked_ - check_.size()));
        check_.append(chunk.substr(0, take));
        chunk.remove_prefix(take);
        if (check_.size() < checked_) return;
        if (line_hash(check_) != from_.last_line_hash) {
            changed_ = true;
            return;
        }
        go_on();
    }
    splitter_->feed(chunk);
}

LineSplitter* ReadOnLines::finish() {
    if (changed_) return nullptr;
    if (!splitter_) {
        if (checked_ > 0) return nullptr;  // the checked line was cut short
        go_on();
    }
    return &*splitter_;
}

void ReadOnLines::go_on() {
    std::optional<LineSplitter::KeptLine> kept;
    if (from_.tail_kept) kept = LineSplitter::KeptLine{from_.end - from_.tail_start, from_.tail_hash};
    splitter_.emplace(visit_, from_.tail_start, from_.last_line_start, std::move(check_), kept);
}

std::optional<files::BlockDigester> resume_checks(const files::RegularFile& file, const JournalEnd& from,
                                                  const files::Identity& was) {
    if (!file.identity().same_file(was) || file.identity().size < from.end || from.not_utf8 || !from.resumable) {
        return std::nullopt;
    }
    files::BlockDigester digester;
    if (!prefix_samples_unchanged(file, from) || !digester.resume(from.prefix, file)) return std::nullopt;
    return digester;
}

}  // namespace korvalle::journal
