// What a document of one run takes of the answers' budget before it is built, so that a crowd
// asking for a large run waits its turn (or is told the server is busy) before anything is made
// for it, instead of building at once and counting afterwards.
//
// The share is an estimate of what will be made for this document from the view's kept indexes
// (kept_indexes.hpp): a piece kept with the view counts nothing, as it is counted where it lives,
// and so need not be made from its inputs; a piece made for each document counts the size it had
// when first made, and its inputs count too; the pieces yet to be made count the view's arena
// bytes, once, which their first making does not outgrow in practice. Those are claimed by the
// first document that finds them so, which takes that share for every document that waits for
// their making: a document whose pieces are all kept, made for each, or claimed by another waits
// behind the claims, without a thread, and estimates again once the pieces are made or the claims
// let go. The round objects made for each document count their last size. The answer then
// corrects the share to its own bytes.
//
// A claim belongs to one document, used by one thread at a time; it lets its claims go when it
// ends.
#pragma once

#include "src/store/kept_indexes.hpp"
#include "src/store/run_cache.hpp"
#include "src/store/steps.hpp"

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace korvalle::store {

class BuildClaim {
public:
    using Piece = KeptIndexes::Piece;

    // pieces: those the document is built from; rounds: whether it shows the run's round objects.
    explicit BuildClaim(std::vector<Piece> pieces, bool rounds = false)
        : pieces_(std::move(pieces)), rounds_(rounds) {}
    BuildClaim(BuildClaim&&) = default;
    BuildClaim& operator=(BuildClaim&&) = delete;
    ~BuildClaim() { release(); }

    // Done: bytes() is the share to take before the document is built from run; the pieces yet
    // to be made that no other document claimed are claimed. Waits: behind another document's
    // claim; resume is called once, when that piece is made or the claim let go: estimate again
    // then.
    Step estimate(const SharedRun& run, const Resume& resume);
    std::uint64_t bytes() const { return bytes_; }

private:
    // Adds what piece costs, and its inputs when it is made for this document, to bytes_.
    // counted: a bit per piece counted already.
    void count(const KeptIndexes& indexes, Piece piece, bool& unmade, std::uint32_t& counted,
               std::vector<Piece>& behind);
    // Lets the claims taken go, so that those behind them go on.
    void release();

    std::vector<Piece> pieces_;
    bool rounds_;
    std::uint64_t bytes_ = 0;
    KeptIndexes::Claim claim_;             // this document's, held until it is done
    std::weak_ptr<const OpenedRun> claimed_in_;  // the run whose pieces it claimed
    std::vector<Piece> claimed_;
};

}  // namespace korvalle::store
