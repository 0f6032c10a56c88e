#include "sdk/base/arena.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>

namespace korvalle::json {

namespace {

// Full blocks (Arena::block_bytes) are pages of their own (memory::Block), so each one goes
// back to its source as soon as the arena is released; a large value gets a block of its own.
constexpr std::size_t smallest_block = 1024;

// Alignments are powers of two.
char* aligned(char* p, std::size_t alignment) {
    const auto address = reinterpret_cast<std::uintptr_t>(p);
    return p + (-address & (alignment - 1));
}

}  // namespace

SealedArena::SealedArena()
    : std::logic_error("a sealed arena was asked for memory: a copy of a view's JSON value must name its storage") {}

Arena::Arena(std::size_t first_block, memory::Blocks blocks)
    : source_(std::move(blocks)), next_block_(std::clamp(first_block, smallest_block, block_bytes)) {}

Arena::~Arena() {
    // Only the block in use was written short of its end.
    for (std::size_t i = 0; i < blocks_.size(); ++i) {
        const bool in_use = next_ && i == current_;
        const std::size_t used = in_use ? static_cast<std::size_t>(next_ - blocks_[i].data()) : blocks_[i].size();
        source_->give_back(std::move(blocks_[i]), used);
    }
}

void Arena::seal() noexcept {
    if (sealed_) return;
    sealed_ = true;
    if (!next_) return;
    memory::Block& block = blocks_[current_];
    const auto used = static_cast<std::size_t>(next_ - block.data());
    const std::size_t written = memory::Block::whole_pages(used);
    if (!block.mapped() || written >= block.size()) return;
    block.discard_from(used);
    bytes_ -= block.size() - written;
}

void Arena::release_to(const Mark& mark) noexcept {
    // The block values are taken from now, when it was taken since the mark, stays for the next
    // values, emptied: given back, it would only be taken again for them.
    const bool keep_current = next_ && current_ >= mark.blocks;
    memory::Block kept;
    for (std::size_t i = mark.blocks; i < blocks_.size(); ++i) {
        if (keep_current && i == current_) {
            kept = std::move(blocks_[i]);
            continue;
        }
        // The others taken since are a value's own, or filled: given back whole.
        const std::size_t size = blocks_[i].size();
        bytes_ -= size;
        source_->give_back(std::move(blocks_[i]), size);
    }
    blocks_.resize(mark.blocks);
    if (keep_current) {
        current_ = blocks_.size();
        next_ = kept.data();
        end_ = next_ + kept.size();
        blocks_.push_back(std::move(kept));
        return;
    }
    current_ = mark.current;
    next_ = mark.next;
    end_ = mark.end;
    next_block_ = mark.next_block;
}

void* Arena::do_allocate(std::size_t bytes, std::size_t alignment) {
    if (sealed_) throw SealedArena();
    char* start = next_ ? aligned(next_, alignment) : nullptr;
    if (!start || bytes > static_cast<std::size_t>(end_ - start)) {
        const bool own_block = bytes + alignment > next_block_ / 4;
        blocks_.push_back(source_->take(own_block ? bytes + alignment : next_block_));
        const std::size_t size = blocks_.back().size();
        bytes_ += size;
        char* block = blocks_.back().data();
        start = aligned(block, alignment);
        // A value with a block of its own leaves the current block in use.
        if (own_block) return start;
        current_ = blocks_.size() - 1;
        end_ = block + size;
        next_block_ = std::min(next_block_ * 2, block_bytes);
    }
    next_ = start + bytes;
    return start;
}

}  // namespace korvalle::json
