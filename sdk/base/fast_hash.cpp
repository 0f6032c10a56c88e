#include "sdk/base/fast_hash.hpp"

#include <bit>
#include <cstring>

namespace korvalle::digest {

namespace {

// Odd constants with well-spread bits: multiplying by them carries every bit of a word into
// the high half, which the rotations bring back down.
constexpr std::uint64_t k1 = 0x9e3779b97f4a7c15;
constexpr std::uint64_t k2 = 0xbf58476d1ce4e5b9;
constexpr std::uint64_t k3 = 0x94d049bb133111eb;
constexpr std::uint64_t k4 = 0xd6e8feb86659fd93;

std::uint64_t word_at(const unsigned char* p) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

std::uint64_t lane(std::uint64_t accumulated, std::uint64_t word) {
    return std::rotl(accumulated + word * k2, 31) * k1;
}

// Every input bit reaches every output bit.
std::uint64_t finish(std::uint64_t h) {
    h ^= h >> 30;
    h *= k2;
    h ^= h >> 27;
    h *= k3;
    return h ^ (h >> 31);
}

}  // namespace

std::uint64_t fast_hash(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t left = bytes.size();
    std::uint64_t h = k4 ^ (bytes.size() * k1);
    if (left >= 32) {
        // Four independent lanes keep the multipliers busy; they are folded together after.
        std::uint64_t a = k1, b = k2, c = k3, d = k4;
        while (left >= 32) {
            a = lane(a, word_at(p));
            b = lane(b, word_at(p + 8));
            c = lane(c, word_at(p + 16));
            d = lane(d, word_at(p + 24));
            p += 32;
            left -= 32;
        }
        h += std::rotl(a, 1) + std::rotl(b, 7) + std::rotl(c, 12) + std::rotl(d, 18);
        for (const std::uint64_t lane_value : {a, b, c, d}) h = (h ^ lane(0, lane_value)) * k1 + k4;
    }
    for (; left >= 8; p += 8, left -= 8) h = std::rotl(h ^ lane(0, word_at(p)), 27) * k1 + k4;
    for (; left > 0; ++p, --left) h = std::rotl(h ^ (*p * k3), 11) * k1;
    return finish(h);
}

}  // namespace korvalle::digest
