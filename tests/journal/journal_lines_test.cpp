// The journal's line reader: which bytes it takes for UTF-8 text (RFC 3629), wherever they
// fall in a line, and which cut sequence at the end of the file it lets go; a read that goes on
// from where an earlier one stopped, and what it sees of bytes changed before that end.
#include "sdk/journal/journal_lines.hpp"
#include "tests/support/run_builder.hpp"

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <functional>
#include <random>
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

// A read of the whole journal and where it ended.
struct Read {
    bool usable = false;
    Lines lines;
    files::Identity identity;
    journal::JournalEnd end;
};

Read read_whole(const std::filesystem::path& path) {
    Read read;
    files::ReadTrace trace;
    read.usable = journal::for_each_journal_line(
        path, [&](std::string_view line) { read.lines.emplace_back(line); }, &trace, &read.end);
    read.identity = *trace.identity;
    return read;
}

// What a read going on from `from` hands over, how it went and where it ended.
struct ReadOn {
    journal::Continued how;
    Lines lines;
    files::Identity identity;
    journal::JournalEnd end;
};

ReadOn read_on(const std::filesystem::path& path, const Read& from) {
    ReadOn read;
    files::ReadTrace trace;
    read.how = journal::continue_journal_lines(
        path, from.end, from.identity, [&](std::string_view line) { read.lines.emplace_back(line); }, &trace, &read.end);
    read.identity = *trace.identity;
    return read;
}

// A line of about 100 bytes, numbered n, without its line feed.
std::string numbered_line(int n) { return fmt::format(R"({{"n":{:06},"pad":"{}"}})", n, std::string(80, 'p')); }

std::string numbered_lines(int first, int count) {
    std::string text;
    for (int n = first; n < first + count; ++n) text += numbered_line(n) + "\n";
    return text;
}

// A journal of about five and a half blocks of digests is read whole, then changed before the
// end of that read in each way writers change files (a byte written over in place; the file
// truncated and written again, longer; a hole punched), and appended to. Unchanged, a read on
// hands over just the appended lines, and a whole check finds every byte as it was; a change
// in the first block, in the bytes after the last whole block or a hole leaves the read on in
// doubt, and any change at all fails the whole check.
TEST(JournalLines, AReadOnSeesBytesChangedBeforeTheOldEnd) {
    testing::RunsRoot root;
    const auto path = root.path() / "events.jsonl";
    const std::string text = numbered_lines(0, 3500);
    const std::string appended = numbered_lines(3500, 2);
    constexpr std::size_t block = files::BlockDigests::block_bytes;
    ASSERT_GT(text.size(), 5 * block);
    const auto digit_in_block = [&](std::size_t index) { return text.find("\"n\":", index * block) + 5; };

    testing::write_file(path, text);
    const Read first = read_whole(path);
    ASSERT_TRUE(first.usable);
    ASSERT_TRUE(first.end.resumable);
    EXPECT_EQ(first.end.prefix.size, text.size());
    EXPECT_EQ(first.end.prefix.blocks.size(), text.size() / block);

    testing::append_file(path, appended);
    const ReadOn on = read_on(path, first);
    EXPECT_EQ(on.how, journal::Continued::Read);
    EXPECT_EQ(on.lines, (Lines{numbered_line(3500), numbered_line(3501)}));
    EXPECT_EQ(on.end.end, text.size() + appended.size());
    EXPECT_TRUE(journal::journal_unchanged(path, on.end, on.identity));
    // The read on went on from the first read's digests: they are those of a whole read now.
    EXPECT_EQ(on.end.prefix.blocks, read_whole(path).end.prefix.blocks);
    EXPECT_EQ(on.end.prefix.tail, read_whole(path).end.prefix.tail);

    struct Change {
        std::string name;
        std::function<void()> apply;
        bool seen_by_read_on;  // one the read on always checks
    };
    const Change changes[] = {
        {"a digit of the first block written over", [&] { testing::overwrite_file(path, digit_in_block(0), "9"); }, true},
        {"a digit after the last whole block written over",
         [&] { testing::overwrite_file(path, digit_in_block(5), "9"); }, true},
        {"a digit of a middle block written over", [&] { testing::overwrite_file(path, digit_in_block(3), "9"); }, false},
        {"truncated and written again, longer, one digit of the third block changed",
         [&] {
             std::string again = text;
             again[digit_in_block(2)] = '9';
             testing::write_file(path, again + appended);
         },
         false},
        {"the second block punched out",
         [&] { ASSERT_TRUE(testing::punch_hole(path, block, block)); },
         true},
    };
    for (const Change& change : changes) {
        testing::write_file(path, text);
        const Read before = read_whole(path);
        change.apply();
        if (std::filesystem::file_size(path) == text.size()) testing::append_file(path, appended);
        const ReadOn after = read_on(path, before);
        if (change.seen_by_read_on) {
            EXPECT_EQ(after.how, journal::Continued::InDoubt) << change.name;
        }
        const std::optional<files::Identity> now = files::identity_of(path);
        EXPECT_FALSE(journal::journal_unchanged(path, before.end, *now)) << change.name;
        if (after.how != journal::Continued::InDoubt) {
            EXPECT_FALSE(journal::journal_unchanged(path, after.end, after.identity)) << change.name;
        }
    }
    // The whole check holds only for the file as that read noted it.
    testing::write_file(path, text);
    const Read again = read_whole(path);
    testing::append_file(path, appended);
    EXPECT_FALSE(journal::journal_unchanged(path, again.end, again.identity));
}

