// Merge order of a journal's envelopes.
#include "sdk/journal.hpp"

#include <algorithm>

namespace korvalle::journal {

void merge_order(std::vector<event::Envelope>& envelopes) {
    // std::string compares through char_traits<char>, which orders bytes as unsigned values.
    std::stable_sort(envelopes.begin(), envelopes.end(), [](const event::Envelope& a, const event::Envelope& b) {
        if (int c = a.ts.compare(b.ts); c != 0) return c < 0;
        if (int c = a.stream.compare(b.stream); c != 0) return c < 0;
        return a.seq < b.seq;
    });
}

}  // namespace korvalle::journal
