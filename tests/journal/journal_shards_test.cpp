// A journal read in shards against the same journal read in one go: the same lines, the same
// usability and the same end (its figures, the digests of its blocks, where the text stops being
// UTF-8), for whole reads and reads on, with shards cut through every kind of line: lines ending
// exactly where a shard would, lines longer than many shards, CRLF, characters and faults that a
// shard's edge falls within, the unfinished last line. The shards are read last first.
#include "sdk/journal/journal_shards.hpp"

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
namespace fs = std::filesystem;
using namespace std::string_literals;

struct Read {
    bool usable = false;
    Lines lines;
    files::ReadTrace trace;
    journal::JournalEnd end;
};

Read read_whole(const fs::path& path) {
    Read read;
    read.usable = journal::for_each_journal_line(
        path, [&](std::string_view line) { read.lines.emplace_back(line); }, &read.trace, &read.end);
    return read;
}

// Reads every shard, the last first, each into lines of its own; their lines in file order.
Lines read_shards(journal::JournalShards& shards) {
    std::vector<Lines> each(shards.count());
    for (std::size_t i = shards.count(); i-- > 0;) {
        shards.read(i, [&](std::string_view line) { each[i].emplace_back(line); });
    }
    Lines lines;
    for (const Lines& shard : each) lines.insert(lines.end(), shard.begin(), shard.end());
    return lines;
}

// The read in shards of shard_bytes; none when the journal is read in one go.
std::optional<Read> read_in_shards(const fs::path& path, std::uint64_t shard_bytes) {
    std::optional<journal::JournalShards> shards = journal::JournalShards::whole(path, shard_bytes);
    if (!shards) return std::nullopt;
    Read read;
    read.lines = read_shards(*shards);
    const journal::ShardsRead how = shards->finish(&read.trace, &read.end);
    EXPECT_TRUE(how == journal::ShardsRead::Read || how == journal::ShardsRead::NotUtf8);
    read.usable = how == journal::ShardsRead::Read;
    return read;
}

// Compares the two reads of text for each shard size; returns how many read in shards.
int expect_same_reads(const fs::path& path, const std::string& text, const std::vector<std::uint64_t>& sizes) {
    testing::write_file(path, text);
    const Read whole = read_whole(path);
    int sharded = 0;
    for (const std::uint64_t size : sizes) {
        const std::string what = fmt::format("{:?} in shards of {}", text.substr(0, 200), size);
        const std::optional<Read> shards = read_in_shards(path, size);
        if (!shards) continue;
        ++sharded;
        EXPECT_EQ(shards->usable, whole.usable) << what;
        if (whole.usable) {
            EXPECT_EQ(shards->lines, whole.lines) << what;
        }
        EXPECT_EQ(shards->trace.identity, whole.trace.identity) << what;
        EXPECT_EQ(testing::end_differences(shards->end, whole.end, whole.usable), "") << what;
    }
    return sharded;
}

const std::vector<std::uint64_t> small_shards{1, 2, 3, 4, 5, 7, 8, 10, 11, 16, 33};

TEST(JournalShards, EveryKindOfLineCutByEveryShardSize) {
    testing::RunsRoot root;
    const fs::path path = root.path() / "events.jsonl";
    const std::string texts[] = {
        // Lines of ten bytes, ending exactly where shards of 5, 10 or 2 would.
        "{\"n\":001}\n{\"n\":002}\n{\"n\":003}\n{\"n\":004}\n",
        // CRLF, blank and white lines, a NUL, a lone CR.
        "{\"a\":1}\r\n\r\n   \n{\"b\":2}\n\t\n{\"c\":\"\0\"}\n{\"d\":4}\r\r\n{\"e\":5}\n"s,
        // A line longer than many shards between short ones, and an unfinished last line.
        "{}\n{\"long\":\"" + std::string(300, 'l') + "\"}\n{}\n{\"tail\":1}",
        // Characters of two, three and four bytes wherever the shards' edges fall.
        "{\"x\":\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\"}\n{\"y\":\"\xE2\x82\xAC\xE2\x82\xAC\"}\n\xF0\x9F\x98\x80\n",
        // A sequence cut by the end of the file drops the unfinished last line.
        "{\"a\":1}\n{\"b\":2}\n{\"c\":\"\xE2\x82",
        // A byte that is never UTF-8, in a middle line, and one in the unfinished last line.
        "{\"a\":1}\n{\"b\":\"\xFF\"}\n{\"c\":3}\n",
        "{\"a\":1}\n{\"b\":2}\n{\"c\":\"\xC0\xAF",
        // A sequence cut by its line feed, and one whose continuation is in the next line.
        "{\"a\":\"\xE2\x82\"}\n{\"b\":2}\n",
        "{\"a\":\"\xE2\n\x82\xAC\"}\n",
        // Line feeds only.
        "\n\n\n\n\n\n",
    };
    for (const std::string& text : texts) EXPECT_GT(expect_same_reads(path, text, small_shards), 0) << text;
    // One line makes one shard: it is read in one go.
    EXPECT_EQ(expect_same_reads(path, "{\"only\":\"one unfinished line\"}", small_shards), 0);
}

