#include "tests/support/document_text.hpp"

#include "tests/support/run_builder.hpp"

#include <algorithm>
#include <vector>

namespace korvalle::testing {
namespace {

bool is_layout(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The end of the string that opens at text[at], past its closing quote (or the text's end when
// it has none); a backslash takes the byte after it along, so an escaped quote never closes it.
std::size_t string_end(std::string_view text, std::size_t at) {
    for (++at; at < text.size(); ++at) {
        if (text[at] == '\\') ++at;
        else if (text[at] == '"') return at + 1;
    }
    return text.size();
}

std::vector<std::string_view> lines_of(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        lines.push_back(text.substr(0, end));
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return lines;
}

// Where two texts part: the first differing line of their laid-out forms with the lines before
// it, and the byte where the written texts part.
std::string where_they_differ(std::string_view expected, std::string_view actual) {
    const auto parted = std::mismatch(expected.begin(), expected.end(), actual.begin(), actual.end());
    std::string out = "first difference at byte " + std::to_string(parted.first - expected.begin()) +
                      " of the written text";
    const std::string expected_laid = laid_out(expected), actual_laid = laid_out(actual);
    const auto expected_lines = lines_of(expected_laid), actual_lines = lines_of(actual_laid);
    std::size_t line = 0;
    while (line < expected_lines.size() && line < actual_lines.size() && expected_lines[line] == actual_lines[line])
        ++line;
    if (line == expected_lines.size() && line == actual_lines.size())
        return out + ", in whitespace between tokens\n";
    const auto numbered = [](char mark, std::size_t index, std::string_view text) {
        std::string number = std::to_string(index + 1);
        return std::string(1, mark) + std::string(number.size() < 6 ? 6 - number.size() : 0, ' ') + number + " | " +
               std::string(text) + "\n";
    };
    out += ", line " + std::to_string(line + 1) + " laid out (- expected, + actual):\n";
    for (std::size_t before = line >= 3 ? line - 3 : 0; before < line; ++before)
        out += numbered(' ', before, expected_lines[before]);
    out += line < expected_lines.size() ? numbered('-', line, expected_lines[line]) : "-       (end of document)\n";
    out += line < actual_lines.size() ? numbered('+', line, actual_lines[line]) : "+       (end of document)\n";
    return out;
}

}  // namespace

std::string without_layout(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        if (text[at] == '"') {
            const std::size_t end = string_end(text, at);
            out.append(text.substr(at, end - at));
            at = end;
        } else {
            if (!is_layout(text[at])) out += text[at];
            ++at;
        }
    }
    return out;
}

std::string laid_out(std::string_view text) {
    const std::string tokens = without_layout(text);
    const std::string_view in = tokens;
    std::string out;
    std::size_t depth = 0;
    const auto new_line = [&] { out += '\n' + std::string(2 * depth, ' '); };
    for (std::size_t at = 0; at < in.size();) {
        const char c = in[at];
        if (c == '"') {
            const std::size_t end = string_end(in, at);
            out.append(in.substr(at, end - at));
            at = end;
            continue;
        }
        ++at;
        if ((c == '{' || c == '[') && at < in.size() && in[at] == (c == '{' ? '}' : ']')) {
            out += c;
            out += in[at++];
        } else if (c == '{' || c == '[') {
            out += c;
            ++depth;
            new_line();
        } else if (c == '}' || c == ']') {
            depth -= depth > 0;
            new_line();
            out += c;
        } else if (c == ',') {
            out += c;
            new_line();
        } else if (c == ':') {
            out += ": ";
        } else {
            out += c;
        }
    }
    return out.empty() ? out : out + '\n';
}

::testing::AssertionResult document_as_in_file(const char* document_expression, const char*,
                                               std::string_view document, const std::filesystem::path& file) {
    const std::string expected = without_layout(read_text(file));
    if (document == expected) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << document_expression << " is not the document in " << file.string()
           << (std::filesystem::exists(file) ? "" : " (no such file)") << "\n"
           << where_they_differ(expected, document) << "The document, laid out as its file keeps it:\n"
           << laid_out(document);
}

::testing::AssertionResult same_document(const char* actual_expression, const char* expected_expression,
                                         std::string_view actual, std::string_view expected) {
    if (actual == expected) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << actual_expression << " is not " << expected_expression << "\n"
                                         << where_they_differ(expected, actual);
}

}  // namespace korvalle::testing
