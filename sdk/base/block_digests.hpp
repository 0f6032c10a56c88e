// The digests of a file's bytes in fixed blocks from its start, taken as a read streams them by,
// so that a later read can tell whether bytes it does not read again are still those read: it
// reads only the blocks it checks, and digests them (a pass over the page cache, not a parse).
#pragma once

#include "sdk/base/fast_hash.hpp"
#include "sdk/base/files.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace korvalle::files {

struct BlockDigests {
    static constexpr std::size_t block_bytes = std::size_t{64} << 10;

    std::vector<std::uint64_t> blocks;  // digest::fast_hash of each whole block, in file order
    std::uint64_t tail = 0;             // of the bytes after them (fewer than a block)
    std::uint64_t size = 0;             // the bytes digested: [0, size)

    // Whether the file still holds the bytes digested in every block that [from, to) touches
    // (the last block as far as it was digested). False when a read fails, or when [from, to)
    // reaches past what was digested.
    bool unchanged(const RegularFile& file, std::uint64_t from, std::uint64_t to) const;
    // Whether the first block and `count` more whole blocks picked by `pick` (a number that
    // differs from one check to the next) are unchanged.
    bool samples_unchanged(const RegularFile& file, std::uint64_t pick, int count) const;
    // Bytes held besides the struct itself.
    std::uint64_t held_bytes() const { return blocks.capacity() * sizeof(std::uint64_t); }

    // Appends the digests of the bytes that follow these, taken by a digester that began where
    // these end (BlockDigester(from)): these must end with a whole block unless later digested
    // nothing. Digests taken of a file's parts this way are those of one digester over it all.
    void append(BlockDigests later);
};

// Takes the digests of bytes as a read hands them over, in file order.
class BlockDigester {
public:
    // From the start of a file.
    BlockDigester() = default;
    // From offset from on, a multiple of block_bytes (or the end of the file): the digests then
    // hold only the blocks from there, to be appended to those of the bytes before it.
    explicit BlockDigester(std::uint64_t from) { digests_.size = from; }
    // Goes on from the digests of an earlier read of the same file: reads the bytes after their
    // whole blocks again and checks them. False when they changed or could not be read.
    bool resume(BlockDigests from, const RegularFile& file);

    // Bytes that begin at offset at: what is digested already is passed over. Bytes that would
    // leave a gap after what is digested are not taken, and nothing after them is.
    void feed(std::uint64_t at, std::string_view bytes);
    // The digests of everything fed. The digester is spent.
    BlockDigests finish();

private:
    BlockDigests digests_;
    digest::FastHasher block_;  // of the unfinished last block's bytes
    bool gap_ = false;
};

}  // namespace korvalle::files
