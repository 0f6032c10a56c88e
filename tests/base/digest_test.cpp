// SHA-256 digests as lowercase hex, whole or fed text by text.
#include "sdk/base/digest.hpp"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace korvalle::digest
