#include "sdk/base/digest.hpp"

#include <openssl/evp.h>

#include <algorithm>

namespace korvalle::digest {

namespace {

std::string hex_of(const unsigned char* digest, unsigned int length, std::size_t bytes) {
    static constexpr char hex[] = "0123456789abcdef";
    bytes = std::min<std::size_t>(bytes, length);
    std::string out(2 * bytes, '0');
    for (std::size_t i = 0; i < bytes; ++i) {
        out[2 * i] = hex[digest[i] >> 4];
        out[2 * i + 1] = hex[digest[i] & 0x0f];
    }
    return out;
}

}  // namespace

std::string sha256_hex(std::string_view text, std::size_t bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE] = {};
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr);
    return hex_of(digest, length, bytes);
}

Sha256::Sha256() : context_(EVP_MD_CTX_new(), EVP_MD_CTX_free) {
    EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr);
}

void Sha256::update(std::string_view text) { EVP_DigestUpdate(context_.get(), text.data(), text.size()); }

std::string Sha256::hex(std::size_t bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE] = {};
    unsigned int length = 0;
    EVP_DigestFinal_ex(context_.get(), digest, &length);
    return hex_of(digest, length, bytes);
}

}  // namespace korvalle::digest