// A journal whose text stops being UTF-8 is remembered with the bytes that decide it: while they
// are as they were, reads on hand over nothing, whatever was appended or changed elsewhere, and
// the text really is not UTF-8 (bytes before the fault cannot make its sequence valid); once they
// change, the read is in doubt.
TEST(JournalLines, AJournalThatIsNotUtf8ForGoodIsNotReadAgain) {
    testing::RunsRoot root;
    const auto path = root.path() / "events.jsonl";
    const std::string good = numbered_lines(0, 1000);
    // A continuation byte after a whole four-byte sequence, a lead byte followed by ASCII, a
    // sequence cut by its line feed, an overlong form, an encoded surrogate.
    const std::string faults[] = {"\xF0\x9F\x98\x80\x80", "\xE2(", "\xF0\x9F\x98", "\xC0\xAF", "\xED\xA0\x80"};
    std::mt19937 random(20261208);
    for (const std::string& fault : faults) {
        const std::string text = good + "{\"x\":\"ab" + fault + "\"}\n" + numbered_lines(1000, 300);
        testing::write_file(path, text);
        const Read first = read_whole(path);
        ASSERT_FALSE(first.usable);
        ASSERT_TRUE(first.end.not_utf8);
        const journal::ByteRange bad = *first.end.not_utf8;
        const std::size_t at = text.find(fault) + (fault.starts_with("\xF0\x9F\x98\x80") ? 4 : 0);
        EXPECT_EQ(bad, (journal::ByteRange{at - 3, at + 4})) << fault;

        testing::append_file(path, numbered_lines(2000, 3));
        testing::overwrite_file(path, 100, "9");
        const ReadOn on = read_on(path, first);
        EXPECT_EQ(on.how, journal::Continued::NotUtf8) << fault;
        EXPECT_TRUE(on.lines.empty());
        EXPECT_TRUE(journal::journal_unchanged(path, on.end, on.identity));

        // Bytes changed at random outside the remembered ones, near them, leave the text not UTF-8.
        const std::string line = "{\"x\":\"ab" + fault + "\"}\n";
        testing::write_file(path, line);
        const journal::ByteRange near = *read_whole(path).end.not_utf8;
        for (int trial = 0; trial < 300; ++trial) {
            std::string changed = line;
            for (int k = 0; k < 3; ++k) {
                const std::size_t offset = std::uniform_int_distribution<std::size_t>(0, 5)(random);
                const std::size_t after = near.to + offset;
                const std::size_t where =
                    trial % 2 && after < changed.size() ? after : near.from - 1 - std::min(offset, near.from - 1);
                changed[where] = static_cast<char>(std::uniform_int_distribution<int>(0x20, 0xFF)(random));
            }
            testing::write_file(path, changed);
            EXPECT_FALSE(journal::for_each_journal_line(path, [](std::string_view) {})) << fault << ", trial " << trial;
        }

        // Mended, it is read again.
        testing::write_file(path, text);
        const Read before = read_whole(path);
        testing::overwrite_file(path, bad.from + 3, "x");
        EXPECT_EQ(read_on(path, before).how, journal::Continued::InDoubt) << fault;
    }
}

}  // namespace
}  // namespace korvalle
