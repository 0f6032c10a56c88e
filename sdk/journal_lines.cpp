#include "sdk/journal_lines.hpp"

#include "sdk/files.hpp"
#include "sdk/text.hpp"

namespace korvalle::journal {

namespace {

// True when tail is the beginning of a well-formed UTF-8 sequence that the end of the file
// cut short (as opposed to bytes that can never be valid).
bool is_cut_sequence(std::string_view tail) {
    if (tail.empty() || tail.size() > 3) return false;
    const auto b = [&](std::size_t i) { return static_cast<unsigned char>(tail[i]); };
    const unsigned char lead = b(0);
    std::size_t need = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 3;
        if (lead == 0xE0) lo = 0xA0;
        if (lead == 0xED) hi = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 4;
        if (lead == 0xF0) lo = 0x90;
        if (lead == 0xF4) hi = 0x8F;
    } else {
        return false;
    }
    if (tail.size() >= need) return false;
    if (tail.size() >= 2 && (b(1) < lo || b(1) > hi)) return false;
    if (tail.size() >= 3 && (b(2) < 0x80 || b(2) > 0xBF)) return false;
    return true;
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
                           const std::function<void(std::string_view)>& visit) {
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
    });
    if (error != 0 || !usable) return false;
    const std::size_t valid = text::utf8_valid_prefix(pending);
    if (valid == pending.size()) {
        visit_line(pending, visit);
        return true;
    }
    return is_cut_sequence(std::string_view(pending).substr(valid));
}

std::vector<std::string> read_journal_lines(const std::filesystem::path& path) {
    std::vector<std::string> lines;
    if (!for_each_journal_line(path, [&](std::string_view line) { lines.emplace_back(line); })) {
        lines.clear();
    }
    return lines;
}

}  // namespace korvalle::journal
