// The indexes of one opened run (payload/indexes.hpp) and what the change feed reads of it, kept
// with its view: each is made on first need by the first caller that asks, while others asking
// meanwhile wait for it, and goes with the view. The run detail's round objects are kept the same
// way while their round files are unchanged (kept_rounds.hpp).
//
// A part is kept only when it fits the room beside the view (kept_room.hpp), in the order the
// documents ask for them. One that does not fit is made for the caller alone, and again by each
// later caller that needs it, each on its own; so is one built on envelope facts that were not
// kept, which it would hold uncounted. Apart from what is built on the facts, no part holds
// another, so each is made, kept or not on its own.
//
// Threads: a view's kept indexes are shared by every document and change feed that reads the
// view, on any thread. Each part has a lock of its own, held while the first caller that needs
// it makes it, so that it is made once; a part set (made, and kept or not) never changes again,
// so it is read without the lock afterwards. Making a part may take the lock of a part it is
// built on (the journal index, the timeline index and the session groups: the facts; the node
// details: the journal index; the conversations: the session groups; the whole timeline: the
// timeline index), never the other way, and no maker takes any other lock of the server's. A
// round object's maker holds the rounds' makers' lock and may take the parts' (kept_rounds.hpp).
// What is kept is counted in the room beside the view, which synchronises on its own
// (kept_room.hpp); the texts kept are listed with the view's kept texts, whose lock is taken under
// a part's (kept_texts.hpp). An Of belongs to one document, used by one thread at a time.
//
// The answers' budget: a text kept is counted where it lives (kept_texts.hpp), so a document that
// sends it counts nothing for it. Before it is built, a document asks what each part it is built
// from will cost it (share_for, summed by build_claim.hpp): nothing while the part is kept; the
// size it had when first made, when it is made for each document; when it is yet to be made, the
// share of its making, taken once by the first document that finds it so (its claim) for every
// document that waits for it: those wait behind the claim without a thread (wait_behind) until
// the part is made or the claim let go, then ask again.
#pragma once

#include "sdk/base/thread_safety.hpp"
#include "src/payload/conversation_digests.hpp"
#include "src/payload/indexes.hpp"
#include "src/payload/live_activity.hpp"
#include "src/store/kept_rounds.hpp"
#include "src/store/kept_room.hpp"
#include "src/store/kept_texts.hpp"
#include "src/store/memory_budget.hpp"
#include "src/store/steps.hpp"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvalle::store {

class KeptIndexes {
public:
    // room: the bytes that may be kept beside the view. answers: the budget that counts the texts
    // kept once the view is let go (kept_texts.hpp); none counts nothing then.
    explicit KeptIndexes(std::uint64_t room = KeptRoom::unbounded, std::shared_ptr<MemoryBudget> answers = nullptr)
        : room_(room), texts_(std::move(answers)), rounds_(room_, texts_) {}

    // The indexes of view as a document takes them; view is the one they are kept with.
    // read_from is the clock when the document began (RunCache::now), which decides whether a
    // round object made for it may be kept; none keeps no new one.
    class Of final : public payload::ViewIndexes {
    public:
        Of(const KeptIndexes& kept, const views::RunView& view, std::optional<std::int64_t> read_from = std::nullopt)
            : kept_(kept), view_(view), read_from_(read_from) {}
        const payload::detail::JournalIndex& journal() const override;
        const payload::TimelineIndex& timeline() const override;
        const payload::SessionGroups& sessions() const override;
        const payload::detail::StatusWords& derived_statuses() const override;
        const text::SharedText& node_details() const override;
        const text::SharedText& conversations() const override;
        const text::SharedText& whole_timeline() const override;
        std::shared_ptr<const payload::RoundObject> round(std::uint64_t number) const override;

    private:
        const std::shared_ptr<const payload::EnvelopeFacts>& facts() const;

        // The parts made for this document alone, as they did not fit beside the view.
        struct Own {
            std::shared_ptr<const payload::EnvelopeFacts> facts;
            std::shared_ptr<const payload::detail::JournalIndex> journal;
            std::shared_ptr<const payload::TimelineIndex> timeline;
            std::shared_ptr<const payload::SessionGroups> sessions;
            std::shared_ptr<const payload::detail::StatusWords> derived;
            text::SharedText node_details;
            text::SharedText conversations;
            text::SharedText whole_timeline;
        };

        // Whether the facts are kept: what is built on them may be kept only then.
        bool facts_kept() const;

        const KeptIndexes& kept_;
        const views::RunView& view_;
        std::optional<std::int64_t> read_from_;
        // The document's own, like the Of: no lock.
        mutable plan::Plan spent_;  // the room of the last round's plan made through this
        mutable Own own_;
    };

