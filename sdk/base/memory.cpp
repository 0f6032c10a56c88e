#include "sdk/base/memory.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#if defined(__SANITIZE_THREAD__)
#define KORVALLE_THREAD_SANITIZER
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KORVALLE_THREAD_SANITIZER
#endif
#endif

namespace korvalle::memory {

std::uint64_t heap_bytes(const std::string& text) {
    static const std::size_t small = std::string().capacity();
    return text.capacity() > small ? allocation_bytes(text.capacity() + 1) : 0;
}

std::size_t Block::page_bytes() {
#if defined(__linux__)
    static const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return page;
#else
    return 4096;
#endif
}

std::size_t Block::whole_pages(std::size_t bytes) {
    const std::size_t page = page_bytes();
    return (bytes + page - 1) / page * page;
}

std::uint64_t written_bytes(const std::string& text) {
    const std::uint64_t heap = heap_bytes(text);
    // glibc maps room of Block::bytes_from_kernel and more of its own at first, with its 16-byte
    // header in the first page.
    if (text.capacity() + 1 < Block::bytes_from_kernel) return heap;
    return std::min<std::uint64_t>(heap, Block::whole_pages(text.size() + 1 + 16));
}

// Mapped without huge-page advice: where the system hands out huge pages only after compacting
// memory or taking it back from the host (Debian's defrag = madvise, a virtual machine), a
// fresh huge page cost the first request on a large run a third more than small pages do.
Block::Block(std::size_t bytes) : size_(bytes) {
#if defined(__linux__)
    if (bytes >= bytes_from_kernel) {
        size_ = whole_pages(bytes);
        void* mapped = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED) throw std::bad_alloc();
        data_ = static_cast<char*>(mapped);
        mapped_ = true;
        return;
    }
#endif
    data_ = static_cast<char*>(::operator new(bytes));
}

Block::Block(Block&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      mapped_(std::exchange(other.mapped_, false)) {}

Block& Block::operator=(Block&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        mapped_ = std::exchange(other.mapped_, false);
    }
    return *this;
}

Block::~Block() { release(); }

Block Block::cut_front(std::size_t bytes) {
    Block front(data_, bytes, mapped_);
    data_ += bytes;
    size_ -= bytes;
    return front;
}

void Block::cut_short(std::size_t bytes) {
    const std::size_t kept = whole_pages(bytes);
    if (kept >= size_) return;
    if (kept == 0) {
        release();
        return;
    }
#if defined(__linux__)
    ::munmap(data_ + kept, size_ - kept);
#endif
    size_ = kept;
}

void Block::grow(std::size_t bytes) {
    const std::size_t wanted = whole_pages(bytes);
    if (wanted <= size_) return;
#if defined(__linux__) && defined(KORVALLE_THREAD_SANITIZER)
    // ThreadSanitizer does not see pages that mremap moves: what it recorded of their new place
    // (memory mapped there before, a thread's stack) would be taken for races with the writes
    // to them. Under it they are copied into a fresh mapping, which it does see.
    Block grown(wanted);
    std::memcpy(grown.data_, data_, size_);
    *this = std::move(grown);
#elif defined(__linux__)
    // The pages move with their contents, without a copy; those added are cleared when first used.
    void* moved = ::mremap(data_, size_, wanted, MREMAP_MAYMOVE);
    if (moved == MAP_FAILED) throw std::bad_alloc();
    data_ = static_cast<char*>(moved);
    size_ = wanted;
#else
    throw std::bad_alloc();
#endif
}

void Block::discard_from(std::size_t bytes) noexcept {
    const std::size_t kept = whole_pages(bytes);
    if (!mapped_ || kept >= size_) return;
#if defined(__linux__)
    ::madvise(data_ + kept, size_ - kept, MADV_DONTNEED);
#endif
}

std::uint64_t Block::held_bytes(std::size_t written) const {
    if (mapped_) return std::min<std::uint64_t>(size_, whole_pages(written));
    return data_ ? allocation_bytes(size_) : 0;
}

void Block::release() noexcept {
    if (!data_) return;
#if defined(__linux__)
    if (mapped_) ::munmap(data_, size_);
    else ::operator delete(data_);
#else
    ::operator delete(data_);
#endif
    data_ = nullptr;
    size_ = 0;
    mapped_ = false;
}

namespace {

class SystemBlocks final : public BlockSource {
public:
    Block take(std::size_t bytes) override { return Block(bytes); }
    void give_back(Block, std::size_t) noexcept override {}
};

}  // namespace

const Blocks& system_blocks() {
    static const Blocks system = std::make_shared<SystemBlocks>();
    return system;
}

}  // namespace korvalle::memory
