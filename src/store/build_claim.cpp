#include "src/store/build_claim.hpp"

#include <algorithm>

namespace korvalle::store {

std::uint64_t BuildClaim::estimate(const OpenedRun& run) {
    behind_.clear();
    std::uint64_t bytes = 0;
    bool unmade = false;
    std::vector<Piece> counted;
    for (const Piece piece : pieces_) count(run.indexes, piece, bytes, unmade, counted);
    if (rounds_) bytes += run.indexes.rounds_made_alone_bytes();
    return unmade ? bytes + run.view.envelopes.arena_bytes() : bytes;
}

void BuildClaim::count(const KeptIndexes& indexes, Piece piece, std::uint64_t& bytes, bool& unmade,
                       std::vector<Piece>& counted) {
    if (std::find(counted.begin(), counted.end(), piece) != counted.end()) return;
    counted.push_back(piece);
    switch (indexes.share_for(piece, claim_)) {
    case KeptIndexes::Share::None: return;
    case KeptIndexes::Share::Behind:
        if (!again_) {
            behind_.push_back(piece);
            return;
        }
        unmade = true;
        break;
    case KeptIndexes::Share::ForAll: unmade = true; break;
    case KeptIndexes::Share::Own: bytes += indexes.first_bytes(piece); break;
    }
    for (const Piece input : KeptIndexes::inputs_of(piece)) count(indexes, input, bytes, unmade, counted);
}

bool BuildClaim::estimates_again(const OpenedRun& run) {
    if (again_) return false;
    again_ = std::any_of(behind_.begin(), behind_.end(), [&](Piece piece) { return !run.indexes.kept_once_made(piece); });
    return again_;
}

}  // namespace korvalle::store
