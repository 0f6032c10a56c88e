// The indexes and texts a view's documents derive from it, each made on first need.
#include "src/payload/indexes.hpp"

#include "sdk/base/memory.hpp"
#include "sdk/run/views.hpp"
#include "src/payload/conversation.hpp"
#include "src/payload/envelope_facts.hpp"
#include "src/payload/run_detail/detail/journal_index.hpp"
#include "src/payload/run_detail/detail/node_details.hpp"
#include "src/payload/run_detail/detail/round_detail.hpp"
#include "src/payload/timeline/timeline.hpp"

namespace korvalle::payload {

namespace {

// A text written whole by write(out).
template <class Write>
text::SharedText written_text(Write write) {
    auto text = std::make_shared<std::string>();
    json::Writer out(*text);
    write(out);
    return text;
}

}  // namespace

std::shared_ptr<const EnvelopeFacts> read_facts(const views::RunView& view) {
    return std::make_shared<const EnvelopeFacts>(view.envelopes);
}

std::shared_ptr<const detail::JournalIndex> index_journal(const views::RunView& view,
                                                          std::shared_ptr<const EnvelopeFacts> facts) {
    return std::make_shared<const detail::JournalIndex>(view.envelopes, std::move(facts));
}

std::shared_ptr<const TimelineIndex> index_timeline(const views::RunView& view,
                                                    std::shared_ptr<const EnvelopeFacts> facts) {
    return std::make_shared<const TimelineIndex>(view.envelopes, std::move(facts));
}

std::shared_ptr<const SessionGroups> group_sessions(const views::RunView& view, const EnvelopeFacts& facts) {
    return std::make_shared<const SessionGroups>(session_groups(view.envelopes, facts));
}

std::shared_ptr<const detail::StatusWords> derive_status_words(const views::RunView& view) {
    return std::make_shared<const detail::StatusWords>(detail::derived_status_words(view));
}

text::SharedText write_node_details(const views::RunView& view, const detail::JournalIndex& journal) {
    return written_text([&](json::Writer& out) { detail::node_details(out, view, journal); });
}

text::SharedText write_conversations(const views::RunView& view, const SessionGroups& groups) {
    auto text = std::make_shared<std::string>();
    text->reserve(conversations_room(groups, view));
    json::Writer out(*text);
    write_session_groups(out, groups, view);
    return text;
}

text::SharedText write_whole_timeline(const views::RunView& view, const TimelineIndex& index) {
    auto text = std::make_shared<std::string>();
    write_timeline(*text, view, std::nullopt, index);
    return text;
}

std::shared_ptr<const RoundObject> make_round(const views::RunView& view, std::uint64_t number,
                                              const ViewIndexes& indexes, plan::Plan& spent) {
    auto object = std::make_shared<RoundObject>();
    auto text = std::make_shared<std::string>();
    json::Writer out(*text);
    if (detail::write_round_detail(out, view, number, indexes.journal(), indexes.derived_statuses(), spent,
                                   object->files))
        object->text = std::move(text);
    return object;
}

std::uint64_t RoundObject::held_bytes() const {
    std::uint64_t bytes = sizeof(RoundObject) + files.files.capacity() * sizeof(files::Seen);
    if (text) bytes += sizeof(std::string) + memory::written_bytes(*text);
    for (const files::Seen& seen : files.files) bytes += seen.path.native().capacity();
    return bytes;
}

std::uint64_t held_bytes(const EnvelopeFacts& facts) { return facts.held_bytes(); }

std::uint64_t held_bytes(const detail::JournalIndex& index) { return index.held_bytes(); }

std::uint64_t held_bytes(const TimelineIndex& index) { return index.held_bytes(); }

std::uint64_t held_bytes(const SessionGroups& groups) {
    std::uint64_t bytes = sizeof(SessionGroups) + groups.capacity() * sizeof(SessionEnvelopes);
    for (const SessionEnvelopes& group : groups) bytes += group.envelopes.capacity() * sizeof(const event::Envelope*);
    return bytes;
}

std::uint64_t held_bytes(const detail::StatusWords& words) {
    // A flat table's slot holds one entry and a byte of metadata.
    return sizeof(detail::StatusWords) + words.bucket_count() * (sizeof(detail::StatusWords::value_type) + 1);
}

const std::shared_ptr<const EnvelopeFacts>& OwnIndexes::facts() const {
    if (!facts_) facts_ = read_facts(view_);
    return facts_;
}

const detail::JournalIndex& OwnIndexes::journal() const {
    if (!journal_) journal_ = index_journal(view_, facts());
    return *journal_;
}

const TimelineIndex& OwnIndexes::timeline() const {
    if (!timeline_) timeline_ = index_timeline(view_, facts());
    return *timeline_;
}

const SessionGroups& OwnIndexes::sessions() const {
    if (!sessions_) sessions_ = group_sessions(view_, *facts());
    return *sessions_;
}

const detail::StatusWords& OwnIndexes::derived_statuses() const {
    if (!derived_) derived_ = derive_status_words(view_);
    return *derived_;
}

const text::SharedText& OwnIndexes::node_details() const {
    if (!node_details_) node_details_ = write_node_details(view_, journal());
    return node_details_;
}

const text::SharedText& OwnIndexes::conversations() const {
    if (!conversations_) conversations_ = write_conversations(view_, sessions());
    return conversations_;
}

const text::SharedText& OwnIndexes::whole_timeline() const {
    if (!whole_timeline_) whole_timeline_ = write_whole_timeline(view_, timeline());
    return whole_timeline_;
}

std::shared_ptr<const RoundObject> OwnIndexes::round(std::uint64_t number) const {
    return make_round(view_, number, *this, spent_);
}

}  // namespace korvalle::payload
