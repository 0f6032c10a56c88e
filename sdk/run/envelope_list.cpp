#include "sdk/run/envelope_list.hpp"

#include <algorithm>
#include <new>

namespace korvalle::views {

namespace {


constexpr std::size_t first_capacity = 16;

}  // namespace

EnvelopeList::Store::~Store() {
    // The envelopes go before the arenas their values live in.
    for (std::size_t i = 0; i < filled; ++i) slots[i].~Envelope();
}

void EnvelopeList::Store::make_room(std::size_t slots_wanted) {
    room = memory::Block(slots_wanted * sizeof(event::Envelope));
    slots = reinterpret_cast<event::Envelope*>(room.data());
    capacity = slots_wanted;
}

EnvelopeList::EnvelopeList(std::vector<event::Envelope> envelopes) {
    store_ = std::make_shared<Store>();
    store_->make_room(std::max(envelopes.size(), first_capacity));
    for (event::Envelope& envelope : envelopes) {
        new (store_->slots + store_->filled) event::Envelope(std::move(envelope));
        store_->heap_bytes += heap_bytes(store_->slots[store_->filled++]);
    }
    count_ = store_->filled;
    take_figures();
}

void EnvelopeList::open_arena(std::size_t first_block, std::size_t room) {
    if (!store_) {
        store_ = std::make_shared<Store>();
        store_->make_room(std::max(room, first_capacity));
    }
    store_->arenas.push_back(std::make_unique<json::Arena>(first_block));
}

event::Envelope& EnvelopeList::next() {
    if (!store_) open_arena();
    // Slots past this list's last may hold another view's envelopes: never write over them.
    if (store_->filled != count_ || count_ == store_->capacity) move_to_new_store(std::max(2 * count_, first_capacity));
    return *new (store_->slots + count_) event::Envelope(store_->arenas.back()->storage());
}

void EnvelopeList::keep() {
    store_->heap_bytes += heap_bytes(store_->slots[count_]);
    store_->filled = ++count_;
}

void EnvelopeList::drop() { store_->slots[count_].~Envelope(); }

std::span<event::Envelope> EnvelopeList::sorted() { return {store_ ? store_->slots : nullptr, count_}; }

void EnvelopeList::seal() {
    if (store_ && !store_->arenas.empty()) store_->arenas.back()->seal();
    take_figures();
}

void EnvelopeList::take_figures() {
    arena_bytes_ = 0;
    held_bytes_ = 0;
    if (!store_) return;
    for (const auto& arena : store_->arenas) arena_bytes_ += arena->bytes();
    // The room for slots is reserved from a guess at the journal's length, and only the slots
    // written hold memory: envelopes were made up to the slot past the last one kept (a line
    // that made none).
    const std::size_t written = std::min(store_->filled + 1, store_->capacity) * sizeof(event::Envelope);
    held_bytes_ = arena_bytes_ + store_->room.held_bytes(written) + store_->heap_bytes;
}

void EnvelopeList::reorder(const std::vector<const event::Envelope*>& order) {
    move_to_new_store(std::max(store_ ? store_->capacity : 0, first_capacity), &order);
}

void EnvelopeList::move_to_new_store(std::size_t capacity, const std::vector<const event::Envelope*>* order) {
    auto fresh = std::make_shared<Store>();
    fresh->make_room(std::max(capacity, count_));
    const auto source = [&](std::size_t i) -> event::Envelope& {
        return const_cast<event::Envelope&>(order ? *(*order)[i] : store_->slots[i]);
    };
    // Alone, the envelopes move with their arenas; shared, they are copied into a new arena,
    // as the other lists read the store as it is.
    const bool alone = store_.use_count() == 1 && store_->filled == count_;
    if (alone) {
        for (std::size_t i = 0; i < count_; ++i) new (fresh->slots + fresh->filled++) event::Envelope(std::move(source(i)));
        fresh->arenas = std::move(store_->arenas);
        fresh->heap_bytes = store_->heap_bytes;
    } else {
        seal();
        fresh->arenas.push_back(std::make_unique<json::Arena>());
        const boost::json::storage_ptr storage = fresh->arenas.back()->storage();
        for (std::size_t i = 0; i < count_; ++i) {
            // Assigned into an envelope made for the new arena, the values are copied there.
            (*new (fresh->slots + fresh->filled) event::Envelope(storage)) = source(i);
            fresh->heap_bytes += heap_bytes(fresh->slots[fresh->filled++]);
        }
        fresh->arenas.back()->seal();
        // The values read next go into an arena of their own.
        fresh->arenas.push_back(std::make_unique<json::Arena>());
    }
    store_ = std::move(fresh);
    take_figures();
}

std::uint64_t EnvelopeList::heap_bytes(const event::Envelope& envelope) {
    using memory::heap_bytes;
    std::uint64_t bytes = envelope.ts.heap_bytes() + heap_bytes(envelope.stream) + heap_bytes(envelope.kind);
    bytes += envelope.labels.heap_bytes() + envelope.payload.heap_bytes();
    bytes += envelope.artifacts.capacity() * sizeof(event::ArtifactRef);
    for (const event::ArtifactRef& ref : envelope.artifacts) bytes += heap_bytes(ref.id) + heap_bytes(ref.kind);
    return bytes;
}

}  // namespace korvalle::views
