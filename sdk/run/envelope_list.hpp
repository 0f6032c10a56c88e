// A view's envelopes in merge order. They live in a store shared by the views read one from
// another: a journal read on from where a view stopped appends its envelopes behind those that
// view sees, in a slot range no earlier view looks at, and the values of each read go into an
// arena of their own, sealed once that read is done. A list sees the slots from the first up to
// its size. While they are in merge order it reads them in place; once envelopes read on sort
// before earlier ones, it reads them through an order of its own (a position's slot), so that
// neither the envelopes nor the order an earlier view sees ever change. So a grown view shares
// every envelope of its base and costs what was appended.
//
// Slots are numbered in the order the envelopes were read in (or in merge order, when their
// reader sorted them in place before anyone saw them), but their memory comes in segments: the
// one a read fills (made larger by moving its envelopes while no other list sees them), and those
// of the shards of a journal read in shards (Shard), each filled on a thread of its own and taken
// as it is. A table gives each slot's envelope; no envelope moves once another list may see it,
// and none is ever copied.
//
// A list's order is that of (merge key, slot): envelopes whose keys tie are in slot order,
// which is the order they were read in (sorting in place is stable).
//
// The segments and the arenas' blocks come from one source (memory::BlockSource) and go back to
// it with them.
//
// Threads: sealed lists are only read, by any number of threads at once. A read appends behind
// the list it goes on from, into the segments that list shares with every list read one from
// another: two reads that go on from lists of one store must never run at once, as both would
// write the slots behind them. Nothing here locks; the caller keeps them apart (the server's
// cache of opened runs does, by letting one open of a run run at a time), and builds with
// assertions check it (Appending). The shards of one read are each filled by one thread and
// taken by the reading thread once they are done.
#pragma once

#include "sdk/base/arena.hpp"
#include "sdk/base/memory.hpp"
#include "sdk/journal/event.hpp"

#include <compare>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <span>
#include <vector>

namespace korvalle::views {

class EnvelopeList {
    struct Segment;
    struct Store;

public:
    // Walks the list in its order, or its slots in theirs.
    class Iterator {
    public:
        using iterator_category = std::random_access_iterator_tag;
        using iterator_concept = std::random_access_iterator_tag;
        using value_type = event::Envelope;
        using difference_type = std::ptrdiff_t;
        using pointer = const event::Envelope*;
        using reference = const event::Envelope&;

        Iterator() = default;
        Iterator(const event::Envelope* const* table, const std::uint32_t* order, difference_type position)
            : table_(table), order_(order), position_(position) {}

        reference operator*() const { return (*this)[0]; }
        pointer operator->() const { return &**this; }
        reference operator[](difference_type n) const {
            const difference_type at = position_ + n;
            return *table_[order_ ? order_[at] : at];
        }
        Iterator& operator++() { return ++position_, *this; }
        Iterator operator++(int) { return Iterator(table_, order_, position_++); }
        Iterator& operator--() { return --position_, *this; }
        Iterator operator--(int) { return Iterator(table_, order_, position_--); }
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
        const event::Envelope* const* table_ = nullptr;  // slot -> envelope
        const std::uint32_t* order_ = nullptr;           // position -> slot; none: position and slot are one
        difference_type position_ = 0;
    };

    // The envelopes in the order of their slots (the order they were read in), for what does not
    // depend on their order. Valid while a list of the same store lives.
    class Slots {
    public:
        Slots() = default;
        std::size_t size() const { return count_; }
        bool empty() const { return count_ == 0; }
        const event::Envelope& operator[](std::size_t slot) const { return *table_[slot]; }
        Iterator begin() const { return Iterator(table_, nullptr, 0); }
        Iterator end() const { return Iterator(table_, nullptr, static_cast<std::ptrdiff_t>(count_)); }

    private:
        friend class EnvelopeList;
        Slots(const event::Envelope* const* table, std::size_t count) : table_(table), count_(count) {}

        const event::Envelope* const* table_ = nullptr;
        std::size_t count_ = 0;
    };

    // Envelopes read apart from any list, by one shard of a journal read in shards, into slots and
    // an arena of their own; a list takes them as they are (take). Only the thread that reads the
    // shard touches it until then.
    class Shard {
    public:
        // first_block: the arena's first block (see json::Arena); room: the envelopes expected;
        // blocks: where its slots and arena take their memory.
        Shard(std::size_t first_block, std::size_t room, const memory::Blocks& blocks);
        Shard(Shard&&) noexcept;
        Shard& operator=(Shard&&) noexcept;
        ~Shard();

        // As the list's own: a fresh envelope for a line to be read into, then kept or dropped.
        event::Envelope& next();
        void keep();
        void drop();
        std::size_t size() const;
        // Puts its envelopes into merge order among themselves, moving them within its slots as
        // a stable sort would (the list's merge of the shards then has runs in order to merge).
        // Returns whether they were in merge order already.
        bool sort();

