// The room for what is kept beside one view (its indexes, texts and round objects): the run
// cache keeps a view while it fits its bound alone, and keeps beside it only what fits there too;
// what does not is made again for each document that needs it.
//
// Threads: the documents of one view take room from any thread at once, so the count is an
// atomic, and relaxed order is enough: it publishes nothing (what is kept is handed over under
// the lock of its part or of the rounds), a take that fits is one atomic step however many race,
// so the count never passes the limit, and the run cache reads the count under its own lock,
// which each document takes after its takes to have them counted (RunCache::count_indexes): the
// count read there holds the takes of every document that had them counted before.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>

namespace korvalle::store {

class KeptRoom {
public:
    static constexpr std::uint64_t unbounded = std::numeric_limits<std::uint64_t>::max();

    explicit KeptRoom(std::uint64_t limit = unbounded) : limit_(limit) {}
    KeptRoom(const KeptRoom&) = delete;
    KeptRoom& operator=(const KeptRoom&) = delete;

    // Counts bytes more when they fit beside those counted; counts nothing and is false otherwise.
    bool take(std::uint64_t bytes) {
        std::uint64_t held = bytes_.load(std::memory_order_relaxed);
        do {
            if (bytes > limit_ - held) return false;
        } while (!bytes_.compare_exchange_weak(held, held + bytes, std::memory_order_relaxed));
        return true;
    }
    // Counts bytes taken before no more.
    void give_back(std::uint64_t bytes) { bytes_.fetch_sub(bytes, std::memory_order_relaxed); }

    // The bytes counted.
    std::uint64_t bytes() const { return bytes_.load(std::memory_order_relaxed); }

private:
    const std::uint64_t limit_;
    std::atomic<std::uint64_t> bytes_{0};
};

}  // namespace korvalle::store
