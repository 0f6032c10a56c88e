// The journal's line reader: which bytes it takes for UTF-8 text (RFC 3629), wherever they
// fall in a line, and which cut sequence at the end of the file it lets go; a read that goes on
// from where an earlier one stopped, and what it sees of bytes changed before that end.
#include "sdk/journal/journal_lines.hpp"
#include "tests/support/run_builder.hpp"
#include "tests/support/same_view.hpp"

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <random>
#include <string>
#include <vector>

namespace korvalle {
namespace {

using Lines = std::vector<std::string>;
using testing::JournalRead;
using testing::read_journal;

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

// A line of about 100 bytes numbered n, without its line feed; count of them from first, each ended.
std::string numbered_line(int n) { return fmt::format(R"({{"n":{:06},"pad":"{}"}})", n, std::string(80, 'p')); }
std::string numbered_lines(int first, int count) {
    std::string text;
    for (int n = first; n < first + count; ++n) text += numbered_line(n) + "\n";
    return text;
}

// A journal of about five and a half blocks of digests is read whole, then changed before the
// end of that read in each way writers change files (a byte written over in place; the file
// truncated and written again; a hole punched), or not, and appended to. Unchanged, a read on
// hands over just the appended lines, and a whole check finds every byte as it was; a change in
// the first block, in the bytes after the last whole block or a hole leaves the read on in
// doubt, and any change at all fails the whole check.
TEST(JournalLines, AReadOnSeesBytesChangedBeforeTheOldEnd) {
    testing::RunsRoot root;
    const auto path = root.path() / "events.jsonl";
    const std::string text = numbered_lines(0, 3500);
    const std::string appended = numbered_lines(3500, 2);
    constexpr std::size_t block = files::BlockDigests::block_bytes;
    ASSERT_GT(text.size(), 5 * block);
    enum How { Unchanged, WrittenOver, WrittenAgain, PunchedOut };
    const struct {
        const char* name;
        How how;
        std::size_t block;
        bool seen_by_read_on;  // one the read on always checks
    } changes[] = {
        {"unchanged", Unchanged, 0, true},
        {"a digit of the first block written over", WrittenOver, 0, true},
        {"a digit after the last whole block written over", WrittenOver, 5, true},
        {"a digit of a middle block written over", WrittenOver, 3, false},
        {"truncated and written again, one digit of the third block changed", WrittenAgain, 2, false},
        {"the second block punched out", PunchedOut, 1, true},
    };
    for (const auto& change : changes) {
        testing::write_file(path, text);
        const JournalRead before = read_journal(path);
        ASSERT_TRUE(before.how == journal::Continued::Read && before.end.resumable);
        EXPECT_EQ(before.end.prefix.size, text.size());
        EXPECT_EQ(before.end.prefix.blocks.size(), text.size() / block);
        const std::size_t digit = text.find("\"n\":", change.block * block) + 5;
        if (change.how == WrittenOver) testing::overwrite_file(path, digit, "9");
        if (change.how == WrittenAgain) testing::write_file(path, text.substr(0, digit) + "9" + text.substr(digit + 1));
        if (change.how == PunchedOut) {
            ASSERT_TRUE(testing::punch_hole(path, change.block * block, block));
        }
        testing::append_file(path, appended);
        const JournalRead after = read_journal(path, &before);
        const bool unchanged = change.how == Unchanged;
        if (change.seen_by_read_on) {
            EXPECT_EQ(after.how, unchanged ? journal::Continued::Read : journal::Continued::InDoubt) << change.name;
        }
        // Checked whole, the bytes of the first read are as they were in the file now only when
        // unchanged, and never in the file as that read noted it, since it was appended to.
        EXPECT_EQ(journal::journal_unchanged(path, before.end, *files::identity_of(path)), unchanged) << change.name;
        EXPECT_FALSE(journal::journal_unchanged(path, before.end, *before.trace.identity)) << change.name;
        if (after.how != journal::Continued::InDoubt) {
            EXPECT_EQ(journal::journal_unchanged(path, after.end, *after.trace.identity), unchanged) << change.name;
        }
        if (unchanged) {
            // The read on went on from the first read's digests: they are those of a whole read now.
            const JournalRead whole = read_journal(path);
            EXPECT_EQ(after.lines, (Lines{numbered_line(3500), numbered_line(3501)}));
            EXPECT_EQ(after.end.end, text.size() + appended.size());
            EXPECT_TRUE(after.end.prefix.blocks == whole.end.prefix.blocks && after.end.prefix.tail == whole.end.prefix.tail);
        }
    }
}

// A journal whose text stops being UTF-8 is remembered with the bytes that decide it: while they
// are as they were, reads on hand over nothing, whatever was appended or changed elsewhere, and
// the text really is not UTF-8 (bytes before the fault cannot make its sequence valid); once they
// change, the read is in doubt.
TEST(JournalLines, AJournalThatIsNotUtf8ForGoodIsNotReadAgain) {
    testing::RunsRoot root;
    const auto path = root.path() / "events.jsonl";
    // A continuation byte after a whole four-byte sequence, a lead byte followed by ASCII, a
    // sequence cut by its line feed, an overlong form, an encoded surrogate.
    const std::string faults[] = {"\xF0\x9F\x98\x80\x80", "\xE2(", "\xF0\x9F\x98", "\xC0\xAF", "\xED\xA0\x80"};
    std::mt19937 random(20261208);
    for (const std::string& fault : faults) {
        const std::string line = "{\"x\":\"ab" + fault + "\"}\n";
        const std::string text = numbered_lines(0, 1000) + line + numbered_lines(1000, 300);
        testing::write_file(path, text);
        const JournalRead first = read_journal(path);
        ASSERT_TRUE(first.how == journal::Continued::NotUtf8 && first.end.not_utf8);
        const journal::ByteRange bad = *first.end.not_utf8;
        const std::size_t at = text.find(fault) + (fault.starts_with("\xF0\x9F\x98\x80") ? 4 : 0);
        EXPECT_EQ(bad, (journal::ByteRange{at - 3, at + 4})) << fault;

        testing::append_file(path, numbered_lines(2000, 3));
        testing::overwrite_file(path, 100, "9");
        const JournalRead on = read_journal(path, &first);
        EXPECT_EQ(on.how, journal::Continued::NotUtf8) << fault;
        EXPECT_TRUE(on.lines.empty());
        EXPECT_TRUE(journal::journal_unchanged(path, on.end, *on.trace.identity));

        // Bytes changed at random near the remembered ones, before or after them, leave the text
        // not UTF-8.
        testing::write_file(path, line);
        const journal::ByteRange near = *read_journal(path).end.not_utf8;
        for (int trial = 0; trial < 300; ++trial) {
            std::string changed = line;
            for (int k = 0; k < 3; ++k) {
                const std::size_t offset = std::uniform_int_distribution<std::size_t>(0, 5)(random);
                const bool after = trial % 2 && near.to + offset < changed.size();
                changed[after ? near.to + offset : near.from - 1 - std::min(offset, near.from - 1)] =
                    static_cast<char>(std::uniform_int_distribution<int>(0x20, 0xFF)(random));
            }
            testing::write_file(path, changed);
            EXPECT_FALSE(journal::for_each_journal_line(path, [](std::string_view) {})) << fault << ", trial " << trial;
        }

        // Mended, it is read again.
        testing::write_file(path, text);
        const JournalRead before = read_journal(path);
        testing::overwrite_file(path, bad.from + 3, "x");
        EXPECT_EQ(read_journal(path, &before).how, journal::Continued::InDoubt) << fault;
    }
}

}  // namespace
}  // namespace korvalle