    private:
        friend class EnvelopeList;
        std::shared_ptr<Segment> segment_;
        std::shared_ptr<json::Arena> arena_;
        json::Arena::Mark line_from_{};  // where the arena stood before the line read last
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

    Iterator begin() const { return Iterator(table_, order_, 0); }
    Iterator end() const { return Iterator(table_, order_, static_cast<std::ptrdiff_t>(count_)); }
    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    // The envelope at a position of the list's order.
    const event::Envelope& operator[](std::size_t position) const { return *table_[order_ ? order_[position] : position]; }
    const event::Envelope& back() const { return (*this)[count_ - 1]; }

    Slots slots() const { return Slots(table_, count_); }
    // The slot of the envelope at a position of the list's order.
    std::size_t slot_at(std::size_t position) const { return order_ ? order_[position] : position; }
    // Whether the envelope in slot a comes before the one in slot b in the list's order.
    bool slot_before(std::size_t a, std::size_t b) const;

    // What lists read one from another have in common: two lists of one lineage hold the same
    // envelopes in the slots both see. Lists that do not share a lineage may still hold the same.
    using Lineage = std::weak_ptr<const void>;
    Lineage lineage() const { return store_; }
    // Whether this list holds, in its first `count` slots, what every list of lineage holds there.
    bool shares_slots(const Lineage& lineage, std::size_t count) const;
    // Where the list's stores take their memory, for the shards of a read.
    const memory::Blocks& blocks() const { return blocks_; }

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
    // new arena (first_block: its first block, see json::Arena); room: the envelopes expected,
    // for a list that holds none yet. next: a fresh envelope in the slot behind the last, for a
    // line to be read into, made room for first; keep counts it in, last in the list's order;
    // drop gives the slot back, and the arena whatever the line's reading took there (a line
    // that is no envelope holds nothing). sorted: the list as the reader may reorder it, before
    // any other view shares it, while its envelopes are in one segment (a list that is not read
    // in shards). seal: the read is done; the list is only read from now on, by any thread.
    void open_arena(std::size_t first_block = json::Arena::block_bytes, std::size_t room = 0);
    event::Envelope& next();
    void keep();
    void drop();
    std::span<event::Envelope> sorted();
    void seal();

    // For the reader of a journal in shards: appends the shards' envelopes, in the shards' order,
    // behind the list's own, each in the slot memory it was read into. The list's order takes
    // them last (place_since or merge_runs then places them).
    void take(std::span<Shard> shards);

    // Puts the envelopes into merge order, the slots from each of run_starts (ascending, the
    // first 0) up to the next being in merge order already: a stable sort of them all, made by
    // merging the runs where one does not simply follow the one before. For a list whose order
    // is still that of its slots. Returns whether every run followed the one before (the slots
    // are in merge order, and the list's order is still theirs).
    bool merge_runs(std::span<const std::size_t> run_starts);

    // Puts the envelopes kept since the list held `before` into merge order among the earlier
    // ones (which are in it), where a stable sort of the whole list would put them: sorted among
    // themselves, after the earlier envelopes they tie with. No envelope moves: when the order
    // changes, the list takes an order of its own. Returns the position of the first of them.
    std::size_t place_since(std::size_t before);

    // The bytes of the store when the list was sealed: the arenas' blocks, the slots written, the
    // texts the envelopes own, the slots' table and the list's order. Taken then, as a list read
    // on from this one adds to the store.
    std::uint64_t held_bytes() const { return held_bytes_; }
    // The bytes of the arenas' blocks then.
    std::uint64_t arena_bytes() const { return arena_bytes_; }

    // The heap bytes of an envelope's own texts and artifact list, with the allocator's headers.
    static std::uint64_t heap_bytes(const event::Envelope& envelope);

private:
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

    // The segment the next envelope goes into, with room for it: the last one when this list
    // ends the store and that segment, else a new one.
    Segment& writable_segment();
    // Room in the store's table for `more` slots behind this list's, in a new store sharing the
    // segments when another list reads this one's (or has written past its end).
    void make_table_room(std::size_t more);
    // Appends a segment whose envelopes take the slots from count_ on.
    void add_segment(std::shared_ptr<Segment> segment);
    // Makes the slot the last entry of the order.
    void append_to_order(std::size_t slot);
    // Puts the order in place of the slots' own (positions [0, count_)).
    void take_order(std::shared_ptr<Order> order);
    // The pointers read by the accessors, after the store or the order changed.
    void point_at_stores();

    // The figures of the store as this list was sealed.
    void take_figures();

    memory::Blocks blocks_ = memory::system_blocks();
    std::shared_ptr<Store> store_;
    std::shared_ptr<Order> order_owner_;  // none: the envelopes are in merge order in their slots
    const event::Envelope* const* table_ = nullptr;
    const std::uint32_t* order_ = nullptr;
    std::size_t count_ = 0;
    std::uint64_t arena_bytes_ = 0;
    std::uint64_t held_bytes_ = 0;
};

}  // namespace korvalle::views
