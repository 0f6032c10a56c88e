// SHA-256 digests as lowercase hex, whole or fed text by text; the fast hash of bytes.
#include "sdk/base/digest.hpp"

#include "sdk/base/fast_hash.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace korvalle::digest {
namespace {

TEST(Sha256Hex, FirstBytesInLowercaseHex) {
    EXPECT_EQ(sha256_hex("", 6), "e3b0c44298fc");
    EXPECT_EQ(sha256_hex("abc", 6), "ba7816bf8f01");
    EXPECT_NE(sha256_hex(std::string("a\0b", 3), 6), sha256_hex("a", 6));  // the whole bytes, past a NUL

    Sha256 fed;
    fed.update("a");
    fed.update("bc");
    EXPECT_EQ(fed.hex(8), sha256_hex("abc", 8));
}

// Every byte counts wherever it lies (in the words of four lanes, the words after them, the last
// bytes), and so does the length: each single bit flipped, and each length of the same bytes,
// gives a hash of its own. Fed in parts, cut anywhere, the hash is that of the whole.
TEST(FastHash, EveryBitAndTheLengthCountAndPartsHashAsTheWhole) {
    std::string text;
    for (int i = 0; i < 300; ++i) text += static_cast<char>(i * 7 + i / 13 + 1);
    const std::string_view head = std::string_view(text).substr(0, 77);
    std::set<std::uint64_t> seen{fast_hash(head)};
    for (std::size_t i = 0; i < head.size() * 8; ++i) {
        std::string flipped(head);
        flipped[i / 8] = static_cast<char>(flipped[i / 8] ^ (1 << (i % 8)));
        EXPECT_TRUE(seen.insert(fast_hash(flipped)).second) << i / 8 << " " << i % 8;
    }
    for (std::size_t length = 0; length < head.size(); ++length) {
        EXPECT_TRUE(seen.insert(fast_hash(std::string(length, '\0'))).second) << length;
        EXPECT_TRUE(length == 0 || seen.insert(fast_hash(head.substr(0, length))).second) << length;
    }
    for (std::size_t first = 0; first <= text.size(); first += 7) {
        for (std::size_t second = first; second <= text.size(); second += 11) {
            FastHasher parts;
            parts.update(text.substr(0, first)).update(text.substr(first, second - first)).update(text.substr(second));
            EXPECT_EQ(parts.digest(), fast_hash(text)) << first << " " << second;
        }
    }
}

}  // namespace
}  // namespace korvalle::digest
