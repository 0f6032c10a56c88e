#include "src/store/kept_indexes.hpp"

#include "sdk/base/memory.hpp"
#include "src/payload/envelope_facts.hpp"

namespace korvalle::store {

namespace {

using payload::held_bytes;

std::uint64_t held_bytes(const std::string& text) { return sizeof(text) + memory::written_bytes(text); }
std::uint64_t held_bytes(const payload::LiveActivity& activity) { return activity.held_bytes(); }
std::uint64_t held_bytes(const payload::ConversationDigests& digests) { return digests.held_bytes(); }

}  // namespace

template <class T, class Make>
const std::shared_ptr<const T>& KeptIndexes::made(Part<T>& part, Make make, std::shared_ptr<const T>& own,
                                                  bool keepable) const {
    {
        sync::Lock lock(part.making);
        if (!part.made) {
            std::shared_ptr<const T> value = make();
            part.made = true;
            if (keepable && room_.take(held_bytes(*value))) {
                part.value = std::move(value);
                return part.value;
            }
            own = std::move(value);
            return own;
        }
        // Made: the part is kept for good, or never will be (value is set only before made).
        if (part.value) return part.value;
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
