#include "sdk/run/envelope_list.hpp"

#include "sdk/journal/journal.hpp"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <functional>
#include <limits>
#include <new>
#include <numeric>
#include <utility>

namespace korvalle::views {

namespace {

constexpr std::size_t first_capacity = 16;

// Positions and slots are kept in 32 bits: a journal of four billion envelopes could not be held
// in memory anyway.
void check_count(std::size_t count) {
    if (count > std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
}

}  // namespace

// Slots for envelopes, and the arenas their values live in.
struct EnvelopeList::Segment {
    Segment(memory::Blocks source, std::size_t slots_wanted) : blocks(std::move(source)) { make_room(slots_wanted); }
    Segment(const Segment&) = delete;
    Segment& operator=(const Segment&) = delete;
    // The envelopes go before the arenas their values live in.
    ~Segment() {
        for (std::size_t i = 0; i < filled; ++i) slots[i].~Envelope();
        blocks->give_back(std::move(room), written_bytes());
    }

    // Slots are only ever constructed into, so a block that held other bytes serves.
    void make_room(std::size_t slots_wanted) {
        room = blocks->take(slots_wanted * sizeof(event::Envelope));
        slots = reinterpret_cast<event::Envelope*>(room.data());
        capacity = room.size() / sizeof(event::Envelope);
    }
    // Envelopes were made in the slots up to the one past the last kept (a line that made none).
    std::size_t written_bytes() const { return std::min(filled + 1, capacity) * sizeof(event::Envelope); }
    // Moves the envelopes into room for `wanted` of them: only while no list sees them.
    void grow(std::size_t wanted) {
        memory::Block old = std::move(room);
        event::Envelope* const old_slots = slots;
        const std::size_t old_written = written_bytes();
        make_room(wanted);
        for (std::size_t i = 0; i < filled; ++i) {
            new (slots + i) event::Envelope(std::move(old_slots[i]));
            old_slots[i].~Envelope();
        }
        blocks->give_back(std::move(old), old_written);
    }
    // A block used before holds its pages past the slots written: they go back to the system, the
    // room staying for envelopes read on. Nothing lies there, whichever list wrote last.
    void discard_unwritten() {
        if (discarded_at == filled) return;
        room.discard_from(written_bytes());
        discarded_at = filled;
    }
    // Notes that the envelope made next has its values in arena.
    void uses(const std::shared_ptr<json::Arena>& arena) {
        if (arenas.empty() || arenas.back() != arena) arenas.push_back(arena);
    }

    const memory::Blocks blocks;
    memory::Block room;
    event::Envelope* slots = nullptr;
    std::size_t capacity = 0;
    std::size_t filled = 0;         // envelopes made in [0, filled)
    std::size_t discarded_at = std::numeric_limits<std::size_t>::max();  // filled when last discarded
    std::size_t first_slot = 0;     // the slot of its first envelope, in every store that holds it
    std::uint64_t heap_bytes = 0;   // of the filled slots
    std::vector<std::shared_ptr<json::Arena>> arenas;
};

// The segments of lists read one from another, and the table of their slots: entries [0, filled)
// are written, and a list sees the first count_ of them.
struct EnvelopeList::Store {
    explicit Store(memory::Blocks blocks) : blocks(std::move(blocks)) {}

