// One arena for the JSON values of one run view's envelopes: memory is taken from large blocks
// by bumping a pointer and is never given back one value at a time; the blocks go all at once
// with the arena, back to the source they came from (memory::BlockSource). Opening a run
// allocates some ten values per journal line, and freeing them one by one (with glibc merging
// free blocks) costs as much as reading them. The arena never reads a byte it has not written,
// so a block used before serves as well as a fresh one.
//
// Values point at the arena without counting (storage() is not shared), so destroying them
// touches nothing at all: whoever owns the values owns the arena too and keeps it until they
// are gone (a view holds both). Once the values are read the arena is sealed and every further
// allocation throws: a copy of a value made in the arena could outlive its owner, and a kept
// view would grow with every document built from it. A copy of a view's value names its
// storage (the default one). Before sealing, only the thread that reads the values allocates.
#pragma once

#include "sdk/base/memory.hpp"

#include <boost/json/memory_resource.hpp>
#include <boost/json/storage_ptr.hpp>

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <vector>

namespace korvalle::json {

// Thrown by a sealed arena asked for memory.
class SealedArena : public std::logic_error {
public:
    SealedArena();
};

class Arena final : public boost::json::memory_resource {
public:
    // The largest block, and the size of every block unless the arena is told to start smaller.
    static constexpr std::size_t block_bytes = 2 * 1024 * 1024;

    // first_block: the size of the first block; each next one doubles, up to block_bytes. An
    // arena for a few values (the lines appended to a journal since it was last read) starts
    // small rather than taking a whole block. blocks: where the blocks come from.
    explicit Arena(std::size_t first_block = block_bytes, memory::Blocks blocks = memory::system_blocks());
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;
    // Gives every block back to its source.
    ~Arena() override;

    // An uncounted storage pointer to this arena, for values that must not outlive it.
    boost::json::storage_ptr storage() noexcept { return boost::json::storage_ptr(this); }
    // From now on the arena's values are read-only. The pages of the block in use past its last
    // value go back to the system (a block used before holds them) and count no more.
    void seal() noexcept;
    // The bytes of the blocks taken so far (a block may be larger than asked for), less the pages
    // given back at the seal.
    std::size_t bytes() const noexcept { return bytes_; }

    // Where the arena stands, for release_to.
    struct Mark {
        std::size_t blocks;
        std::size_t current;
        char* next;
        char* end;
        std::size_t next_block;
    };
    Mark mark() const noexcept { return {blocks_.size(), current_, next_, end_, next_block_}; }
    // Takes back every allocation made since mark, when none of those values is left (those of a
    // line that made no envelope), so that they hold nothing: the blocks taken since then go back
    // to their source. Not after the seal.
    void release_to(const Mark& mark) noexcept;

private:
    void* do_allocate(std::size_t bytes, std::size_t alignment) override;
    void do_deallocate(void*, std::size_t, std::size_t) override {}
    bool do_is_equal(const boost::json::memory_resource& other) const noexcept override { return this == &other; }

    memory::Blocks source_;
    std::vector<memory::Block> blocks_;
    std::size_t current_ = 0;  // the block values are taken from now, when next_ is set
    char* next_ = nullptr;
    char* end_ = nullptr;
    std::size_t bytes_ = 0;
    std::size_t next_block_;
    bool sealed_ = false;
};

}  // namespace korvalle::json

// Values in an arena skip freeing their parts when they are destroyed.
template <>
struct boost::json::is_deallocate_trivial<korvalle::json::Arena> : std::true_type {};
