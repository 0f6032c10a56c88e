// Merge order of a journal's envelopes.
#include "sdk/journal/journal.hpp"

#include <algorithm>
#include <cstddef>
#include <numeric>

namespace korvalle::journal {

bool before_in_merge_order(const event::Envelope& a, const event::Envelope& b) {
    // std::string compares through char_traits<char>, which orders bytes as unsigned values.
    if (const int c = a.ts.compare(b.ts); c != 0) return c < 0;
    if (const int c = a.stream.compare(b.stream); c != 0) return c < 0;
    return a.seq < b.seq;
}

void merge_order(std::span<event::Envelope> envelopes) {
    // Journals are mostly written in order already.
    if (std::is_sorted(envelopes.begin(), envelopes.end(), before_in_merge_order)) return;
    // Envelopes are large: sort their positions, then move each envelope once, following the
    // cycles of the permutation.
    std::vector<std::size_t> order(envelopes.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return before_in_merge_order(envelopes[a], envelopes[b]);
    });
    // order[i] is the position the envelope that belongs at i comes from; each settled slot is
    // marked with its own index so that every cycle is walked once.
    for (std::size_t start = 0; start < order.size(); ++start) {
        if (order[start] == start) continue;
        event::Envelope held = std::move(envelopes[start]);
        std::size_t slot = start;
        while (order[slot] != start) {
            const std::size_t from = order[slot];
            envelopes[slot] = std::move(envelopes[from]);
            order[slot] = slot;
            slot = from;
        }
        envelopes[slot] = std::move(held);
        order[slot] = slot;
    }
}

}  // namespace korvalle::journal
