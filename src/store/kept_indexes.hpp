// The indexes of one opened run (payload/indexes.hpp) and what the change feed reads of it, kept
// with its view: each is made once, on first need, by the first caller that asks, while others
// asking meanwhile wait for it; they go with the view. The run detail's round objects are kept
// the same way while their round files are unchanged (kept_rounds.hpp).
#pragma once

#include "src/payload/conversation_digests.hpp"
#include "src/payload/indexes.hpp"
#include "src/payload/live_activity.hpp"
#include "src/store/kept_rounds.hpp"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace korvalle::store {

class KeptIndexes {
public:
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

        const KeptIndexes& kept_;
        const views::RunView& view_;
        std::optional<std::int64_t> read_from_;
        mutable plan::Plan spent_;  // the room of the last round's plan made through this
    };

    // The change feed's reads of the view, made once: its live activity and what tells whether
    // its conversations changed, carried from those of an earlier view of the run (earlier, when
    // not null) when they carry to this one, else made from the whole view.
    std::shared_ptr<const payload::LiveActivity> activity(const views::RunView& view,
                                                          const payload::LiveActivity* earlier) const;
    std::shared_ptr<const payload::ConversationDigests> conversations(const views::RunView& view,
                                                                      const payload::ConversationDigests* earlier) const;

    // The bytes of the indexes and texts built so far and of the round objects kept.
    std::uint64_t bytes() const { return bytes_.load(std::memory_order_relaxed) + rounds_.bytes(); }

private:
    // One part, made once by the first caller that needs it.
    template <class T>
    struct Part {
        std::once_flag once;
        std::shared_ptr<const T> value;
    };
    // The part, made by make() (a shared pointer to it) the first time; its bytes are counted.
    template <class T, class Make>
    const std::shared_ptr<const T>& made(Part<T>& part, Make make) const;

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
    mutable KeptRounds rounds_;
    mutable std::atomic<std::uint64_t> bytes_{0};
};

}  // namespace korvalle::store