    const memory::Blocks blocks;  // where segments and arenas take their memory
    std::vector<std::shared_ptr<Segment>> segments;  // in slot order
    memory::Block table_room{0};
    const event::Envelope** table = nullptr;  // slot -> envelope
    std::size_t capacity = 0;
    std::size_t filled = 0;
    std::shared_ptr<json::Arena> arena;  // where the values of the read in progress go
    json::Arena::Mark line_from{};       // where it stood before the line read last
#ifndef NDEBUG
    // Set while a read appends behind a list of this store (Appending): a check, not a lock.
    std::atomic<bool> appending{false};
#endif
};

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

EnvelopeList::Shard::Shard(std::size_t first_block, std::size_t room, const memory::Blocks& blocks)
    : segment_(std::make_shared<Segment>(blocks, std::max(room, first_capacity))),
      arena_(std::make_shared<json::Arena>(first_block, blocks)) {
    segment_->uses(arena_);
    // The arena's first block is taken now, on the thread that makes the shards, before they are
    // read: mapping memory while other threads fault pages in stalls them all (the kernel takes
    // its lock over the address space for both).
    arena_->storage()->allocate(0, 1);
}

EnvelopeList::Shard::Shard(Shard&&) noexcept = default;
EnvelopeList::Shard& EnvelopeList::Shard::operator=(Shard&&) noexcept = default;
EnvelopeList::Shard::~Shard() = default;

event::Envelope& EnvelopeList::Shard::next() {
    Segment& segment = *segment_;
    if (segment.filled == segment.capacity) segment.grow(2 * segment.capacity);
    line_from_ = arena_->mark();
    return *new (segment.slots + segment.filled) event::Envelope(arena_->storage());
}

void EnvelopeList::Shard::keep() {
    Segment& segment = *segment_;
    segment.heap_bytes += heap_bytes(segment.slots[segment.filled++]);
}

void EnvelopeList::Shard::drop() {
    segment_->slots[segment_->filled].~Envelope();
    arena_->release_to(line_from_);
}

std::size_t EnvelopeList::Shard::size() const { return segment_ ? segment_->filled : 0; }

bool EnvelopeList::Shard::sort() {
    const std::span<event::Envelope> envelopes{segment_->slots, segment_->filled};
    if (std::is_sorted(envelopes.begin(), envelopes.end(), journal::before_in_merge_order)) return true;
    journal::merge_order(envelopes);
    return false;
}

EnvelopeList::EnvelopeList(std::vector<event::Envelope> envelopes) {
    check_count(envelopes.size());
    store_ = std::make_shared<Store>(blocks_);
    make_table_room(envelopes.size());
    add_segment(std::make_shared<Segment>(blocks_, std::max(envelopes.size(), first_capacity)));
    Segment& segment = *store_->segments.back();
    for (event::Envelope& envelope : envelopes) {
        event::Envelope* made = new (segment.slots + segment.filled++) event::Envelope(std::move(envelope));
        segment.heap_bytes += heap_bytes(*made);
        store_->table[count_++] = made;
    }
    store_->filled = count_;
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
    if (journal::before_in_merge_order(*table_[a], *table_[b])) return true;
    return a < b && !journal::before_in_merge_order(*table_[b], *table_[a]);
}

bool EnvelopeList::shares_slots(const Lineage& lineage, std::size_t count) const {
    // Slots are written once: lists of one store hold the same envelopes in the slots both see.
    const Lineage own = store_;
    return count <= count_ && !lineage.owner_before(own) && !own.owner_before(lineage);
}

void EnvelopeList::open_arena(std::size_t first_block, std::size_t room) {
    if (!store_) {
        store_ = std::make_shared<Store>(blocks_);
        make_table_room(room);
        add_segment(std::make_shared<Segment>(blocks_, std::max(room, first_capacity)));
    }
    store_->arena = std::make_shared<json::Arena>(first_block, store_->blocks);
}

event::Envelope& EnvelopeList::next() {
    if (!store_) open_arena();
    check_count(count_ + 1);
    make_table_room(1);
    Segment& segment = writable_segment();
    segment.uses(store_->arena);
    store_->line_from = store_->arena->mark();
    return *new (segment.slots + segment.filled) event::Envelope(store_->arena->storage());
}

void EnvelopeList::keep() {
    Segment& segment = *store_->segments.back();
    const event::Envelope& envelope = segment.slots[segment.filled++];
    segment.heap_bytes += heap_bytes(envelope);
    store_->table[count_] = &envelope;
    if (order_owner_) append_to_order(count_);
    store_->filled = ++count_;
}

void EnvelopeList::drop() {
    Segment& segment = *store_->segments.back();
    segment.slots[segment.filled].~Envelope();
    store_->arena->release_to(store_->line_from);
}

std::span<event::Envelope> EnvelopeList::sorted() {
    if (!store_) return {};
    Segment& only = *store_->segments.front();
    return {only.slots, count_};
}

void EnvelopeList::seal() {
    if (store_ && store_->arena) store_->arena->seal();
    if (store_) {
        for (const std::shared_ptr<Segment>& segment : store_->segments) segment->discard_unwritten();
    }
    take_figures();
}

void EnvelopeList::take(std::span<Shard> shards) {
    std::size_t more = 0;
    for (const Shard& shard : shards) more += shard.size();
    check_count(count_ + more);
    if (!store_) store_ = std::make_shared<Store>(blocks_);
    make_table_room(more);
    for (Shard& shard : shards) {
        shard.arena_->seal();
        if (shard.size() == 0) continue;
        std::shared_ptr<Segment> segment = std::move(shard.segment_);
        const std::size_t first = count_;
        for (std::size_t i = 0; i < segment->filled; ++i) store_->table[first + i] = &segment->slots[i];
        const std::size_t taken = segment->filled;
        add_segment(std::move(segment));
        for (std::size_t i = 0; i < taken; ++i) {
            if (order_owner_) append_to_order(count_);
            store_->filled = ++count_;
        }
    }
    point_at_stores();
}

bool EnvelopeList::merge_runs(std::span<const std::size_t> run_starts) {
    const auto by_merge_order = [this](std::uint32_t a, std::uint32_t b) {
        return journal::before_in_merge_order(*table_[a], *table_[b]);
    };
    // The bounds of the runs that do not simply follow the one before.
    std::vector<std::size_t> bounds{0};
    for (const std::size_t start : run_starts) {
        if (start > bounds.back() && start < count_ && by_merge_order(static_cast<std::uint32_t>(start),
                                                                       static_cast<std::uint32_t>(start - 1))) {
            bounds.push_back(start);
        }
    }
    if (bounds.size() == 1) return true;
    bounds.push_back(count_);
    std::vector<std::uint32_t> order(count_);
    std::iota(order.begin(), order.end(), std::uint32_t{0});
    std::vector<std::uint32_t> merged(count_);
    // Neighbouring runs merged pairwise until one is left: each envelope is compared about log2 of
    // the runs' count times at most, and only where the runs overlap.
    while (bounds.size() > 2) {
        std::vector<std::size_t> next{0};
        std::size_t k = 0;
        for (; k + 2 < bounds.size(); k += 2) {
            const auto left = order.begin() + static_cast<std::ptrdiff_t>(bounds[k]);
            const auto middle = order.begin() + static_cast<std::ptrdiff_t>(bounds[k + 1]);
            const auto right = order.begin() + static_cast<std::ptrdiff_t>(bounds[k + 2]);
            // What sorts before the right run's first envelope stays where it is.
            const auto overlap = std::upper_bound(left, middle, *middle, by_merge_order);
            auto out = std::copy(left, overlap, merged.begin() + static_cast<std::ptrdiff_t>(bounds[k]));
            std::merge(overlap, middle, middle, right, out, by_merge_order);
            next.push_back(bounds[k + 2]);
        }
        if (k + 1 < bounds.size()) {
            std::copy(order.begin() + static_cast<std::ptrdiff_t>(bounds[k]), order.end(),
                      merged.begin() + static_cast<std::ptrdiff_t>(bounds[k]));
            next.push_back(count_);
        }
        order.swap(merged);
        bounds = std::move(next);
    }
    auto fresh = std::make_shared<Order>(std::max(count_, first_capacity));
    std::copy(order.begin(), order.end(), fresh->at);
    fresh->filled = count_;
    take_order(std::move(fresh));
    return false;
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
        return journal::before_in_merge_order(*table_[a], *table_[b]);
    };
    std::stable_sort(added.begin(), added.end(), by_merge_order);
    // The first position among the earlier envelopes that the first added one sorts before.
    const auto earlier = begin();
    const std::size_t first = static_cast<std::size_t>(
        std::upper_bound(earlier, earlier + static_cast<std::ptrdiff_t>(before), *table_[added.front()],
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
    take_order(std::move(fresh));
    return first;
}

void EnvelopeList::take_order(std::shared_ptr<Order> order) {
    order_owner_ = std::move(order);
    point_at_stores();
    take_figures();
}

EnvelopeList::Segment& EnvelopeList::writable_segment() {
    if (!store_->segments.empty()) {
        const std::shared_ptr<Segment>& last = store_->segments.back();
        const bool ends_here = last->first_slot + last->filled == count_;
        if (ends_here && last->filled < last->capacity) return *last;
        // Seen by no other list, its envelopes may still move into more room.
        if (ends_here && store_.use_count() == 1 && last.use_count() == 1) {
            last->grow(std::max(2 * last->capacity, first_capacity));
            for (std::size_t i = 0; i < last->filled; ++i) store_->table[last->first_slot + i] = &last->slots[i];
            return *last;
        }
    }
    add_segment(std::make_shared<Segment>(store_->blocks, std::max(count_, first_capacity)));
    return *store_->segments.back();
}

void EnvelopeList::make_table_room(std::size_t more) {
    const std::size_t wanted = count_ + more;
    const bool ends_store = store_->filled == count_;
    if (ends_store && wanted <= store_->capacity) return;
    const std::size_t capacity = std::max({wanted, 2 * count_, first_capacity});
    memory::Block room(capacity * sizeof(const event::Envelope*));
    auto* table = reinterpret_cast<const event::Envelope**>(room.data());
    std::copy_n(store_->table, count_, table);
    if (!ends_store || store_.use_count() > 1) {
        // Other lists read the store: a store of its own shares the segments this list sees.
        auto fresh = std::make_shared<Store>(store_->blocks);
        for (const std::shared_ptr<Segment>& segment : store_->segments) {
            if (segment->first_slot < count_) fresh->segments.push_back(segment);
        }
        fresh->arena = store_->arena;
        store_ = std::move(fresh);
    }
    store_->table_room = std::move(room);
    store_->table = table;
    store_->capacity = capacity;
    store_->filled = count_;
    point_at_stores();
}

void EnvelopeList::add_segment(std::shared_ptr<Segment> segment) {
    segment->first_slot = count_;
    store_->segments.push_back(std::move(segment));
}

void EnvelopeList::point_at_stores() {
    table_ = store_ ? store_->table : nullptr;
    order_ = order_owner_ ? order_owner_->at : nullptr;
}

void EnvelopeList::take_figures() {
    arena_bytes_ = 0;
    held_bytes_ = 0;
    if (!store_) return;
    // The room for slots is reserved from a guess at the journal's length, the table's and the
    // order's double as they grow, and only what was written holds memory: fresh pages are made
    // when first written, and seal gives back the rest of a slots block used before.
    std::vector<const json::Arena*> arenas;
    std::uint64_t slot_bytes = 0;
    for (const std::shared_ptr<Segment>& segment : store_->segments) {
        slot_bytes += segment->room.held_bytes(segment->written_bytes()) + segment->heap_bytes;
        for (const auto& arena : segment->arenas) arenas.push_back(arena.get());
    }
    std::sort(arenas.begin(), arenas.end(), std::less<const json::Arena*>());
    arenas.erase(std::unique(arenas.begin(), arenas.end()), arenas.end());
    for (const json::Arena* arena : arenas) arena_bytes_ += arena->bytes();
    held_bytes_ = arena_bytes_ + slot_bytes + store_->table_room.held_bytes(store_->filled * sizeof(const event::Envelope*));
    if (order_owner_) held_bytes_ += order_owner_->room.held_bytes(order_owner_->filled * sizeof(std::uint32_t));
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
