// SHA-256 digests of texts, written as lowercase hex digits (OpenSSL computes them).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

namespace korvalle::digest {

// The first `bytes` bytes of the SHA-256 digest of the text (all 32 at most), as 2 × bytes
// lowercase hex digits.
std::string sha256_hex(std::string_view text, std::size_t bytes);

// A SHA-256 digest fed text by text, for texts that are never held all at once; its context is
// freed on every path out.
class Sha256 {
public:
    Sha256();
    void update(std::string_view text);
    // The first `bytes` bytes of the digest of everything fed (all 32 at most), as lowercase hex
    // digits. Ends the digest: asked once.
    std::string hex(std::size_t bytes);

private:
    std::unique_ptr<evp_md_ctx_st, void (*)(evp_md_ctx_st*)> context_;
};

}  // namespace korvalle::digest
