// Blocks: large ones are whole pages of their own, which can be cut in two, cut short and grown,
// each piece usable and freed on its own.
#include "sdk/base/memory.hpp"

#include <gtest/gtest.h>

#include <cstring>

namespace korvalle::memory {
namespace {

TEST(Memory, LargeBlocksAreWholePagesThatCanBeCutAndGrown) {
    const std::size_t page = Block::page_bytes();
    Block small(Block::bytes_from_kernel - 1);
    EXPECT_FALSE(small.mapped());
    EXPECT_EQ(small.size(), Block::bytes_from_kernel - 1);

    Block large(Block::bytes_from_kernel * 4 + 1);
    ASSERT_TRUE(large.mapped());
    EXPECT_EQ(large.size(), Block::whole_pages(Block::bytes_from_kernel * 4 + 1));
    EXPECT_EQ(large.size() % page, 0u);
    char* const start = large.data();
    const std::size_t size = large.size();

    Block front = large.cut_front(Block::bytes_from_kernel);
    EXPECT_EQ(front.data(), start);
    EXPECT_EQ(front.size(), Block::bytes_from_kernel);
    EXPECT_TRUE(front.mapped());
    EXPECT_EQ(large.data(), start + Block::bytes_from_kernel);
    EXPECT_EQ(large.size(), size - Block::bytes_from_kernel);

    large.cut_short(page + 1);  // the written part, rounded up to whole pages
    EXPECT_EQ(large.size(), 2 * page);
    std::memset(front.data(), 'a', front.size());
    std::memset(large.data(), 'b', large.size());
    EXPECT_EQ(front.data()[front.size() - 1], 'a');
    EXPECT_EQ(large.data()[0], 'b');

    // Grown, a block keeps its bytes.
    large.grow(8 * page + 1);
    EXPECT_EQ(large.size(), 9 * page);
    EXPECT_EQ(large.data()[2 * page - 1], 'b');
    std::memset(large.data() + 2 * page, 'c', 7 * page);

    front.cut_short(0);
    EXPECT_EQ(front.data(), nullptr);
    EXPECT_EQ(front.size(), 0u);
}

}  // namespace
}  // namespace korvalle::memory
