// Memory for large texts and blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>

namespace korvalle::memory {

// The heap bytes one allocation of `requested` bytes takes: with the allocator's 8-byte header,
// rounded to its 16-byte steps.
constexpr std::uint64_t allocation_bytes(std::uint64_t requested) { return (requested + 8 + 15) & ~std::uint64_t{15}; }

// The heap bytes a text owns: none within the small-string room, else the allocation of its
// capacity and NUL.
std::uint64_t heap_bytes(const std::string& text);

// The bytes a text written once front to back holds (a text kept with a view, which is never
// written again): its allocation, except that large room holds only the pages its bytes were
// written to. The kernel makes a page when it is first written, and large room (a mapping of its
// own, or the heap's room past what it used before) mostly never is when it was reserved for a
// text of unknown length.
std::uint64_t written_bytes(const std::string& text);

// A block of memory that goes back to the system as soon as it is freed. glibc serves large
// requests with mappings of their own, but raises that threshold to the size of every mapping
// freed, so blocks of one size, once one was freed, would come from its heap and stay there after
// they are freed: blocks from bytes_from_kernel on are pages mapped for them alone (their size
// rounded up to whole pages), the smaller ones come from the heap. A mapped block can be cut in
// two, cut short and grown, so that its pages, once written, can serve another block of any size
// (BlockSource).
class Block {
public:
    static constexpr std::size_t bytes_from_kernel = 128 * 1024;

    // No memory.
    Block() = default;
    // Throws std::bad_alloc when the memory cannot be had. Its bytes are not initialised.
    explicit Block(std::size_t bytes);
    Block(Block&& other) noexcept;
    Block& operator=(Block&& other) noexcept;
    ~Block();

    char* data() const { return data_; }
    std::size_t size() const { return size_; }
    // Whether the block is pages of its own, which the calls below work on.
    bool mapped() const { return mapped_; }

    // The size of a page: mapped blocks begin and end on one.
    static std::size_t page_bytes();
    // bytes rounded up to whole pages.
    static std::size_t whole_pages(std::size_t bytes);

    // Of a mapped block: its first `bytes` (whole pages, fewer than it has) as a block of their
    // own; this one keeps the rest.
    Block cut_front(std::size_t bytes);
    // Of a mapped block: gives its pages from `bytes` on (rounded up to whole pages) back to the
    // system. Cut to nothing, the block is empty.
    void cut_short(std::size_t bytes);
    // Of a mapped block: makes it `bytes` long (rounded up to whole pages), its bytes kept and
    // the pages added fresh; it may move. Throws std::bad_alloc when the memory cannot be had.
    void grow(std::size_t bytes);
    // Of a mapped block: gives its pages from `bytes` on (rounded up to whole pages) back to the
    // system, the room staying the block's; a later write there finds a fresh page.
    void discard_from(std::size_t bytes) noexcept;

    // The bytes the block holds once its first `written` bytes were written, and none past them
    // since it was fresh or they were discarded: a block from the heap its whole allocation; a
    // mapped one the pages written (the kernel makes a page when it is first written).
    std::uint64_t held_bytes(std::size_t written) const;

private:
    Block(char* data, std::size_t size, bool mapped) : data_(data), size_(size), mapped_(mapped) {}
    void release() noexcept;

    char* data_ = nullptr;
    std::size_t size_ = 0;
    bool mapped_ = false;
};

// Where the blocks of a run's view come from and where they go when it is freed: the system,
// unless the caller hands over a source of its own (the store keeps the pages that one open
// wrote for the next, since the system clears every fresh page before it is used, and that costs
// about as much as reading a journal). Any thread may give a block back: a view is freed wherever
// its last holder lets it go.
class BlockSource {
public:
    virtual ~BlockSource() = default;

    // A block of at least `bytes` bytes; its bytes are not initialised (a block used before
    // holds what it held). Throws std::bad_alloc when the memory cannot be had.
    virtual Block take(std::size_t bytes) = 0;
    // A block no longer used, of which the first `used` bytes were written at most.
    virtual void give_back(Block block, std::size_t used) noexcept = 0;
};
using Blocks = std::shared_ptr<BlockSource>;

// The system: fresh blocks, freed as soon as they are given back.
const Blocks& system_blocks();

}  // namespace korvalle::memory
