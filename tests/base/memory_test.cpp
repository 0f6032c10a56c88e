// Blocks: large ones are whole pages of their own, which can be cut in two, cut short and grown,
// each part keeping its bytes, and whose pages past a point can be given back.
#include "sdk/base/memory.hpp"

#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstring>
#include <vector>

namespace korvalle::memory {
namespace {

TEST(Memory, LargeBlocksAreWholePagesThatCanBeCutAndGrown) {
    const std::size_t page = Block::page_bytes();
    EXPECT_FALSE(Block(Block::bytes_from_kernel - 1).mapped());

    Block large(Block::bytes_from_kernel + 1);
    ASSERT_TRUE(large.mapped());
    EXPECT_EQ(large.size(), Block::bytes_from_kernel + page);
    char* const start = large.data();
    std::memset(start, 'a', large.size());

    Block front = large.cut_front(page);
    EXPECT_EQ(front.data(), start);
    EXPECT_EQ(large.data(), start + page);
    EXPECT_EQ(large.size(), Block::bytes_from_kernel);

    large.cut_short(page + 1);  // the written part, rounded up to whole pages
    EXPECT_EQ(large.size(), 2 * page);
    large.grow(8 * page + 1);
    EXPECT_EQ(large.size(), 9 * page);
    EXPECT_EQ(large.data()[2 * page - 1], 'a');
    std::memset(large.data() + 2 * page, 'b', 7 * page);
    EXPECT_EQ(front.data()[page - 1], 'a');

    front.cut_short(0);
    EXPECT_EQ(front.data(), nullptr);
}

// How many of the block's pages are in memory.
std::size_t resident_pages(const Block& block) {
    std::vector<unsigned char> pages(block.size() / Block::page_bytes());
    if (::mincore(block.data(), block.size(), pages.data()) != 0) return 0;
    std::size_t resident = 0;
    for (unsigned char page : pages) resident += page & 1;
    return resident;
}

// Pages given back leave the room the block's: the bytes before stay, those after read fresh,
// and the block holds only the pages written.
TEST(Memory, PagesPastAPointGoBackAndTheBlockHoldsOnlyThoseWritten) {
    const std::size_t page = Block::page_bytes();
    Block block(64 * page);
    std::memset(block.data(), 'a', block.size());
    EXPECT_EQ(resident_pages(block), 64u);
    EXPECT_EQ(block.held_bytes(block.size()), block.size());

    block.discard_from(10 * page + 1);
    EXPECT_EQ(block.size(), 64 * page);
    EXPECT_EQ(resident_pages(block), 11u);
    EXPECT_EQ(block.held_bytes(10 * page + 1), 11 * page);
    block.data()[63 * page] = 'b';
    EXPECT_EQ(resident_pages(block), 12u);
    EXPECT_EQ(block.data()[11 * page - 1], 'a');
    EXPECT_EQ(block.data()[11 * page], 0);

    // A block from the heap holds its whole allocation, written or not.
    const Block small(1000);
    EXPECT_EQ(small.held_bytes(10), allocation_bytes(1000));
}

}  // namespace
}  // namespace korvalle::memory
