#include "sdk/base/block_digests.hpp"

#include "sdk/base/fast_hash.hpp"

#include <algorithm>

namespace korvalle::files {

namespace {

constexpr std::uint64_t block = BlockDigests::block_bytes;

// Whether the bytes [at, at + length) of the file digest to digest. One buffer serves a whole
// check: its room is made once.
bool digests_to(const RegularFile& file, std::uint64_t at, std::uint64_t length, std::uint64_t digest,
                std::string& buffer) {
    return file.read_at(at, static_cast<std::size_t>(length), buffer) == 0 && buffer.size() == length &&
           digest::fast_hash(buffer) == digest;
}

// A mixing of two numbers into a third that looks unrelated to both.
std::uint64_t mixed(std::uint64_t a, std::uint64_t b) {
    const std::uint64_t words[2] = {a, b};
    return digest::fast_hash(std::string_view(reinterpret_cast<const char*>(words), sizeof words));
}

}  // namespace

bool BlockDigests::unchanged(const RegularFile& file, std::uint64_t from, std::uint64_t to) const {
    if (to > size) return false;
    std::string buffer;
    for (std::uint64_t index = from / block; index * block < to; ++index) {
        const bool whole = index < blocks.size();
        const std::uint64_t length = whole ? block : size - index * block;
        if (!digests_to(file, index * block, length, whole ? blocks[index] : tail, buffer)) return false;
    }
    return true;
}

bool BlockDigests::samples_unchanged(const RegularFile& file, std::uint64_t pick, int count) const {
    if (blocks.empty()) return true;
    std::string buffer;
    if (!digests_to(file, 0, block, blocks[0], buffer)) return false;
    for (int i = 0; i < count && blocks.size() > 1; ++i) {
        const std::uint64_t index = 1 + mixed(pick, static_cast<std::uint64_t>(i)) % (blocks.size() - 1);
        if (!digests_to(file, index * block, block, blocks[index], buffer)) return false;
    }
    return true;
}

void BlockDigests::append(BlockDigests later) {
    if (later.size == size) return;
    blocks.insert(blocks.end(), later.blocks.begin(), later.blocks.end());
    tail = later.tail;
    size = later.size;
}

bool BlockDigester::resume(BlockDigests from, const RegularFile& file) {
    digests_ = std::move(from);
    const std::uint64_t start = digests_.blocks.size() * block;
    if (digests_.size < start || digests_.size - start >= block) return false;
    std::string tail;
    if (file.read_at(start, static_cast<std::size_t>(digests_.size - start), tail) != 0 ||
        tail.size() != digests_.size - start) {
        return false;
    }
    block_.update(tail);
    return block_.digest() == digests_.tail;
}

void BlockDigester::feed(std::uint64_t at, std::string_view bytes) {
    if (gap_ || at + bytes.size() <= digests_.size) return;
    if (at > digests_.size) {
        gap_ = true;
        return;
    }
    bytes.remove_prefix(static_cast<std::size_t>(digests_.size - at));
    while (!bytes.empty()) {
        const std::size_t room = static_cast<std::size_t>(block - digests_.size % block);
        const std::size_t taken = std::min(room, bytes.size());
        block_.update(bytes.substr(0, taken));
        bytes.remove_prefix(taken);
        digests_.size += taken;
        if (taken == room) {
            digests_.blocks.push_back(block_.digest());
            block_ = digest::FastHasher();
        }
    }
}

BlockDigests BlockDigester::finish() {
    digests_.tail = block_.digest();
    return std::move(digests_);
}

}  // namespace korvalle::files
