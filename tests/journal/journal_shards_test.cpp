// A journal read in shards against the same journal read in one go: the same lines, the same
// usability and the same end (its figures, the digests of its blocks, where the text stops being
// UTF-8), for whole reads and reads on, with shards cut through every kind of line. The shards
// are read last first.
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
using journal::Continued;
using journal::ShardsRead;
using testing::JournalRead;
using testing::read_journal;

// Reads every shard, the last first, each into lines of its own, and expects what the read in
// one go made: the same outcome, the same lines when it yields them, the same file and end unless
// it is in doubt.
void expect_same_read(journal::JournalShards& shards, const JournalRead& one_go, const std::string& what) {
    std::vector<Lines> each(shards.count());
    for (std::size_t i = shards.count(); i-- > 0;) {
        shards.read(i, [&](std::string_view line) { each[i].emplace_back(line); });
    }
    JournalRead read;
    for (const Lines& shard : each) read.lines.insert(read.lines.end(), shard.begin(), shard.end());
    const ShardsRead went = shards.finish(&read.trace, &read.end);
    ASSERT_NE(went, ShardsRead::Again) << what;
    EXPECT_EQ(one_go.how, went == ShardsRead::Read      ? Continued::Read
                          : went == ShardsRead::NotUtf8 ? Continued::NotUtf8 : Continued::InDoubt) << what;
    if (one_go.how == Continued::Read) {
        EXPECT_EQ(read.lines, one_go.lines) << what;
    }
    if (one_go.how != Continued::InDoubt) {
        EXPECT_EQ(read.trace.identity, one_go.trace.identity) << what;
        EXPECT_EQ(testing::end_differences(read.end, one_go.end, one_go.how == Continued::Read), "") << what;
    }
}

// Compares the two reads of the whole text for each shard size; returns how many read in shards.
int expect_same_reads(const fs::path& path, const std::string& text, const std::vector<std::uint64_t>& sizes) {
    testing::write_file(path, text);
    const JournalRead whole = read_journal(path);
    int sharded = 0;
    for (const std::uint64_t size : sizes) {
        std::optional<journal::JournalShards> shards = journal::JournalShards::whole(path, size);
        if (shards) expect_same_read(*shards, whole, fmt::format("{:?} in shards of {}", text.substr(0, 200), size));
        sharded += shards.has_value();
    }
    return sharded;
}

// Each text against shards that cut it everywhere: small ones for short texts, ones about a block
// of digests long for texts of a few blocks.
TEST(JournalShards, EveryKindOfLineCutByShards) {
    testing::RunsRoot root;
    const fs::path path = root.path() / "events.jsonl";
    constexpr std::uint64_t block = files::BlockDigests::block_bytes;
    const std::vector<std::uint64_t> small{1, 2, 3, 4, 5, 7, 8, 10, 11, 16, 33};
    const std::vector<std::uint64_t> large{block - 1, block, block + 1, 4000, 10007, 3 * block};
    std::string blocks;
    for (int n = 0; blocks.size() < 3 * block + 1000; ++n) {
        blocks += fmt::format("{{\"n\":{},\"pad\":\"{}\"}}\n", n, std::string(n % 300, 'p'));
    }
    const std::string past_bound(journal::max_line_bytes + 1, 'x');
    const std::pair<std::string, std::vector<std::uint64_t>> cases[] = {
        // Lines of ten bytes, ending exactly where shards of 5, 10 or 2 would.
        {"{\"n\":001}\n{\"n\":002}\n{\"n\":003}\n{\"n\":004}\n", small},
        // CRLF, blank and white lines, a NUL, a lone CR.
        {"{\"a\":1}\r\n\r\n   \n{\"b\":2}\n\t\n{\"c\":\"\0\"}\n{\"d\":4}\r\r\n{\"e\":5}\n"s, small},
        // A line longer than many shards between short ones, and an unfinished last line.
        {"{}\n{\"long\":\"" + std::string(300, 'l') + "\"}\n{}\n{\"tail\":1}", small},
        // Characters of two, three and four bytes wherever the shards' edges fall.
        {"{\"x\":\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\"}\n{\"y\":\"\xE2\x82\xAC\xE2\x82\xAC\"}\n\xF0\x9F\x98\x80\n", small},
        // A sequence cut by the end of the file drops the unfinished last line.
        {"{\"a\":1}\n{\"b\":2}\n{\"c\":\"\xE2\x82", small},
        // A byte that is never UTF-8, in a middle line, and one in the unfinished last line.
        {"{\"a\":1}\n{\"b\":\"\xFF\"}\n{\"c\":3}\n", small},
        {"{\"a\":1}\n{\"b\":2}\n{\"c\":\"\xC0\xAF", small},
        // A sequence cut by its line feed, and one whose continuation is in the next line.
        {"{\"a\":\"\xE2\x82\"}\n{\"b\":2}\n", small},
        {"{\"a\":\"\xE2\n\x82\xAC\"}\n", small},
        {"\n\n\n\n\n\n", small},
        // The blocks of digests whose beginning lies in a shard are that shard's to digest,
        // however the shards fall against them.
        {blocks, large},
        {blocks.substr(0, 2 * block), large},
        // A line longer than the bound stays in the shard it begins in and is only checked, as
        // the read in one go checks it.
        {"{}\n" + past_bound + "\n{\"after\":1}\n", {block, 3 * block}},
        {"{}\n" + past_bound + "\xFF\n{\"after\":1}\n", {block}},
        {blocks + past_bound, {block}},
    };
    for (const auto& [text, sizes] : cases) EXPECT_GT(expect_same_reads(path, text, sizes), 0) << text.substr(0, 200);
    // One line makes one shard: it is read in one go.
    EXPECT_EQ(expect_same_reads(path, "{\"only\":\"one unfinished line\"}", small), 0);
}

