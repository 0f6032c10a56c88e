#include "src/store/build_claim.hpp"

#include <algorithm>

namespace korvalle::store {

Step BuildClaim::estimate(const SharedRun& run, const Resume& resume) {
    // The run read again may be another view of it: claims on the former one go.
    if (claimed_in_.lock() != run) release();
    for (;;) {
        bytes_ = 0;
        bool unmade = false;
        std::uint32_t counted = 0;
        std::vector<Piece> behind;
        for (const Piece piece : pieces_) count(run->indexes, piece, unmade, counted, behind);
        if (rounds_) bytes_ += run->indexes.rounds_made_alone_bytes();
        if (unmade) {
            // Its share for the pieces it claimed covers those another document claimed too.
            claimed_in_ = run;
            bytes_ += run->view.envelopes.arena_bytes();
            return Step::Done;
        }
        if (behind.empty()) return Step::Done;
        // Only a document that claimed nothing waits, so no two documents wait for each other.
        for (const Piece piece : behind)
            if (run->indexes.wait_behind(piece, resume)) return Step::Waits;
        // The pieces were made meanwhile, or their claims let go: count again.
    }
}

void BuildClaim::count(const KeptIndexes& indexes, Piece piece, bool& unmade, std::uint32_t& counted,
                       std::vector<Piece>& behind) {
    const std::uint32_t bit = 1u << static_cast<unsigned>(piece);
    if (counted & bit) return;
    counted |= bit;
    switch (indexes.share_for(piece, claim_)) {
    case KeptIndexes::Share::None: return;
    case KeptIndexes::Share::Behind: behind.push_back(piece); return;
    case KeptIndexes::Share::ForAll:
        unmade = true;
        if (std::find(claimed_.begin(), claimed_.end(), piece) == claimed_.end()) claimed_.push_back(piece);
        break;
    case KeptIndexes::Share::Own: bytes_ += indexes.first_bytes(piece); break;
    }
    if (const auto input = KeptIndexes::input_of(piece)) count(indexes, *input, unmade, counted, behind);
}

void BuildClaim::release() {
    if (const SharedRun run = claimed_in_.lock())
        for (const Piece piece : claimed_) run->indexes.release_claim(piece, claim_);
    claimed_.clear();
    claimed_in_.reset();
}

}  // namespace korvalle::store
