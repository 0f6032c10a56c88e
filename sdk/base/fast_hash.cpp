#include "sdk/base/fast_hash.hpp"

#include <algorithm>
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
constexpr std::array<std::uint64_t, 4> lanes_start = {k1, k2, k3, k4};
constexpr std::size_t stripe = 32;

std::uint64_t word_at(const unsigned char* p) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

std::uint64_t lane(std::uint64_t accumulated, std::uint64_t word) {
    return std::rotl(accumulated + word * k2, 31) * k1;
}

// Four independent lanes keep the multipliers busy.
void stripes(std::array<std::uint64_t, 4>& lanes, const unsigned char* p, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i, p += stripe) {
        lanes[0] = lane(lanes[0], word_at(p));
        lanes[1] = lane(lanes[1], word_at(p + 8));
        lanes[2] = lane(lanes[2], word_at(p + 16));
        lanes[3] = lane(lanes[3], word_at(p + 24));
    }
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

FastHasher::FastHasher() : lanes_(lanes_start) {}

FastHasher& FastHasher::update(std::string_view bytes) {
    length_ += bytes.size();
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t left = bytes.size();
    if (held_count_ > 0) {
        const std::size_t taken = std::min(left, stripe - held_count_);
        std::memcpy(held_.data() + held_count_, p, taken);
        held_count_ += taken;
        p += taken;
        left -= taken;
        if (held_count_ < stripe) return *this;
        stripes(lanes_, held_.data(), 1);
        held_count_ = 0;
    }
    stripes(lanes_, p, left / stripe);
    p += left / stripe * stripe;
    left %= stripe;
    std::memcpy(held_.data(), p, left);
    held_count_ = left;
    return *this;
}

std::uint64_t FastHasher::digest() const {
    std::uint64_t h = k4 ^ (length_ * k1);
    if (length_ >= stripe) {
        h += std::rotl(lanes_[0], 1) + std::rotl(lanes_[1], 7) + std::rotl(lanes_[2], 12) + std::rotl(lanes_[3], 18);
        for (const std::uint64_t lane_value : lanes_) h = (h ^ lane(0, lane_value)) * k1 + k4;
    }
    const unsigned char* p = held_.data();
    std::size_t left = held_count_;
    for (; left >= 8; p += 8, left -= 8) h = std::rotl(h ^ lane(0, word_at(p)), 27) * k1 + k4;
    for (; left > 0; ++p, --left) h = std::rotl(h ^ (*p * k3), 11) * k1;
    return finish(h);
}

std::uint64_t fast_hash(std::string_view bytes) { return FastHasher().update(bytes).digest(); }

}  // namespace korvalle::digest
