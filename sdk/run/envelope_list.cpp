#include "sdk/run/envelope_list.hpp"

namespace korvalle::views {

EnvelopeList::EnvelopeList(const EnvelopeList& other) { *this = other; }

EnvelopeList& EnvelopeList::operator=(const EnvelopeList& other) {
    if (this == &other) return *this;
    list_.clear();
    arenas_.clear();
    const boost::json::storage_ptr storage = open_arena();
    list_.reserve(other.list_.size());
    // Assigned into an envelope made for the new arena, the JSON values are copied there.
    for (const event::Envelope& envelope : other.list_) list_.emplace_back(storage) = envelope;
    seal();
    return *this;
}

boost::json::storage_ptr EnvelopeList::open_arena() {
    arenas_.push_back(std::make_unique<json::Arena>());
    return arenas_.back()->storage();
}

void EnvelopeList::seal() {
    if (!arenas_.empty()) arenas_.back()->seal();
}

std::uint64_t EnvelopeList::arena_bytes() const {
    std::uint64_t bytes = 0;
    for (const auto& arena : arenas_) bytes += arena->bytes();
    return bytes;
}

}  // namespace korvalle::views
