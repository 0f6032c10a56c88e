// A fast 64-bit hash of bytes, to tell whether a file's bytes are still those read before without
// keeping them. It is no defence against someone who chooses the bytes (they can make two texts
// hash alike), only against chance, which a 64-bit hash leaves at about one in 2^64.
#pragma once

#include <cstdint>
#include <string_view>

namespace korvalle::digest {

// Mixes every byte and the length; reads the bytes in words of eight, four words at once, at a
// few bytes per cycle: a page-cache copy of the same bytes costs about as much.
std::uint64_t fast_hash(std::string_view bytes);

}  // namespace korvalle::digest
