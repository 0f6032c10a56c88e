// A fast 64-bit hash of bytes, to tell whether a file's bytes are still those read before without
// keeping them. It is no defence against someone who chooses the bytes (they can make two texts
// hash alike), only against chance, which a 64-bit hash leaves at about one in 2^64.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace korvalle::digest {

// The hash of bytes fed part by part: the same as fast_hash of all of them at once, however
// they are cut. It reads the bytes in words of eight, four words at once, at a few bytes per
// cycle, and keeps at most 31 of them between parts.
class FastHasher {
public:
    FastHasher();
    FastHasher& update(std::string_view bytes);
    // Mixes in the length; the hasher may be fed on after and asked again.
    std::uint64_t digest() const;

private:
    std::array<std::uint64_t, 4> lanes_;
    std::array<unsigned char, 32> held_{};  // bytes that do not fill a stripe of four words yet
    std::size_t held_count_ = 0;
    std::uint64_t length_ = 0;
};

std::uint64_t fast_hash(std::string_view bytes);

}  // namespace korvalle::digest