// Texts made at random of the fragments lines are made of.
std::string random_text(std::mt19937& random) {
    static const std::string fragments[] = {"{\"a\":1}", "{}", "\n", "\n", "\n", "\r", "\r\n", " ", "x", "\0"s,
                                            "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xE2\x82", "\xFF",
                                            "\x80", "{\"s\":\"abcdefghijklmnopqrstuvwxyz\"}"};
    std::string text;
    const int count = std::uniform_int_distribution<int>(1, 40)(random);
    for (int i = 0; i < count; ++i) {
        const std::size_t pick = std::uniform_int_distribution<std::size_t>(0, std::size(fragments) - 1)(random);
        // Mostly valid text: the faults come rarely enough that most texts are usable.
        if (pick >= 13 && pick <= 15 && random() % 6 != 0) continue;
        text += fragments[pick];
    }
    return text;
}

// Texts made at random are read whole, then appended to at random and read on from the read in
// one go; a kept unfinished line is held to what it was in both reads on.
TEST(JournalShards, RandomTextsAndReadsOnReadAsInOneGo) {
    testing::RunsRoot root;
    const fs::path path = root.path() / "events.jsonl";
    std::mt19937 random(20261208);
    int sharded = 0;
    for (int trial = 0; trial < 1500; ++trial) {
        const std::string first = random_text(random);
        expect_same_reads(path, first, {std::uniform_int_distribution<std::uint64_t>(1, 24)(random)});
        JournalRead before = read_journal(path);
        if (before.end.tail_visited && random() % 2) before.end.tail_kept = true;
        std::string appended = random() % 4 == 0 ? "\n" : "";
        appended += random_text(random);
        testing::append_file(path, appended);
        const std::uint64_t size = std::uniform_int_distribution<std::uint64_t>(1, 16)(random);
        std::optional<journal::JournalShards> shards =
            journal::JournalShards::read_on(path, before.end, *before.trace.identity, size);
        if (!shards) continue;
        ++sharded;
        expect_same_read(*shards, read_journal(path, &before),
                         fmt::format("{:?} then {:?} in shards of {}", first, appended, size));
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
    for (std::size_t i = 0; i < shards->count(); ++i) shards->read(i, [](std::string_view) {});
    EXPECT_EQ(shards->finish(nullptr, nullptr), ShardsRead::Again);
}

}  // namespace
}  // namespace korvalle
