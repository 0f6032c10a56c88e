// A view's envelopes in merge order. They live in a store shared by the views read one from
// another: a journal read on from where a view stopped appends its envelopes behind those that
// view sees, in a slot range no earlier view looks at, and the values of each read go into an
// arena of their own, sealed once that read is done. So a grown view shares every envelope of its
// base and costs what was appended; the store is copied only when it runs out of room while
// another view still holds it, or when appended envelopes sort before earlier ones.
#pragma once

#include "sdk/base/arena.hpp"
#include "sdk/base/memory.hpp"
#include "sdk/journal/event.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace korvalle::views {

class EnvelopeList {
public:
    EnvelopeList() = default;
    // Takes envelopes whose values name their own storage.
    explicit EnvelopeList(std::vector<event::Envelope> envelopes);

    std::span<const event::Envelope> all() const { return {begin(), count_}; }
    operator std::span<const event::Envelope>() const { return all(); }
    const event::Envelope* begin() const { return store_ ? store_->slots : nullptr; }
    const event::Envelope* end() const { return begin() + count_; }
    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    const event::Envelope& back() const { return begin()[count_ - 1]; }
    const event::Envelope& operator[](std::size_t i) const { return begin()[i]; }

    // For the reader of the journal. open_arena: the values of the envelopes read next go into a
    // new arena (first_block: its first block, see json::Arena). next: a fresh envelope in the
    // slot behind the last, for a line to be read into, made room for first; keep counts it in,
    // drop gives the slot back. sorted: the list as the reader may reorder it, before any other
    // view shares it. seal: the read is done; the list is only read from now on, by any thread.
    void open_arena(std::size_t first_block = json::Arena::block_bytes, std::size_t room = 0);
    event::Envelope& next();
    void keep();
    void drop();
    std::span<event::Envelope> sorted();
    void seal();

    // The list in the order given (pointers to its own envelopes, each once), in a store of its
    // own: for envelopes read on that sort before earlier ones.
    void reorder(const std::vector<const event::Envelope*>& order);

    // The bytes of the store when the list was sealed: the arenas' blocks, the slots written and
    // the texts the envelopes own. Taken then, as a list read on from this one adds to the store.
    std::uint64_t held_bytes() const { return held_bytes_; }
    // The bytes of the arenas' blocks then.
    std::uint64_t arena_bytes() const { return arena_bytes_; }

    // The heap bytes of an envelope's own texts and artifact list, with the allocator's headers.
    static std::uint64_t heap_bytes(const event::Envelope& envelope);

private:
    // Slots [0, filled) hold envelopes; a view sees the first count_ of them.
    struct Store {
        Store() = default;
        Store(const Store&) = delete;
        Store& operator=(const Store&) = delete;
        ~Store();
        // Memory for slots_wanted envelopes, none made yet.
        void make_room(std::size_t slots_wanted);

        std::vector<std::unique_ptr<json::Arena>> arenas;
        memory::Block room{0};  // the slots' memory
        event::Envelope* slots = nullptr;
        std::size_t capacity = 0;
        std::size_t filled = 0;
        std::uint64_t heap_bytes = 0;  // of the filled slots
    };

    // A store of capacity slots holding this list's envelopes (moved when no other list shares
    // the store, else copied into an arena of the new store), in the order given, or in theirs.
    void move_to_new_store(std::size_t capacity, const std::vector<const event::Envelope*>* order = nullptr);

    // The figures of the store as this list was sealed.
    void take_figures();

    std::shared_ptr<Store> store_;
    std::size_t count_ = 0;
    std::uint64_t arena_bytes_ = 0;
    std::uint64_t held_bytes_ = 0;
};

}  // namespace korvalle::views
