#include "sdk/base/memory.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace korvalle::memory {

namespace {

// glibc's largest mmap threshold: room of at least this size is a mapping of its own, so the
// advice ends with the text and never marks memory that the heap hands out again.
constexpr std::size_t mapping_bytes = 32 * 1024 * 1024;
// The size of a transparent huge page on x86-64.
constexpr std::size_t huge_page_bytes = 2 * 1024 * 1024;

}  // namespace

void reserve_large(std::string& text, std::size_t bytes) {
    text.reserve(bytes);
#if defined(MADV_HUGEPAGE)
    if (text.capacity() < mapping_bytes) return;
    // Only whole pages inside the text's room: the advice is given for pages, not bytes.
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto start = reinterpret_cast<std::uintptr_t>(text.data());
    const std::uintptr_t first = (start + page - 1) & ~(page - 1);
    const std::uintptr_t end = (start + text.capacity()) & ~(page - 1);
    // Advice only: where huge pages are off or refused, the text is written all the same.
    if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#endif
}

std::uint64_t heap_bytes(const std::string& text) {
    static const std::size_t small = std::string().capacity();
    return text.capacity() > small ? allocation_bytes(text.capacity() + 1) : 0;
}

namespace {

// The bytes of the pages, of page_bytes each, that the first `written` bytes of room lie in.
std::uint64_t pages_written(std::uint64_t written, std::uint64_t page_bytes) {
    return (written + page_bytes - 1) / page_bytes * page_bytes;
}

std::uint64_t page_bytes() {
    static const std::uint64_t page = [] {
#if defined(__linux__)
        if (const long size = sysconf(_SC_PAGESIZE); size > 0) return static_cast<std::uint64_t>(size);
#endif
        return std::uint64_t{4096};
    }();
    return page;
}

}  // namespace

std::uint64_t written_bytes(const std::string& text) {
    const std::uint64_t heap = heap_bytes(text);
    // glibc maps room of Block::bytes_from_kernel and more of its own at first, with its 16-byte
    // header in the first page.
    if (text.capacity() + 1 < Block::bytes_from_kernel) return heap;
    return std::min(heap, pages_written(text.size() + 1 + 16, page_bytes()));
}

Block::Block(std::size_t bytes) : size_(bytes) {
#if defined(__linux__)
    if (bytes >= bytes_from_kernel) {
        void* mapped = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED) throw std::bad_alloc();
        data_ = static_cast<char*>(mapped);
#if defined(MADV_HUGEPAGE)
        // A block filled front to back is faulted in a few times, not once every 4 KiB.
        if (bytes >= huge_page_bytes) ::madvise(mapped, bytes, MADV_HUGEPAGE);
#endif
        return;
    }
#endif
    data_ = static_cast<char*>(::operator new(bytes));
}

Block::Block(Block&& other) noexcept : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

Block& Block::operator=(Block&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

Block::~Block() { release(); }

std::uint64_t Block::held_bytes(std::size_t written) const {
#if defined(__linux__)
    if (size_ >= bytes_from_kernel) {
#if defined(MADV_HUGEPAGE)
        const std::uint64_t page = size_ >= huge_page_bytes ? huge_page_bytes : page_bytes();
#else
        const std::uint64_t page = page_bytes();
#endif
        return std::min<std::uint64_t>(size_, pages_written(written, page));
    }
#endif
    return allocation_bytes(size_);
}

void Block::release() noexcept {
    if (!data_) return;
#if defined(__linux__)
    if (size_ >= bytes_from_kernel) {
        ::munmap(data_, size_);
        data_ = nullptr;
        return;
    }
#endif
    ::operator delete(data_);
    data_ = nullptr;
}

}  // namespace korvalle::memory
