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
const std::shared_ptr<const T>& KeptIndexes::made(Part<T>& part, Make make) const {
    std::call_once(part.once, [&] {
        part.value = make();
        bytes_ += held_bytes(*part.value);
    });
    return part.value;
}

const std::shared_ptr<const payload::EnvelopeFacts>& KeptIndexes::Of::facts() const {
    return kept_.made(kept_.facts_, [&] { return payload::read_facts(view_); });
}

const payload::detail::JournalIndex& KeptIndexes::Of::journal() const {
    return *kept_.made(kept_.journal_, [&] { return payload::index_journal(view_, facts()); });
}

const payload::TimelineIndex& KeptIndexes::Of::timeline() const {
    return *kept_.made(kept_.timeline_, [&] { return payload::index_timeline(view_, facts()); });
}

const payload::SessionGroups& KeptIndexes::Of::sessions() const {
    return *kept_.made(kept_.sessions_, [&] { return payload::group_sessions(view_, *facts()); });
}

const payload::detail::StatusWords& KeptIndexes::Of::derived_statuses() const {
    return *kept_.made(kept_.derived_, [&] { return payload::derive_status_words(view_); });
}

const text::SharedText& KeptIndexes::Of::node_details() const {
    return kept_.made(kept_.node_details_, [&] { return payload::write_node_details(view_, journal()); });
}

const text::SharedText& KeptIndexes::Of::conversations() const {
    return kept_.made(kept_.conversations_, [&] { return payload::write_conversations(view_, sessions()); });
}

const text::SharedText& KeptIndexes::Of::whole_timeline() const {
    return kept_.made(kept_.whole_timeline_, [&] { return payload::write_whole_timeline(view_, timeline()); });
}

std::shared_ptr<const payload::RoundObject> KeptIndexes::Of::round(std::uint64_t number) const {
    return kept_.rounds_.get(number, read_from_, [&] { return payload::make_round(view_, number, *this, spent_); });
}

std::shared_ptr<const payload::LiveActivity> KeptIndexes::activity(const views::RunView& view,
                                                                   const payload::LiveActivity* earlier) const {
    return made(activity_, [&] {
        return earlier && earlier->carries_to(view) ? std::make_shared<const payload::LiveActivity>(*earlier, view)
                                                    : std::make_shared<const payload::LiveActivity>(view);
    });
}

std::shared_ptr<const payload::ConversationDigests> KeptIndexes::conversations(
    const views::RunView& view, const payload::ConversationDigests* earlier) const {
    return made(digests_, [&] {
        return earlier && earlier->carries_to(view) ? std::make_shared<const payload::ConversationDigests>(*earlier, view)
                                                    : std::make_shared<const payload::ConversationDigests>(view);
    });
}

}  // namespace korvalle::store
