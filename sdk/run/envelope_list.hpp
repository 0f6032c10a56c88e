// A view's envelopes in merge order, with the arenas their JSON values live in: one arena per
// read of the journal, sealed once that read is done, so that a journal read again from where
// it stopped adds an arena and never touches the values already read.
#pragma once

#include "sdk/base/arena.hpp"
#include "sdk/journal/event.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace korvalle::views {

class EnvelopeList {
public:
    EnvelopeList() = default;
    // Takes envelopes whose values name their own storage.
    explicit EnvelopeList(std::vector<event::Envelope> envelopes) : list_(std::move(envelopes)) {}
    // A copy holds copies of the values in an arena of its own: the other's arenas are sealed.
    EnvelopeList(const EnvelopeList& other);
    EnvelopeList& operator=(const EnvelopeList& other);
    EnvelopeList(EnvelopeList&&) noexcept = default;
    EnvelopeList& operator=(EnvelopeList&&) noexcept = default;

    const std::vector<event::Envelope>& all() const { return list_; }
    operator const std::vector<event::Envelope>&() const { return list_; }
    auto begin() const { return list_.begin(); }
    auto end() const { return list_.end(); }
    std::size_t size() const { return list_.size(); }
    bool empty() const { return list_.empty(); }
    const event::Envelope& back() const { return list_.back(); }
    const event::Envelope& operator[](std::size_t i) const { return list_[i]; }

    // For the reader of the journal: a new arena for the values of the envelopes read next
    // (the earlier ones stay sealed), the list itself, and the seal once the read is done.
    boost::json::storage_ptr open_arena(std::size_t first_block = json::Arena::block_bytes);
    std::vector<event::Envelope>& list() { return list_; }
    void seal();

    // Counts the heap bytes of an envelope the reader put in the list.
    void count(const event::Envelope& envelope) { heap_bytes_ += heap_bytes(envelope); }

    // The bytes of the arenas' blocks.
    std::uint64_t arena_bytes() const;
    // The bytes of the list and of the texts its envelopes own (counted as they were read).
    std::uint64_t list_bytes() const { return list_.capacity() * sizeof(event::Envelope) + heap_bytes_; }

    // The heap bytes of an envelope's own texts and artifact list, with the allocator's headers.
    static std::uint64_t heap_bytes(const event::Envelope& envelope);

private:
    std::vector<std::unique_ptr<json::Arena>> arenas_;  // declared first, so they go last
    std::vector<event::Envelope> list_;
    std::uint64_t heap_bytes_ = 0;
};

}  // namespace korvalle::views
