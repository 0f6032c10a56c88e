#include "sdk/journal/journal_lines.hpp"

#include "sdk/base/files.hpp"
#include "sdk/base/text.hpp"

namespace korvalle::journal {

namespace {

// True when tail is the beginning of a well-formed UTF-8 sequence that the end of the file
// cut short (as opposed to bytes that can never be valid).
bool is_cut_sequence(std::string_view tail) {
    std::size_t length;
    const std::size_t matching = text::utf8_matching_bytes(tail, 0, length);
    return matching == tail.size() && tail.size() < length;
}

void visit_line(std::string_view line, const std::function<void(std::string_view)>& visit) {
    if (line.find('\0') != std::string_view::npos) return;
    if (!text::trim(line).empty()) visit(line);
}

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
class LineSplitter {
public:
    explicit LineSplitter(const std::function<void(std::string_view)>& visit) : visit_(visit) {}

    void feed(std::string_view chunk) {
        if (!usable_) return;
        const std::size_t first = chunk.find('\n');
        if (first == std::string_view::npos) {
            partial(chunk);
            return;
        }
        end_line(chunk.substr(0, first));
        const std::size_t last = chunk.rfind('\n');
        if (usable_ && last > first) complete(chunk.substr(first + 1, last - first));
        if (usable_) partial(chunk.substr(last + 1));
    }

    // At the end of the file: the unfinished last line counts unless it ends in a cut sequence.
    bool finish() {
        if (!usable_) return false;
        if (skipping_) return true;  // carried bytes, if any, are a cut sequence: dropped
        const std::size_t valid = text::utf8_valid_prefix(pending_);
        if (valid == pending_.size()) {
            visit_line(pending_, visit_);
            return true;
        }
        return is_cut_sequence(std::string_view(pending_).substr(valid));
    }

private:
    void complete(std::string_view lines) {
        usable_ = text::is_utf8(lines);
        if (usable_) split_complete(lines, visit_);
    }

    // Bytes of the line that has not ended yet.
    void partial(std::string_view part) {
        if (!skipping_) {
            if (pending_.size() + part.size() <= max_line_bytes) {
                pending_.append(part);
                return;
            }
            skipping_ = true;
            check_skipped(pending_);
            pending_ = std::string();
        }
        check_skipped(part);
    }

    // The rest of the current line, up to (not including) its line feed.
    void end_line(std::string_view rest) {
        partial(rest);
        if (skipping_) {
            // A sequence cannot continue past the line feed.
            usable_ = usable_ && carry_.empty();
            skipping_ = false;
            return;
        }
        pending_.push_back('\n');
        complete(pending_);
        pending_.clear();
    }

    void check_skipped(std::string_view bytes) {
        std::string joined = std::move(carry_);
        joined.append(bytes);
        const std::string_view rest = std::string_view(joined).substr(text::utf8_valid_prefix(joined));
        if (!rest.empty() && !is_cut_sequence(rest)) usable_ = false;
        carry_.assign(rest);
    }

    const std::function<void(std::string_view)>& visit_;
    std::string pending_;  // the start of a line that continues in the next chunk
    std::string carry_;    // a skipped line's sequence cut by a chunk's end
    bool skipping_ = false;
    bool usable_ = true;
};

}  // namespace

bool for_each_journal_line(const std::filesystem::path& path,
                           const std::function<void(std::string_view)>& visit, files::ReadTrace* trace) {
    LineSplitter splitter(visit);
    const int error =
        files::read_regular_chunks(path, [&](std::string_view chunk) { splitter.feed(chunk); }, trace);
    return error == 0 && splitter.finish();
}

std::vector<std::string> read_journal_lines(const std::filesystem::path& path, files::ReadTrace* trace) {
    std::vector<std::string> lines;
    if (!for_each_journal_line(path, [&](std::string_view line) { lines.emplace_back(line); }, trace)) {
        lines.clear();
    }
    return lines;
}

}  // namespace korvalle::journal