// Journals of a few blocks of digests: the blocks whose beginning lies in a shard are that
// shard's to digest, however the shards fall against them, and a line longer than the bound
// stays in the shard it begins in and is only checked, as the read in one go checks it.
TEST(JournalShards, DigestsAndLongLinesAcrossBlocksAndShards) {
    testing::RunsRoot root;
    const fs::path path = root.path() / "events.jsonl";
    constexpr std::uint64_t block = files::BlockDigests::block_bytes;
    std::string text;
    for (int n = 0; text.size() < 3 * block + 1000; ++n) text += fmt::format("{{\"n\":{},\"pad\":\"{}\"}}\n", n, std::string(n % 300, 'p'));
    const std::vector<std::uint64_t> sizes{block - 1, block, block + 1, 4000, 10007, 3 * block};
    EXPECT_GT(expect_same_reads(path, text, sizes), 0);
    EXPECT_GT(expect_same_reads(path, text.substr(0, 2 * block), sizes), 0);

    const std::string past_bound(journal::max_line_bytes + 1, 'x');
    EXPECT_GT(expect_same_reads(path, "{}\n" + past_bound + "\n{\"after\":1}\n", {block, 3 * block}), 0);
    EXPECT_GT(expect_same_reads(path, "{}\n" + past_bound + "\xFF\n{\"after\":1}\n", {block}), 0);
    EXPECT_GT(expect_same_reads(path, text + past_bound, {block}), 0);
}

// Texts made at random of the fragments lines are made of.
std::string random_text(std::mt19937& random) {
    static const std::string fragments[] = {"{\"a\":1}", "{}", "\n", "\n", "\n", "\r", "\r\n", " ", "x", "\0",
                                            "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xE2\x82", "\xFF",
                                            "\x80", "{\"s\":\"abcdefghijklmnopqrstuvwxyz\"}"};
    std::string text;
    const int count = std::uniform_int_distribution<int>(1, 40)(random);
    for (int i = 0; i < count; ++i) {
        const std::size_t pick = std::uniform_int_distribution<std::size_t>(0, std::size(fragments) - 1)(random);
        // Mostly valid text: the faults come rarely enough that most texts are usable.
        if ((pick == 13 || pick == 14 || pick == 15) && random() % 6 != 0) continue;
        text += pick == 9 ? std::string(1, '\0') : fragments[pick];
    }
    return text;
}

TEST(JournalShards, RandomTextsReadAsInOneGo) {
    testing::RunsRoot root;
    const fs::path path = root.path() / "events.jsonl";
    std::mt19937 random(20261208);
    for (int trial = 0; trial < 1500; ++trial) {
        const std::uint64_t size = std::uniform_int_distribution<std::uint64_t>(1, 24)(random);
        expect_same_reads(path, random_text(random), {size});
    }
}

// A read on in shards against the read on in one go, from the same first read, for texts
// appended at random; a kept unfinished line is held to what it was in both.
TEST(JournalShards, ReadsOnGoOnAsInOneGo) {
    testing::RunsRoot root;
    const fs::path path = root.path() / "events.jsonl";
    std::mt19937 random(7);
    int sharded = 0;
    for (int trial = 0; trial < 1500; ++trial) {
        const std::string first = random_text(random);
        testing::write_file(path, first);
        Read before = read_whole(path);
        if (before.end.tail_visited && random() % 2) before.end.tail_kept = true;
        std::string appended = random_text(random);
        if (random() % 4 == 0) appended = "\n" + appended;
        testing::append_file(path, appended);
        const std::uint64_t size = std::uniform_int_distribution<std::uint64_t>(1, 16)(random);
        const std::string what = fmt::format("{:?} then {:?} in shards of {}", first, appended, size);

        Read on;
        const journal::Continued how = journal::continue_journal_lines(
            path, before.end, *before.trace.identity, [&](std::string_view line) { on.lines.emplace_back(line); },
            &on.trace, &on.end);
        std::optional<journal::JournalShards> shards =
            journal::JournalShards::read_on(path, before.end, *before.trace.identity, size);
        if (!shards) continue;
        ++sharded;
        Read in_shards;
        in_shards.lines = read_shards(*shards);
        const journal::ShardsRead went = shards->finish(&in_shards.trace, &in_shards.end);
        ASSERT_NE(went, journal::ShardsRead::Again) << what;
        const journal::Continued expected = went == journal::ShardsRead::Read    ? journal::Continued::Read
                                            : went == journal::ShardsRead::NotUtf8 ? journal::Continued::NotUtf8
                                                                                   : journal::Continued::InDoubt;
        EXPECT_EQ(expected, how) << what;
        if (how == journal::Continued::InDoubt) continue;
        if (how == journal::Continued::Read) {
            EXPECT_EQ(in_shards.lines, on.lines) << what;
        }
        EXPECT_EQ(testing::end_differences(in_shards.end, on.end, how == journal::Continued::Read), "") << what;
    }
    EXPECT_GT(sharded, 500);
}

// A shard that does not end where the next begins (the file changed between finding the shards
// and reading them) sends the read back to the read in one go.
TEST(JournalShards, ShardsThatDoNotMeetAreReadAgain) {
    testing::RunsRoot root;
    const fs::path path = root.path() / "events.jsonl";
    testing::write_file(path, "{\"a\":1}\n{\"b\":2}\n{\"c\":3}\n");
    std::optional<journal::JournalShards> shards = journal::JournalShards::whole(path, 8);
    ASSERT_TRUE(shards);
    ASSERT_GE(shards->count(), 2u);
    // The line feed that ends the first shard is written over.
    testing::overwrite_file(path, 15, "x");
    read_shards(*shards);
    EXPECT_EQ(shards->finish(nullptr, nullptr), journal::ShardsRead::Again);
}

}  // namespace
}  // namespace korvalle
