// What the documents derive from a view: the facts of its envelopes (envelope_facts.hpp), on
// which the run detail's journal index, the timeline's index and the session groups are built,
// the run detail's node details, the texts of the parts of documents that are the view's alone
// (the run detail's conversations, the whole-run timeline), and the run detail's round objects,
// which are the view's and its round files'. A document takes them from a ViewIndexes, so that
// whoever keeps a view can keep these beside it, each built once on first need, and no document
// walks the whole journal or reads a round file to make them again; a document built from a view
// nobody keeps makes its own (OwnIndexes).
#pragma once

#include "sdk/base/file_identity.hpp"
#include "sdk/base/fragments.hpp"
#include "sdk/plan/plan.hpp"
#include "src/payload/session_groups.hpp"

#include <cstdint>
#include <memory>
#include <string>

namespace korvalle::views {
struct RunView;
}

namespace korvalle::payload {

class EnvelopeFacts;
class TimelineIndex;

namespace detail {
class JournalIndex;
struct StatusWords;
}  // namespace detail

// One round's object in the run detail, and the round files it was read from (the round's
// plan file, unless the round is the view's current one, and its result file, whether they
// were there or not): in a document of the view it was made from, it stands for the round for
// as long as stat finds those files as they were.
struct RoundObject {
    text::SharedText text;  // null when the round's plan cannot be had: the round is not shown
    files::SeenFiles files;

    std::uint64_t held_bytes() const;
};

class ViewIndexes {
public:
    virtual ~ViewIndexes() = default;
    virtual const detail::JournalIndex& journal() const = 0;
    virtual const TimelineIndex& timeline() const = 0;
    // payload::session_groups of the view.
    virtual const SessionGroups& sessions() const = 0;
    // The words of the view's derived statuses, which every round's object reads.
    virtual const detail::StatusWords& derived_statuses() const = 0;
    // The text of the run detail's "node_details" value.
    virtual const text::SharedText& node_details() const = 0;
    // The text of the run detail's "conversations" value with every session projected.
    virtual const text::SharedText& conversations() const = 0;
    // The text of the whole-run timeline document.
    virtual const text::SharedText& whole_timeline() const = 0;
    // The object of one round: made from the round's files now, or made before from files that
    // are still as they were.
    virtual std::shared_ptr<const RoundObject> round(std::uint64_t number) const = 0;
};

// Each index or text of the view, made from it alone (or from an index made from it). The
// indexes made from the view's facts keep them.
std::shared_ptr<const EnvelopeFacts> read_facts(const views::RunView& view);
std::shared_ptr<const detail::JournalIndex> index_journal(const views::RunView& view,
                                                          std::shared_ptr<const EnvelopeFacts> facts);
std::shared_ptr<const TimelineIndex> index_timeline(const views::RunView& view,
                                                    std::shared_ptr<const EnvelopeFacts> facts);
std::shared_ptr<const SessionGroups> group_sessions(const views::RunView& view, const EnvelopeFacts& facts);
std::shared_ptr<const detail::StatusWords> derive_status_words(const views::RunView& view);
text::SharedText write_node_details(const views::RunView& view, const detail::JournalIndex& journal);
text::SharedText write_conversations(const views::RunView& view, const SessionGroups& groups);
text::SharedText write_whole_timeline(const views::RunView& view, const TimelineIndex& index);
// The object of one round of the view, its files read now; spent is a plan no longer needed,
// whose room the round's plan is read into.
std::shared_ptr<const RoundObject> make_round(const views::RunView& view, std::uint64_t number,
                                              const ViewIndexes& indexes, plan::Plan& spent);

// The bytes each holds.
std::uint64_t held_bytes(const EnvelopeFacts& facts);
std::uint64_t held_bytes(const detail::JournalIndex& index);
std::uint64_t held_bytes(const TimelineIndex& index);
std::uint64_t held_bytes(const SessionGroups& groups);
std::uint64_t held_bytes(const detail::StatusWords& words);

// The indexes of one document, made on first need, by one thread; its round objects are made
// anew at every asking.
class OwnIndexes final : public ViewIndexes {
public:
    explicit OwnIndexes(const views::RunView& view) : view_(view) {}
    const detail::JournalIndex& journal() const override;
    const TimelineIndex& timeline() const override;
    const SessionGroups& sessions() const override;
    const detail::StatusWords& derived_statuses() const override;
    const text::SharedText& node_details() const override;
    const text::SharedText& conversations() const override;
    const text::SharedText& whole_timeline() const override;
    std::shared_ptr<const RoundObject> round(std::uint64_t number) const override;

private:
    const std::shared_ptr<const EnvelopeFacts>& facts() const;

    const views::RunView& view_;
    mutable std::shared_ptr<const EnvelopeFacts> facts_;
    mutable std::shared_ptr<const detail::JournalIndex> journal_;
    mutable std::shared_ptr<const TimelineIndex> timeline_;
    mutable std::shared_ptr<const SessionGroups> sessions_;
    mutable std::shared_ptr<const detail::StatusWords> derived_;
    mutable text::SharedText node_details_;
    mutable text::SharedText conversations_;
    mutable text::SharedText whole_timeline_;
    mutable plan::Plan spent_;  // the room of the last round's plan
};

}  // namespace korvalle::payload
