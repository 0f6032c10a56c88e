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

}  // namespace

bool for_each_journal_line(const std::filesystem::path& path,
                           const std::function<void(std::string_view)>& visit, files::ReadTrace* trace) {
    std::string pending;  // the start of a line that continues in the next chunk
    bool usable = true;
    // Complete lines are checked and split as their chunk arrives. A line feed never occurs
    // inside a UTF-8 sequence, so each run of complete lines can be checked by itself.
    const auto complete = [&](std::string_view lines) {
        usable = text::is_utf8(lines);
        if (usable) split_complete(lines, visit);
    };
    const int error = files::read_regular_chunks(path, [&](std::string_view chunk) {
        if (!usable) return;
        const std::size_t last_lf = chunk.rfind('\n');
        if (last_lf == std::string_view::npos) {
            pending.append(chunk);
            return;
        }
        std::size_t start = 0;
        if (!pending.empty()) {
            start = chunk.find('\n') + 1;
            pending.append(chunk.substr(0, start));
            complete(pending);
            if (!usable) return;
        }
        complete(chunk.substr(start, last_lf + 1 - start));
        pending.assign(chunk.substr(last_lf + 1));
    }, trace);
    if (error != 0 || !usable) return false;
    const std::size_t valid = text::utf8_valid_prefix(pending);
    if (valid == pending.size()) {
        visit_line(pending, visit);
        return true;
    }
    return is_cut_sequence(std::string_view(pending).substr(valid));
}

std::vector<std::string> read_journal_lines(const std::filesystem::path& path, files::ReadTrace* trace) {
    std::vector<std::string> lines;
    if (!for_each_journal_line(path, [&](std::string_view line) { lines.emplace_back(line); }, trace)) {
        lines.clear();
    }
    return lines;
}

}  // namespace korvalle::journal
