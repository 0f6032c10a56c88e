// Memory for large texts and blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>

namespace korvalle::memory {

// Reserves room for a text of up to `bytes` bytes that is written once, front to back. Room of
// tens of megabytes is also offered to the kernel for huge pages: the written part is then
// faulted in a few times instead of once for every 4 KiB, which otherwise costs about a fifth of
// writing a large document. Room never written costs no memory either way.
void reserve_large(std::string& text, std::size_t bytes);

// The heap bytes one allocation of `requested` bytes takes: with the allocator's 8-byte header,
// rounded to its 16-byte steps.
constexpr std::uint64_t allocation_bytes(std::uint64_t requested) { return (requested + 8 + 15) & ~std::uint64_t{15}; }

// The heap bytes a text owns: none within the small-string room, else the allocation of its
// capacity and NUL.
std::uint64_t heap_bytes(const std::string& text);

// glibc's largest mmap threshold: heap room of this size or more is always a mapping of its own.
inline constexpr std::size_t mapping_bytes = 32 * 1024 * 1024;

// The bytes that room of `room` bytes holds once its first `written` bytes were written. Room
// from the heap holds its whole allocation. Mapped room (mapped: a mapped Block, or heap room of
// mapping_bytes and more) is pages of its own, which the kernel makes only when they are first
// written: it holds the pages written, and a large reservation mostly never is.
std::uint64_t room_bytes(std::size_t room, std::size_t written, bool mapped);
// The bytes a text written once front to back holds (a text kept with a view, which is never
// written again): room_bytes of its allocation, written up to its NUL.
std::uint64_t written_bytes(const std::string& text);

// A block of memory that goes back to the system as soon as it is freed. glibc serves large
// requests with mappings of their own, but raises that threshold to the size of every mapping
// freed, so blocks of one size, once one was freed, would come from its heap and stay there after
// they are freed: blocks from bytes_from_kernel on are mappings of their own here, the smaller
// ones come from the heap.
class Block {
public:
    static constexpr std::size_t bytes_from_kernel = 128 * 1024;

    // Throws std::bad_alloc when the memory cannot be had. Its bytes are not initialised.
    explicit Block(std::size_t bytes);
    Block(Block&& other) noexcept;
    Block& operator=(Block&& other) noexcept;
    ~Block();

    char* data() const { return data_; }
    std::size_t size() const { return size_; }
    // Whether the block is pages mapped for it alone, which hold memory once written.
    bool mapped() const;

private:
    void release() noexcept;

    char* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace korvalle::memory
