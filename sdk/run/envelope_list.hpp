// A view's envelopes in merge order. They live in a store shared by the views read one from
// another: a journal read on from where a view stopped appends its envelopes behind those that
// view sees, in a slot range no earlier view looks at, and the values of each read go into an
// arena of their own, sealed once that read is done. A list sees the slots from the first up to
// its size. While they are in merge order it reads them in place; once envelopes read on sort
// before earlier ones, it reads them through an order of its own (a position's slot), so that
// neither the envelopes nor the order an earlier view sees ever change. So a grown view shares
// every envelope of its base and costs what was appended; the store is copied only when it runs
// out of room while another view still holds it.
//
// A list's order is that of (merge key, slot): envelopes whose keys tie are in slot order,
// which is the order they were read in.
//
// The slots and the arenas' blocks come from one source (memory::BlockSource) and go back to it
// with the store.
//
// Threads: sealed lists are only read, by any number of threads at once. A read appends behind
// the list it goes on from, into the store that list shares with every list read one from
// another: two reads that go on from lists of one store must never run at once, as both would
// write the slots behind them. Nothing here locks; the caller keeps them apart (the server's
// cache of opened runs does, by letting one open of a run run at a time), and builds with
// assertions check it (Appending).
#pragma once

#include "sdk/base/arena.hpp"
#include "sdk/base/memory.hpp"
#include "sdk/journal/event.hpp"

#include <atomic>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <span>
#include <utility>
#include <vector>

namespace korvalle::views {

class EnvelopeList {
    struct Store;

public:
    // Walks the list in its order.
    class Iterator {
    public:
        using iterator_category = std::random_access_iterator_tag;
        using iterator_concept = std::random_access_iterator_tag;
        using value_type = event::Envelope;
        using difference_type = std::ptrdiff_t;
        using pointer = const event::Envelope*;
        using reference = const event::Envelope&;

        Iterator() = default;
        Iterator(const event::Envelope* slots, const std::uint32_t* order, difference_type position)
            : slots_(slots), order_(order), position_(position) {}

        reference operator*() const { return (*this)[0]; }
        pointer operator->() const { return &**this; }
        reference operator[](difference_type n) const {
            const difference_type at = position_ + n;
            return slots_[order_ ? order_[at] : at];
        }
        Iterator& operator++() { return ++position_, *this; }
        Iterator operator++(int) { return Iterator(slots_, order_, position_++); }
        Iterator& operator--() { return --position_, *this; }
        Iterator operator--(int) { return Iterator(slots_, order_, position_--); }
        Iterator& operator+=(difference_type n) { return position_ += n, *this; }
        Iterator& operator-=(difference_type n) { return position_ -= n, *this; }
        friend Iterator operator+(Iterator it, difference_type n) { return it += n; }
        friend Iterator operator+(difference_type n, Iterator it) { return it += n; }
        friend Iterator operator-(Iterator it, difference_type n) { return it -= n; }
        friend difference_type operator-(const Iterator& a, const Iterator& b) { return a.position_ - b.position_; }
        friend bool operator==(const Iterator& a, const Iterator& b) { return a.position_ == b.position_; }
        friend std::strong_ordering operator<=>(const Iterator& a, const Iterator& b) {
            return a.position_ <=> b.position_;
        }

    private:
        const event::Envelope* slots_ = nullptr;
        const std::uint32_t* order_ = nullptr;  // none: position and slot are one
        difference_type position_ = 0;
    };

    EnvelopeList() = default;
    // An empty list whose stores take their memory from blocks.
    explicit EnvelopeList(memory::Blocks blocks) : blocks_(std::move(blocks)) {}
    // Takes envelopes whose values name their own storage.
    explicit EnvelopeList(std::vector<event::Envelope> envelopes);
    EnvelopeList(const EnvelopeList&) = default;
    EnvelopeList& operator=(const EnvelopeList&) = default;
    // The list moved from is left empty.
    EnvelopeList(EnvelopeList&& other) noexcept { *this = std::move(other); }
    EnvelopeList& operator=(EnvelopeList&& other) noexcept;

    Iterator begin() const { return Iterator(slots_, order_, 0); }
    Iterator end() const { return Iterator(slots_, order_, static_cast<std::ptrdiff_t>(count_)); }
    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    // The envelope at a position of the list's order.
    const event::Envelope& operator[](std::size_t position) const {
        return slots_[order_ ? order_[position] : position];
    }
    const event::Envelope& back() const { return (*this)[count_ - 1]; }

    // The same envelopes in the order of their slots (the order they were read in), for what
    // does not depend on their order.
    std::span<const event::Envelope> slots() const { return {slots_, count_}; }
    // The slot of one of the list's envelopes.
    std::size_t slot_of(const event::Envelope& envelope) const { return static_cast<std::size_t>(&envelope - slots_); }
    // Whether the envelope in slot a comes before the one in slot b in the list's order.
    bool slot_before(std::size_t a, std::size_t b) const;

