// What the documents derive from a view alone: the run detail's journal index and its node
// details, the timeline's index and the session groups. A document takes them from a ViewIndexes, so that
// whoever keeps a view can keep these beside it, each built once on first need, and no
// document walks the whole journal to make them again; a document built from a view nobody
// keeps makes its own (OwnIndexes).
#pragma once

#include "src/payload/conversation.hpp"
#include "src/payload/timeline.hpp"

#include <cstdint>
#include <memory>
#include <string>

namespace korvalle::views {
struct RunView;
}

namespace korvalle::payload {

namespace detail {
class JournalIndex;
}

class ViewIndexes {
public:
    virtual ~ViewIndexes() = default;
    virtual const detail::JournalIndex& journal() const = 0;
    virtual const TimelineIndex& timeline() const = 0;
    // payload::session_groups of the view.
    virtual const SessionGroups& sessions() const = 0;
    // The text of the run detail's "node_details" value: the view's alone.
    virtual const std::string& node_details() const = 0;
};

// Each index of the view, made from it alone.
std::shared_ptr<const detail::JournalIndex> index_journal(const views::RunView& view);
std::shared_ptr<const TimelineIndex> index_timeline(const views::RunView& view);
std::shared_ptr<const SessionGroups> group_sessions(const views::RunView& view);
std::shared_ptr<const std::string> write_node_details(const views::RunView& view, const detail::JournalIndex& journal);

// The bytes each holds.
std::uint64_t held_bytes(const detail::JournalIndex& index);
std::uint64_t held_bytes(const TimelineIndex& index);
std::uint64_t held_bytes(const SessionGroups& groups);

// The indexes of one document, made on first need, by one thread.
class OwnIndexes final : public ViewIndexes {
public:
    explicit OwnIndexes(const views::RunView& view) : view_(view) {}
    const detail::JournalIndex& journal() const override;
    const TimelineIndex& timeline() const override;
    const SessionGroups& sessions() const override;
    const std::string& node_details() const override;

private:
    const views::RunView& view_;
    mutable std::shared_ptr<const detail::JournalIndex> journal_;
    mutable std::shared_ptr<const TimelineIndex> timeline_;
    mutable std::shared_ptr<const SessionGroups> sessions_;
    mutable std::shared_ptr<const std::string> node_details_;
};

}  // namespace korvalle::payload
