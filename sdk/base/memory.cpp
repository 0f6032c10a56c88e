#include "sdk/base/memory.hpp"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace korvalle::memory {

namespace {

// glibc's largest mmap threshold: room of at least this size is a mapping of its own, so the
// advice ends with the text and never marks memory that the heap hands out again.
constexpr std::size_t mapping_bytes = 32 * 1024 * 1024;

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

}  // namespace korvalle::memory
