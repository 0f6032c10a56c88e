// The blocks kept between opens: which are kept and for how long, what they count in the budget
// for opens, and that a block handed out again is whole and nobody else's.
#include "src/store/block_reserve.hpp"
#include "src/store/blocking.hpp"

#include "sdk/run/envelope_list.hpp"
#include "tests/support/at_once.hpp"
#include "tests/support/process_watch.hpp"
#include "tests/support/run_builder.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <tuple>
#include <vector>

namespace korvalle::testing {
namespace {

using memory::Block;
using store::BlockReserve;
using store::MemoryBudget;
using namespace std::chrono_literals;

constexpr std::size_t mib = 1024 * 1024;

// What the reserve keeps and hands out again, and what it holds of the budget: bytes and blocks
// kept, bytes reused, bytes held.
using Kept = std::tuple<std::uint64_t, std::size_t, std::uint64_t, std::uint64_t>;
Kept kept(const BlockReserve& reserve, const MemoryBudget& budget) {
    const BlockReserve::Figures figures = reserve.figures();
    return {figures.bytes, figures.blocks, figures.reused, budget.figures().held};
}

TEST(BlockReserve, KeepsTheWrittenPagesOfLargeBlocksWithinItsBoundAndCountsThemInTheBudget) {
    const auto budget = MemoryBudget::make(64 * mib);
    BlockReserve reserve(4 * mib, 1h, budget);
    reserve.give_back(reserve.take(1000), 1000);  // from the heap: not kept
    Block first = reserve.take(2 * mib);
    char* const first_data = first.data();
    std::memset(first.data(), 'x', first.size());
    reserve.give_back(std::move(first), 2 * mib);
    EXPECT_EQ(kept(reserve, *budget), Kept(2 * mib, 1, 0, 2 * mib));
    Block again = reserve.take(2 * mib);
    EXPECT_EQ(again.data(), first_data);
    EXPECT_EQ(again.size(), 2 * mib);
    EXPECT_EQ(kept(reserve, *budget), Kept(0, 0, 2 * mib, 0));

    // Only the pages written are kept, and no more than the bound.
    const std::size_t written = Block::whole_pages(300 * 1024);
    reserve.give_back(std::move(again), 300 * 1024);
    for (int i = 0; i < 3; ++i) reserve.give_back(Block(2 * mib), 2 * mib);
    EXPECT_EQ(kept(reserve, *budget), Kept(written + 2 * mib, 2, 2 * mib, written + 2 * mib));

    // The smallest kept block that holds a request serves it, cut to its size; a request that
    // none holds is served by the largest, grown.
    EXPECT_EQ(reserve.take(mib).size(), mib);
    EXPECT_EQ(reserve.figures().bytes, written + mib);
    EXPECT_EQ(reserve.take(3 * mib).size(), 3 * mib);
    EXPECT_EQ(kept(reserve, *budget), Kept(written, 1, 4 * mib, written));
}

// Kept blocks go back to the system once their time is up, and they are a share of the budget
// that an open never waits for.
TEST(BlockReserve, GivesBlocksBackOnceTheirTimeIsUpAndMakesWayForOpens) {
    const auto budget = MemoryBudget::make(8 * mib);
    BlockReserve expiring(8 * mib, 50ms, budget);
    expiring.give_back(Block(2 * mib), 2 * mib);
    expiring.give_back(Block(mib), mib);
    EXPECT_TRUE(eventually([&] { return expiring.figures().bytes == 0; }));
    EXPECT_EQ(expiring.figures().expired, 3 * mib);
    EXPECT_EQ(budget->figures().held, 0u);

    BlockReserve reserve(8 * mib, 1h, budget);
    reserve.give_back(reserve.take(2 * mib), 2 * mib);
    reserve.make_way(4 * mib);
    EXPECT_EQ(reserve.figures().bytes, 2 * mib);
    reserve.make_way(7 * mib);
    EXPECT_EQ(kept(reserve, *budget), Kept(0, 0, 0, 0));

    // Nothing is kept past the budget, nor while an open waits.
    MemoryBudget::Lease open = store::blocking::acquire(*budget, 7 * mib);
    reserve.give_back(reserve.take(2 * mib), 2 * mib);
    EXPECT_EQ(reserve.figures().bytes, 0u);
    open.resize(4 * mib);
    std::jthread waiting([&] { MemoryBudget::Lease more = store::blocking::acquire(*budget, 5 * mib); });
    EXPECT_TRUE(eventually([&] { return budget->figures().waiting == 1; }));
    reserve.give_back(reserve.take(mib), mib);
    EXPECT_EQ(reserve.figures().bytes, 0u);
    open.release();
}

// Blocks taken and given back on many threads at once: each one handed out is whole and no
// other thread's.
TEST(BlockReserve, BlocksServeOneThreadAtATime) {
    const auto budget = MemoryBudget::make(1024 * mib);
    BlockReserve reserve(16 * mib, 1h, budget);
    const std::vector<bool> intact = at_once(8, [&](int thread) {
        bool whole = true;
        for (int round = 0; round < 20; ++round) {
            const std::size_t size = (1 + (thread + round) % 3) * 512 * 1024;
            Block block = reserve.take(size);
            std::memset(block.data(), 'a' + thread, size);
            std::this_thread::yield();
            for (std::size_t i = 0; i < size; i += 4096) whole = whole && block.data()[i] == 'a' + thread;
            reserve.give_back(std::move(block), size);
        }
        return whole;
    });
    for (bool whole : intact) EXPECT_TRUE(whole);
    EXPECT_GT(reserve.figures().reused, 0u);
    EXPECT_LE(reserve.figures().bytes, 16 * mib);
    EXPECT_EQ(budget->figures().held, reserve.figures().bytes);
}

// A view's slots taken from a block that an earlier view wrote whole: once read, the pages past
// the slots it wrote go back to the system, and the list counts only those it wrote.
TEST(BlockReserve, AListOnAReusedBlockHoldsOnlyTheSlotsItWrote) {
    const auto budget = MemoryBudget::make(64 * mib);
    const auto reserve = std::make_shared<BlockReserve>(16 * mib, 1h, budget);
    Block earlier = reserve->take(8 * mib);
    std::memset(earlier.data(), 'x', earlier.size());
    reserve->give_back(std::move(earlier), 8 * mib);

    views::EnvelopeList list(reserve);
    list.open_arena(4096, 8 * mib / sizeof(event::Envelope));
    EXPECT_EQ(reserve->figures().reused, 8 * mib);
    for (int i = 0; i < 100; ++i) {
        const std::string line = envelope_line({.kind = "node-dispatched", .seq = static_cast<std::uint64_t>(i)});
        ASSERT_TRUE(event::read_envelope_into(line, list.next()).ok());
        list.keep();
    }
    list.seal();

    const std::size_t written = Block::whole_pages(101 * sizeof(event::Envelope));
    const auto* start = reinterpret_cast<const char*>(&list.slots()[0]);
    std::vector<unsigned char> pages(8 * mib / Block::page_bytes());
    ASSERT_EQ(::mincore(const_cast<char*>(start), 8 * mib, pages.data()), 0);
    const auto resident = std::ranges::count_if(pages, [](unsigned char page) { return page & 1; });
    EXPECT_EQ(static_cast<std::size_t>(resident) * Block::page_bytes(), written);
    EXPECT_LT(list.held_bytes(), written + 64 * 1024);
    EXPECT_EQ(list.size(), 100u);
    EXPECT_EQ(list.back().seq, 99u);
}

}  // namespace
}  // namespace korvalle::testing
