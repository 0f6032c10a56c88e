// Blocks: large ones are whole pages of their own, which can be cut in two, cut short and grown,
// each piece keeping its bytes.
#include "sdk/base/memory.hpp"

#include <gtest/gtest.h>

#include <cstring>

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

}  // namespace
}  // namespace korvalle::memory