    // What lists read one from another have in common: two lists of one lineage hold the same
    // envelopes in the slots both see. Lists that do not share a lineage may still hold the same.
    using Lineage = std::weak_ptr<const void>;
    Lineage lineage() const { return store_; }
    // Whether this list holds, in its first `count` slots, what every list of lineage holds there.
    bool shares_slots(const Lineage& lineage, std::size_t count) const;

    // Held by the reader of the journal for the whole of a read that appends to the list, taken
    // before open_arena: in builds with assertions it marks the store the list shares (none
    // before a list's first read) as appended to, and asserts that no other read appends to it
    // meanwhile. Without assertions it does nothing.
    class Appending {
    public:
        explicit Appending(const EnvelopeList& list);
        ~Appending();
        Appending(const Appending&) = delete;
        Appending& operator=(const Appending&) = delete;

    private:
#ifndef NDEBUG
        std::weak_ptr<Store> store_;  // not shared: the list's store stays alone when it is
#endif
    };

    // For the reader of the journal. open_arena: the values of the envelopes read next go into a
    // new arena (first_block: its first block, see json::Arena). next: a fresh envelope in the
    // slot behind the last, for a line to be read into, made room for first; keep counts it in,
    // last in the list's order; drop gives the slot back. sorted: the list as the reader may
    // reorder it, before any other view shares it. seal: the read is done; the list is only read
    // from now on, by any thread.
    void open_arena(std::size_t first_block = json::Arena::block_bytes, std::size_t room = 0);
    event::Envelope& next();
    void keep();
    void drop();
    std::span<event::Envelope> sorted();
    void seal();

    // Puts the envelopes kept since the list held `before` into merge order among the earlier
    // ones (which are in it), where a stable sort of the whole list would put them: sorted among
    // themselves, after the earlier envelopes they tie with. No envelope moves: when the order
    // changes, the list takes an order of its own. Returns the position of the first of them.
    std::size_t place_since(std::size_t before);

    // The bytes of the store when the list was sealed: the arenas' blocks, the slots written, the
    // texts the envelopes own and the list's order. Taken then, as a list read on from this one
    // adds to the store.
    std::uint64_t held_bytes() const { return held_bytes_; }
    // The bytes of the arenas' blocks then.
    std::uint64_t arena_bytes() const { return arena_bytes_; }

    // The heap bytes of an envelope's own texts and artifact list, with the allocator's headers.
    static std::uint64_t heap_bytes(const event::Envelope& envelope);

private:
    // Slots [0, filled) hold envelopes; a list sees the first count_ of them.
    struct Store {
        explicit Store(memory::Blocks blocks) : blocks(std::move(blocks)) {}
        Store(const Store&) = delete;
        Store& operator=(const Store&) = delete;
        ~Store();
        // Memory for at least slots_wanted envelopes, none made yet.
        void make_room(std::size_t slots_wanted);
        // A new arena for the values read next.
        void open_arena(std::size_t first_block = json::Arena::block_bytes);
        // The bytes of the slots written to.
        std::size_t written_bytes() const;

        const memory::Blocks blocks;
        std::vector<std::unique_ptr<json::Arena>> arenas;
        memory::Block room;  // the slots' memory
        event::Envelope* slots = nullptr;
        std::size_t capacity = 0;
        std::size_t filled = 0;
        std::uint64_t heap_bytes = 0;  // of the filled slots
#ifndef NDEBUG
        // Set while a read appends behind a list of this store (Appending): a check, not a lock.
        std::atomic<bool> appending{false};
#endif
    };

    // An order over the slots, shared as the store is: entries [0, filled) are written, and a
    // list sees the first count_ of them. A list appends behind its own entries only while no
    // other list has, and never where another list reads.
    struct Order {
        explicit Order(std::size_t capacity);

        memory::Block room;
        std::uint32_t* at;  // position -> slot
        std::size_t capacity;
        std::size_t filled = 0;
    };

    // A store of capacity slots holding this list's envelopes in their slots (moved when no
    // other list shares the store, else copied into an arena of the new store).
    void move_to_new_store(std::size_t capacity);
    // Makes the slot the last entry of the order.
    void append_to_order(std::size_t slot);
    // The pointers read by the accessors, after the store or the order changed.
    void point_at_stores();

    // The figures of the store as this list was sealed.
    void take_figures();

    memory::Blocks blocks_ = memory::system_blocks();
    std::shared_ptr<Store> store_;
    std::shared_ptr<Order> order_owner_;  // none: the envelopes are in merge order in their slots
    const event::Envelope* slots_ = nullptr;
    const std::uint32_t* order_ = nullptr;
    std::size_t count_ = 0;
    std::uint64_t arena_bytes_ = 0;
    std::uint64_t held_bytes_ = 0;
};

}  // namespace korvalle::views
