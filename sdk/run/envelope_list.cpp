#include "sdk/run/envelope_list.hpp"

#include "sdk/journal/journal.hpp"

#include <algorithm>
#include <cassert>
#include <limits>
#include <new>
#include <numeric>
#include <utility>

namespace korvalle::views {

namespace {

constexpr std::size_t first_capacity = 16;

}  // namespace

EnvelopeList::Store::~Store() {
    // The envelopes go before the arenas their values live in.
    for (std::size_t i = 0; i < filled; ++i) slots[i].~Envelope();
    blocks->give_back(std::move(room), written_bytes());
}

// Envelopes were made in the slots up to the one past the last kept (a line that made none).
std::size_t EnvelopeList::Store::written_bytes() const {
    return std::min(filled + 1, capacity) * sizeof(event::Envelope);
}

// Slots are only ever constructed into, so a block that held other bytes serves.
void EnvelopeList::Store::make_room(std::size_t slots_wanted) {
    room = blocks->take(slots_wanted * sizeof(event::Envelope));
    slots = reinterpret_cast<event::Envelope*>(room.data());
    capacity = room.size() / sizeof(event::Envelope);
}

void EnvelopeList::Store::open_arena(std::size_t first_block) {
    arenas.push_back(std::make_unique<json::Arena>(first_block, blocks));
}

#ifndef NDEBUG
EnvelopeList::Appending::Appending(const EnvelopeList& list) : store_(list.store_) {
    [[maybe_unused]] const bool another = list.store_ && list.store_->appending.exchange(true);
    assert(!another && "two reads append behind lists of one envelope store at once");
}

EnvelopeList::Appending::~Appending() {
    if (const std::shared_ptr<Store> store = store_.lock()) store->appending = false;
}
#else
EnvelopeList::Appending::Appending(const EnvelopeList&) {}
EnvelopeList::Appending::~Appending() = default;
#endif

EnvelopeList::Order::Order(std::size_t capacity)
    : room(capacity * sizeof(std::uint32_t)), at(reinterpret_cast<std::uint32_t*>(room.data())), capacity(capacity) {}

EnvelopeList::EnvelopeList(std::vector<event::Envelope> envelopes) {
    store_ = std::make_shared<Store>(blocks_);
    store_->make_room(std::max(envelopes.size(), first_capacity));
    for (event::Envelope& envelope : envelopes) {
        new (store_->slots + store_->filled) event::Envelope(std::move(envelope));
        store_->heap_bytes += heap_bytes(store_->slots[store_->filled++]);
    }
    count_ = store_->filled;
    point_at_stores();
    take_figures();
}

EnvelopeList& EnvelopeList::operator=(EnvelopeList&& other) noexcept {
    if (this == &other) return *this;
    blocks_ = other.blocks_;
    store_ = std::move(other.store_);
    order_owner_ = std::move(other.order_owner_);
    count_ = std::exchange(other.count_, 0);
    arena_bytes_ = std::exchange(other.arena_bytes_, 0);
    held_bytes_ = std::exchange(other.held_bytes_, 0);
    point_at_stores();
    other.point_at_stores();
    return *this;
}

bool EnvelopeList::slot_before(std::size_t a, std::size_t b) const {
    if (journal::before_in_merge_order(slots_[a], slots_[b])) return true;
    return a < b && !journal::before_in_merge_order(slots_[b], slots_[a]);
}

bool EnvelopeList::shares_slots(const Lineage& lineage, std::size_t count) const {
    // Slots are written once: lists of one store hold the same envelopes in the slots both see.
    const Lineage own = store_;
    return count <= count_ && !lineage.owner_before(own) && !own.owner_before(lineage);
}

void EnvelopeList::open_arena(std::size_t first_block, std::size_t room) {
    if (!store_) {
        store_ = std::make_shared<Store>(blocks_);
        store_->make_room(std::max(room, first_capacity));
        point_at_stores();
    }
    store_->open_arena(first_block);
}

event::Envelope& EnvelopeList::next() {
    if (!store_) open_arena();
    // Positions and slots are kept in 32 bits: a journal of four billion envelopes could not be
    // held in memory anyway.
    if (count_ == std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
    // Slots past this list's last may hold another view's envelopes: never write over them.
    if (store_->filled != count_ || count_ == store_->capacity) move_to_new_store(std::max(2 * count_, first_capacity));
    return *new (store_->slots + count_) event::Envelope(store_->arenas.back()->storage());
}

void EnvelopeList::keep() {
    store_->heap_bytes += heap_bytes(store_->slots[count_]);
    if (order_owner_) append_to_order(count_);
    store_->filled = ++count_;
}

void EnvelopeList::drop() { store_->slots[count_].~Envelope(); }

std::span<event::Envelope> EnvelopeList::sorted() { return {store_ ? store_->slots : nullptr, count_}; }

void EnvelopeList::seal() {
    if (store_ && !store_->arenas.empty()) store_->arenas.back()->seal();
    // A block used before holds its pages past the slots written: they go back to the system, and
    // the room stays for envelopes read on. Only the list that wrote last knows nothing lies there.
    if (store_ && store_->filled == count_) store_->room.discard_from(store_->written_bytes());
    take_figures();
}

void EnvelopeList::append_to_order(std::size_t slot) {
    Order& order = *order_owner_;
    if (order.filled != count_ || count_ == order.capacity) {
        auto fresh = std::make_shared<Order>(std::max(2 * count_, first_capacity));
        std::copy_n(order.at, count_, fresh->at);
        fresh->filled = count_;
        order_owner_ = std::move(fresh);
        point_at_stores();
    }
    order_owner_->at[order_owner_->filled++] = static_cast<std::uint32_t>(slot);
}

std::size_t EnvelopeList::place_since(std::size_t before) {
    if (before == count_) return before;
    std::vector<std::uint32_t> added(count_ - before);
    std::iota(added.begin(), added.end(), static_cast<std::uint32_t>(before));
    const auto by_merge_order = [this](std::uint32_t a, std::uint32_t b) {
        return journal::before_in_merge_order(slots_[a], slots_[b]);
    };
    std::stable_sort(added.begin(), added.end(), by_merge_order);
    // The first position among the earlier envelopes that the first added one sorts before.
    const auto earlier = begin();
    const std::size_t first = static_cast<std::size_t>(
        std::upper_bound(earlier, earlier + static_cast<std::ptrdiff_t>(before), slots_[added.front()],
                         journal::before_in_merge_order) -
        earlier);
    const bool in_place = first == before && std::is_sorted(added.begin(), added.end());
    if (in_place) return first;
    // The earlier entries as this list sees them, then the rest merged: ties keep the earlier
    // first, as std::merge takes from its first range.
    auto fresh = std::make_shared<Order>(std::max(2 * count_, first_capacity));
    std::vector<std::uint32_t> rest(before - first);
    for (std::size_t position = 0; position < before; ++position) {
        const auto slot = static_cast<std::uint32_t>(order_ ? order_[position] : position);
        if (position < first) {
            fresh->at[position] = slot;
        } else {
            rest[position - first] = slot;
        }
    }
    std::merge(rest.begin(), rest.end(), added.begin(), added.end(), fresh->at + first, by_merge_order);
    fresh->filled = count_;
    order_owner_ = std::move(fresh);
    point_at_stores();
    take_figures();
    return first;
}

void EnvelopeList::point_at_stores() {
    slots_ = store_ ? store_->slots : nullptr;
    order_ = order_owner_ ? order_owner_->at : nullptr;
}

void EnvelopeList::take_figures() {
    arena_bytes_ = 0;
    held_bytes_ = 0;
    if (!store_) return;
    for (const auto& arena : store_->arenas) arena_bytes_ += arena->bytes();
    // The room for slots is reserved from a guess at the journal's length, the order's doubles as
    // it grows, and only what was written holds memory: fresh pages are made when first written,
    // and seal gives back the rest of a slots block used before.
    held_bytes_ = arena_bytes_ + store_->room.held_bytes(store_->written_bytes()) + store_->heap_bytes;
    if (order_owner_) held_bytes_ += order_owner_->room.held_bytes(order_owner_->filled * sizeof(std::uint32_t));
}

void EnvelopeList::move_to_new_store(std::size_t capacity) {
    auto fresh = std::make_shared<Store>(store_ ? store_->blocks : blocks_);
    fresh->make_room(std::max(capacity, count_));
    // Alone, the envelopes move with their arenas; shared, they are copied into a new arena,
    // as the other lists read the store as it is. Either way each keeps its slot, so the order
    // holds.
    const bool alone = store_.use_count() == 1 && store_->filled == count_;
    if (alone) {
        for (std::size_t i = 0; i < count_; ++i) new (fresh->slots + fresh->filled++) event::Envelope(std::move(store_->slots[i]));
        fresh->arenas = std::move(store_->arenas);
        fresh->heap_bytes = store_->heap_bytes;
    } else {
        seal();
        fresh->open_arena();
        const boost::json::storage_ptr storage = fresh->arenas.back()->storage();
        for (std::size_t i = 0; i < count_; ++i) {
            // Assigned into an envelope made for the new arena, the values are copied there.
            (*new (fresh->slots + fresh->filled) event::Envelope(storage)) = store_->slots[i];
            fresh->heap_bytes += heap_bytes(fresh->slots[fresh->filled++]);
        }
        fresh->arenas.back()->seal();
        // The values read next go into an arena of their own.
        fresh->open_arena();
    }
    store_ = std::move(fresh);
    point_at_stores();
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
