#include "sdk/base/result.hpp"

#include "sdk/base/text.hpp"

namespace korvalle {

namespace {

std::string path_text(const std::filesystem::path& path) { return text::lossy_utf8(path.native()); }

}  // namespace

TextPlace place_in(std::string_view text, std::size_t offset) {
    if (offset > text.size()) offset = text.size();
    TextPlace place{1, 0};
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < offset; ++i) {
        if (text[i] == '\n') {
            ++place.line;
            line_start = i + 1;
        }
    }
    place.column = offset - line_start + (offset < text.size() ? 1 : 0);
    return place;
}

std::string message(const Fault& fault) {
    if (!fault.place) return fault.detail;
    return fault.detail + " at line " + std::to_string(fault.place->line) + " column " + std::to_string(fault.place->column);
}

Fault fault_in(const ReadingFailed& failure, std::string_view text) {
    Fault fault = failure.fault();
    if (failure.offset() != ReadingFailed::npos) fault.place = place_in(text, failure.offset());
    return fault;
}

std::string SdkError::to_string() const {
    if (const auto* m = std::get_if<Message>(&error)) return m->text;
    if (const auto* io = std::get_if<Io>(&error)) return path_text(io->path) + ": " + io->error;
    const auto& nf = std::get<RunNotFound>(error);
    return "run " + nf.id + " not found in " + path_text(nf.dir);
}

}  // namespace korvalle