    // The change feed's reads of the view, made once: its live activity and what tells whether
    // its conversations changed, carried from those of an earlier view of the run (earlier, when
    // not null) when they carry to this one, else made from the whole view.
    std::shared_ptr<const payload::LiveActivity> activity(const views::RunView& view,
                                                          const payload::LiveActivity* earlier) const;
    std::shared_ptr<const payload::ConversationDigests> conversations(const views::RunView& view,
                                                                      const payload::ConversationDigests* earlier) const;

    // The bytes of the indexes, texts and round objects kept.
    std::uint64_t bytes() const { return room_.bytes(); }

    // The run cache lets the view go: the answers' budget counts the texts kept from now on.
    void let_go() const { texts_.let_go(); }

    // The parts a document is built from, each made once, kept or made for each document.
    enum class Piece : std::uint8_t {
        Facts,
        Journal,
        Timeline,
        Sessions,
        DerivedStatuses,
        NodeDetails,
        Conversations,
        WholeTimeline,
    };
    // The piece a piece is made from, if any: a piece made for a document needs it too.
    static std::optional<Piece> input_of(Piece piece);

    // What a document that will use a piece takes of the answers' budget for it before it is
    // built.
    enum class Share {
        None,    // it is kept, and counted where it lives
        Behind,  // it is yet to be made, and another document's claim took the share for it
        ForAll,  // it is yet to be made: this document claimed it, and takes the share for all
        Own,     // it is made for each document (it did not fit beside the view): first_bytes
    };
    // A document's claim to the share of a piece's making: held until the document is done.
    using Claim = std::shared_ptr<const void>;
    // The share for the piece; sets claim when the document claims it. A claim whose document is
    // done (or was refused) no longer holds: the next document to find the piece unmade claims it.
    Share share_for(Piece piece, Claim& claim) const;
    // The bytes a piece made for each document held when it was first made.
    std::uint64_t first_bytes(Piece piece) const;
    // Waits for the piece claimed by another document: true when it is still to be made and the
    // claim holds, and then resume is called once, when the piece is made or the claim is let go
    // (from whichever thread does that). False, resume not kept, when there is nothing to wait
    // for.
    bool wait_behind(Piece piece, const Resume& resume) const;
    // The claim's document is done: it holds the piece no more, and those waiting behind it go on.
    void release_claim(Piece piece, const Claim& claim) const;
    // The bytes of the round objects made for each document, as they did not fit beside the view.
    std::uint64_t rounds_made_alone_bytes() const { return rounds_.made_alone_bytes(); }

private:
    // One part: made by the first caller that needs it, and kept when it fits.
    enum class Made : std::uint8_t { Not, Kept, Alone };
    struct PartState {
        sync::Mutex making;  // held while the first caller makes it
        // Set under making, once; read without it by share_for.
        std::atomic<Made> made{Made::Not};
        std::atomic<std::uint64_t> first_bytes{0};  // set before made, when made Alone
        // Who claimed the share of its making, while that document is not done, and the
        // documents waiting behind that claim.
        sync::Mutex claiming;
        std::weak_ptr<const void> claimed_by GUARDED_BY(claiming);
        std::vector<Resume> behind GUARDED_BY(claiming);

        // Those waiting behind the claim, to be resumed: the piece is made, or the claim let go.
        std::vector<Resume> take_behind() EXCLUDES(claiming);
    };
    template <class T>
    struct Part : PartState {
        // None while not made, or not kept. Set only before made, so never changed once made:
        // a reference to it taken under the lock may be read after it is let go.
        std::shared_ptr<const T> value GUARDED_BY(making);
    };
    // The kept part; else the one make() gives (a shared pointer to it), kept and counted when it
    // may be kept (keepable) and fits the room, otherwise held by own. Callers wait while the
    // first one makes it; once it was not kept, each makes its own.
    template <class T, class Make>
    const std::shared_ptr<const T>& made(Part<T>& part, Make make, std::shared_ptr<const T>& own,
                                         bool keepable = true) const EXCLUDES(part.making);

    mutable Part<payload::EnvelopeFacts> facts_;
    mutable Part<payload::detail::JournalIndex> journal_;
    mutable Part<payload::TimelineIndex> timeline_;
    mutable Part<payload::SessionGroups> sessions_;
    mutable Part<payload::detail::StatusWords> derived_;
    mutable Part<std::string> node_details_;
    mutable Part<std::string> conversations_;
    mutable Part<std::string> whole_timeline_;
    mutable Part<payload::LiveActivity> activity_;
    mutable Part<payload::ConversationDigests> digests_;
    PartState& part_of(Piece piece) const;

    mutable KeptRoom room_;      // synchronised on its own
    mutable KeptTexts texts_;    // locks on its own
    mutable KeptRounds rounds_;  // locks on its own
};

}  // namespace korvalle::store
