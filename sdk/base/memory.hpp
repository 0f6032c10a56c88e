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

// The bytes a text written once front to back holds (a text kept with a view, which is never
// written again): its allocation, except that large room holds only the pages its bytes were
// written to. The kernel makes a page when it is first written, and large room (a mapping of its
// own, or the heap's room past what it used before) mostly never is when it was reserved for a
// text of unknown length.
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
    // The bytes the block holds once its first `written` bytes were written: a block from the
    // heap its whole allocation; one from the kernel the pages written (the kernel makes a page
    // when it is first written), whole huge pages where it asked for them.
    std::uint64_t held_bytes(std::size_t written) const;

private:
    void release() noexcept;

    char* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace korvalle::memory
