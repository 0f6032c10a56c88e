// What a document of one run takes of the answers' budget before it is built, so that a crowd
// asking for a large run waits its turn (or is told the server is busy) before anything is made
// for it, instead of building at once and counting afterwards.
//
// The share is an estimate of what will be made for this document from the view's kept indexes
// (kept_indexes.hpp): a piece kept with the view counts nothing, as it is counted where it lives,
// and so need not be made from its inputs; a piece made for each document counts the size it had
// when first made, and its inputs count too; the pieces yet to be made count the view's arena
// bytes, once, which their first making does not outgrow in practice, taken by the first document
// that claims them for every document that waits for their making. The round objects made for
// each document count their last size. The answer then corrects the share to its own bytes.
//
// A claim belongs to one document, used by one thread at a time.
#pragma once

#include "src/store/kept_indexes.hpp"
#include "src/store/run_cache.hpp"

#include <cstdint>
#include <utility>
#include <vector>

namespace korvalle::store {

class BuildClaim {
public:
    using Piece = KeptIndexes::Piece;

    // pieces: those the document is built from; rounds: whether it shows the run's round objects.
    explicit BuildClaim(std::vector<Piece> pieces, bool rounds = false)
        : pieces_(std::move(pieces)), rounds_(rounds) {}

    // The bytes to take before the document is built from run. Claims the pieces yet to be made
    // that no other document claimed; a piece another document claimed counts nothing here.
    std::uint64_t estimate(const OpenedRun& run);

    // Whether the document must estimate again, once, before it is built: a piece the estimate
    // counted nothing for, behind another document's claim, is not kept once the making under
    // way (if any) has ended. It is then made for each document, or still to be made, and the
    // next estimate counts it as this document's own to make.
    bool estimates_again(const OpenedRun& run);

private:
    // Adds what piece costs, and its inputs when it is made for this document, to bytes.
    void count(const KeptIndexes& indexes, Piece piece, std::uint64_t& bytes, bool& unmade,
               std::vector<Piece>& counted);

    const std::vector<Piece> pieces_;
    const bool rounds_;
    KeptIndexes::Claim claim_;  // held until the document is done
    std::vector<Piece> behind_;  // pieces of the last estimate that another document claimed
    bool again_ = false;         // estimating again: a piece behind a claim counts as unmade
};

}  // namespace korvalle::store
