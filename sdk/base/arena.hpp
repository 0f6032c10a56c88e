// One arena for the JSON values of one run view: memory is taken from large blocks by bumping a
// pointer and is never given back one value at a time; the blocks go all at once when the last
// value that uses the arena is gone. Opening a run allocates some ten values per journal line,
// and freeing them one by one (with glibc merging free blocks) costs as much as reading them.
//
// Values keep the arena alive through their storage pointer (make_arena gives a counted one).
// Allocation takes a spin lock, so a value copied out of a view that several threads read still
// allocates safely; the lock is never contended while a run is opened.
#pragma once

#include <boost/json/memory_resource.hpp>
#include <boost/json/storage_ptr.hpp>

#include <atomic>
#include <cstddef>
#include <memory>
#include <vector>

namespace korvalle::json {

class Arena final : public boost::json::memory_resource {
public:
    Arena() = default;
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;

private:
    void* do_allocate(std::size_t bytes, std::size_t alignment) override;
    void do_deallocate(void*, std::size_t, std::size_t) override {}
    bool do_is_equal(const boost::json::memory_resource& other) const noexcept override { return this == &other; }

    std::atomic_flag busy_;
    std::vector<std::unique_ptr<char[]>> blocks_;
    char* next_ = nullptr;
    char* end_ = nullptr;
};

// A counted storage pointer to a fresh arena.
boost::json::storage_ptr make_arena();

}  // namespace korvalle::json

// Values in an arena skip freeing their parts when they are destroyed.
template <>
struct boost::json::is_deallocate_trivial<korvalle::json::Arena> : std::true_type {};
