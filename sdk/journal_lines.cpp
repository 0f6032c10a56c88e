#include "sdk/journal_lines.hpp"

#include "sdk/files.hpp"
#include "sdk/text.hpp"

#include <optional>

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

// The length of the text that counts: all of it when it is UTF-8; up to the last line feed
// when the only fault is a sequence cut by the end of the file; none otherwise.
std::optional<std::size_t> usable_length(std::string_view bytes) {
    const std::size_t valid = text::utf8_valid_prefix(bytes);
    if (valid == bytes.size()) return valid;
    if (!is_cut_sequence(bytes.substr(valid))) return std::nullopt;
    const std::size_t last_lf = bytes.rfind('\n', valid);
    return last_lf == std::string_view::npos ? 0 : last_lf + 1;
}

}  // namespace

JournalLines read_journal_lines(const std::filesystem::path& path) {
    JournalLines out;
    files::ReadResult read = files::read_regular(path);
    if (!read.bytes) return out;
    const std::optional<std::size_t> length = usable_length(*read.bytes);
    if (!length) return out;
    out.text = std::make_unique<const std::string>(std::move(*read.bytes));
    const std::string_view body(out.text->data(), *length);
    std::size_t start = 0;
    while (start < body.size()) {
        std::size_t end = body.find('\n', start);
        const std::size_t next = end == std::string_view::npos ? body.size() : end + 1;
        if (end == std::string_view::npos) end = body.size();
        std::string_view line = body.substr(start, end - start);
        if (end < body.size() && !line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!text::trim(line).empty()) out.lines.push_back(line);
        start = next;
    }
    return out;
}

}  // namespace korvalle::journal
