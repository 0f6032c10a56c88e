// The journal's line reader: which bytes it takes for UTF-8 text (RFC 3629), wherever they
// fall in a line, and which cut sequence at the end of the file it lets go.
#include "sdk/journal/journal_lines.hpp"
#include "tests/support/run_builder.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvalle {
namespace {

using Lines = std::vector<std::string>;

TEST(JournalLines, TextIsUtf8AsRfc3629DefinesItWhereverItFallsInALine) {
    testing::RunsRoot root;
    const auto path = root.path() / "events.jsonl";
    // The first and last characters of each length and around the surrogates.
    const std::string valid[] = {"\x7F", "\xC2\x80", "\xDF\xBF", "\xE0\xA0\x80", "\xED\x9F\xBF", "\xEE\x80\x80",
                                 "\xEF\xBF\xBF", "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF"};
    // Overlong forms, encoded surrogates, code points past U+10FFFF, bytes that begin nothing, a
    // continuation byte alone and a sequence cut short inside the line.
    const std::string invalid[] = {"\xC0\xAF", "\xC1\xBF", "\xE0\x9F\xBF", "\xF0\x8F\xBF\xBF", "\xED\xA0\x80",
                                   "\xED\xBF\xBF", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xFF", "\x80", "\xE2\x82"};
    // At several places in a line: the check reads the bytes in blocks of up to 64.
    for (const std::size_t at : {0, 1, 31, 62, 63, 64, 100}) {
        const std::string before(at, 'a');
        for (const auto& c : valid) {
            testing::write_file(path, "{}\n" + before + c + "z\n{}\n");
            EXPECT_EQ(journal::read_journal_lines(path), (Lines{"{}", before + c + "z", "{}"})) << at;
        }
        for (const auto& c : invalid) {
            testing::write_file(path, "{}\n" + before + c + "z\n{}\n");
            EXPECT_FALSE(journal::for_each_journal_line(path, [](std::string_view) {})) << at;
        }
    }

    // A sequence cut by the end of the file drops its unfinished line only while the bytes
    // there could still become a character.
    for (const std::string cut : {"\xC2", "\xE0\xA0", "\xED\x9F", "\xF0\x90\x80", "\xF4\x8F\xBF"}) {
        testing::write_file(path, "{}\nab" + cut);
        EXPECT_EQ(journal::read_journal_lines(path), Lines{"{}"});
    }
    for (const std::string never : {"\xC0", "\xE0\x9F", "\xED\xA0", "\xF0\x8F", "\xF4\x90"}) {
        testing::write_file(path, "{}\nab" + never);
        EXPECT_FALSE(journal::for_each_journal_line(path, [](std::string_view) {}));
    }
}

}  // namespace
}  // namespace korvalle
