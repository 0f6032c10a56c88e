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
    heap_bytes_ = other.heap_bytes_;
    seal();
    return *this;
}

std::uint64_t EnvelopeList::heap_bytes(const event::Envelope& envelope) {
    // A text past the small-string room takes its capacity, its NUL and the allocator's header,
    // rounded to the allocator's 16 bytes.
    const auto text = [](const std::string& s) -> std::uint64_t {
        constexpr std::size_t small = std::string().capacity();
        return s.capacity() > small ? (s.capacity() + 1 + 8 + 15) & ~std::uint64_t{15} : 0;
    };
    const auto maybe = [&](const std::optional<std::string>& s) { return s ? text(*s) : 0; };
    const event::Labels& labels = envelope.labels;
    std::uint64_t bytes = text(envelope.ts) + text(envelope.stream) + text(envelope.kind);
    bytes += maybe(labels.run_id) + maybe(labels.node) + maybe(labels.persona) + maybe(labels.step);
    bytes += envelope.artifacts.capacity() * sizeof(event::ArtifactRef);
    for (const event::ArtifactRef& ref : envelope.artifacts) bytes += text(ref.id) + text(ref.kind);
    return bytes;
}

boost::json::storage_ptr EnvelopeList::open_arena(std::size_t first_block) {
    arenas_.push_back(std::make_unique<json::Arena>(first_block));
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
