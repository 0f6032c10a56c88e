#include "src/payload/indexes.hpp"

#include "sdk/run/views.hpp"
#include "src/payload/detail/journal_index.hpp"
#include "src/payload/detail/run_detail_parts.hpp"

namespace korvalle::payload {

std::shared_ptr<const detail::JournalIndex> index_journal(const views::RunView& view) {
    return std::make_shared<const detail::JournalIndex>(view.envelopes);
}

std::shared_ptr<const TimelineIndex> index_timeline(const views::RunView& view) {
    return std::make_shared<const TimelineIndex>(view.envelopes);
}

std::shared_ptr<const SessionGroups> group_sessions(const views::RunView& view) {
    return std::make_shared<const SessionGroups>(session_groups(view));
}

std::shared_ptr<const std::string> write_node_details(const views::RunView& view, const detail::JournalIndex& journal) {
    auto text = std::make_shared<std::string>();
    json::Writer out(*text);
    detail::node_details(out, view, journal);
    return text;
}

std::uint64_t held_bytes(const detail::JournalIndex& index) { return index.held_bytes(); }

std::uint64_t held_bytes(const TimelineIndex& index) { return index.held_bytes(); }

std::uint64_t held_bytes(const SessionGroups& groups) {
    std::uint64_t bytes = sizeof(SessionGroups) + groups.capacity() * sizeof(SessionEnvelopes);
    for (const SessionEnvelopes& group : groups) bytes += group.envelopes.capacity() * sizeof(const event::Envelope*);
    return bytes;
}

const detail::JournalIndex& OwnIndexes::journal() const {
    if (!journal_) journal_ = index_journal(view_);
    return *journal_;
}

const TimelineIndex& OwnIndexes::timeline() const {
    if (!timeline_) timeline_ = index_timeline(view_);
    return *timeline_;
}

const std::string& OwnIndexes::node_details() const {
    if (!node_details_) node_details_ = write_node_details(view_, journal());
    return *node_details_;
}

const SessionGroups& OwnIndexes::sessions() const {
    if (!sessions_) sessions_ = group_sessions(view_);
    return *sessions_;
}

}  // namespace korvalle::payload
