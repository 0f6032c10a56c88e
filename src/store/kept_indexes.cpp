#include "src/store/kept_indexes.hpp"

#include "sdk/base/memory.hpp"
#include "src/payload/envelope_facts.hpp"

#include <type_traits>
#include <utility>

namespace korvalle::store {

namespace {

using payload::held_bytes;

std::uint64_t held_bytes(const std::string& text) { return sizeof(text) + memory::written_bytes(text); }
std::uint64_t held_bytes(const payload::LiveActivity& activity) { return activity.held_bytes(); }
std::uint64_t held_bytes(const payload::ConversationDigests& digests) { return digests.held_bytes(); }

}  // namespace

std::vector<Resume> KeptIndexes::PartState::take_behind() {
    sync::Lock lock(claiming);
    return std::exchange(behind, {});
}

template <class T, class Make>
const std::shared_ptr<const T>& KeptIndexes::made(Part<T>& part, Make make, std::shared_ptr<const T>& own,
                                                  bool keepable) const {
    const std::shared_ptr<const T>* first = nullptr;  // made now, by this caller
    {
        sync::Lock lock(part.making);
        if (part.made.load(std::memory_order_relaxed) == Made::Not) {
            std::shared_ptr<const T> value = make();
            if (keepable && room_.take(held_bytes(*value))) {
                // A text answers send is shared as one of the view's kept texts.
                if constexpr (std::is_same_v<T, std::string>) value = texts_.keep(std::move(value));
                part.value = std::move(value);
                part.made.store(Made::Kept, std::memory_order_release);
                first = &part.value;
            } else {
                // What a document that makes its own will hold: it takes that much before it is
                // built.
                part.first_bytes.store(held_bytes(*value), std::memory_order_relaxed);
                part.made.store(Made::Alone, std::memory_order_release);
                own = std::move(value);
                first = &own;
            }
        } else if (part.value) {
            // Made: the part is kept for good, or never will be (value is set only before made).
            return part.value;
        }
    }
    if (first) {
        for (const Resume& resume : part.take_behind()) resume();
        return *first;
    }
    own = make();
    return own;
}

const std::shared_ptr<const payload::EnvelopeFacts>& KeptIndexes::Of::facts() const {
    return kept_.made(kept_.facts_, [&] { return payload::read_facts(view_); }, own_.facts);
}

bool KeptIndexes::Of::facts_kept() const { return &facts() == &kept_.facts_.value; }

const payload::detail::JournalIndex& KeptIndexes::Of::journal() const {
    const bool keepable = facts_kept();
    return *kept_.made(kept_.journal_, [&] { return payload::index_journal(view_, facts()); }, own_.journal, keepable);
}

const payload::TimelineIndex& KeptIndexes::Of::timeline() const {
    const bool keepable = facts_kept();
    return *kept_.made(kept_.timeline_, [&] { return payload::index_timeline(view_, facts()); }, own_.timeline,
                       keepable);
}

const payload::SessionGroups& KeptIndexes::Of::sessions() const {
    return *kept_.made(kept_.sessions_, [&] { return payload::group_sessions(view_, *facts()); }, own_.sessions);
}

const payload::detail::StatusWords& KeptIndexes::Of::derived_statuses() const {
    return *kept_.made(kept_.derived_, [&] { return payload::derive_status_words(view_); }, own_.derived);
}

const text::SharedText& KeptIndexes::Of::node_details() const {
    return kept_.made(kept_.node_details_, [&] { return payload::write_node_details(view_, journal()); },
                      own_.node_details);
}

const text::SharedText& KeptIndexes::Of::conversations() const {
    return kept_.made(kept_.conversations_, [&] { return payload::write_conversations(view_, sessions()); },
                      own_.conversations);
}

const text::SharedText& KeptIndexes::Of::whole_timeline() const {
    return kept_.made(kept_.whole_timeline_, [&] { return payload::write_whole_timeline(view_, timeline()); },
                      own_.whole_timeline);
}

std::shared_ptr<const payload::RoundObject> KeptIndexes::Of::round(std::uint64_t number) const {
    return kept_.rounds_.get(number, read_from_, [&] { return payload::make_round(view_, number, *this, spent_); });
}

KeptIndexes::PartState& KeptIndexes::part_of(Piece piece) const {
    switch (piece) {
    case Piece::Facts: return facts_;
    case Piece::Journal: return journal_;
    case Piece::Timeline: return timeline_;
    case Piece::Sessions: return sessions_;
    case Piece::DerivedStatuses: return derived_;
    case Piece::NodeDetails: return node_details_;
    case Piece::Conversations: return conversations_;
    case Piece::WholeTimeline: return whole_timeline_;
    }
    return facts_;
}

std::optional<KeptIndexes::Piece> KeptIndexes::input_of(Piece piece) {
    switch (piece) {
    case Piece::Journal:
    case Piece::Timeline:
    case Piece::Sessions: return Piece::Facts;
    case Piece::NodeDetails: return Piece::Journal;
    case Piece::Conversations: return Piece::Sessions;
    case Piece::WholeTimeline: return Piece::Timeline;
    case Piece::Facts:
    case Piece::DerivedStatuses: break;
    }
    return std::nullopt;
}

KeptIndexes::Share KeptIndexes::share_for(Piece piece, Claim& claim) const {
    PartState& part = part_of(piece);
    switch (part.made.load(std::memory_order_acquire)) {
    case Made::Kept: return Share::None;
    case Made::Alone: return Share::Own;
    case Made::Not: break;
    }
    // The piece may be made meanwhile: a claim taken then only takes a share that the document's
    // answer gives back once it is built.
    sync::Lock lock(part.claiming);
    if (const Claim by = part.claimed_by.lock(); by && by != claim) return Share::Behind;
    if (!claim) claim = std::make_shared<const bool>(true);
    part.claimed_by = claim;
    return Share::ForAll;
}

std::uint64_t KeptIndexes::first_bytes(Piece piece) const {
    return part_of(piece).first_bytes.load(std::memory_order_relaxed);
}

bool KeptIndexes::wait_behind(Piece piece, const Resume& resume) const {
    PartState& part = part_of(piece);
    sync::Lock lock(part.claiming);
    // Made before the lock was taken, the piece's maker has resumed those behind it already.
    if (part.made.load(std::memory_order_acquire) != Made::Not || part.claimed_by.expired()) return false;
    part.behind.push_back(resume);
    return true;
}

void KeptIndexes::release_claim(Piece piece, const Claim& claim) const {
    PartState& part = part_of(piece);
    std::vector<Resume> behind;
    {
        sync::Lock lock(part.claiming);
        if (part.claimed_by.lock() != claim) return;
        part.claimed_by.reset();
        behind = std::exchange(part.behind, {});
    }
    for (const Resume& resume : behind) resume();
}

std::shared_ptr<const payload::LiveActivity> KeptIndexes::activity(const views::RunView& view,
                                                                   const payload::LiveActivity* earlier) const {
    std::shared_ptr<const payload::LiveActivity> own;
    return made(activity_, [&] {
        return earlier && earlier->carries_to(view) ? std::make_shared<const payload::LiveActivity>(*earlier, view)
                                                    : std::make_shared<const payload::LiveActivity>(view);
    }, own);
}

std::shared_ptr<const payload::ConversationDigests> KeptIndexes::conversations(
    const views::RunView& view, const payload::ConversationDigests* earlier) const {
    std::shared_ptr<const payload::ConversationDigests> own;
    return made(digests_, [&] {
        return earlier && earlier->carries_to(view) ? std::make_shared<const payload::ConversationDigests>(*earlier, view)
                                                    : std::make_shared<const payload::ConversationDigests>(view);
    }, own);
}

}  // namespace korvalle::store
