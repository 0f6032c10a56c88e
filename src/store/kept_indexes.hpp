// The indexes of one opened run (payload/indexes.hpp) and what the change feed reads of it, kept
// with its view: each is made once, on first need, by the first caller that asks, while others
// asking meanwhile wait for it; they go with the view.
#pragma once

#include "src/payload/indexes.hpp"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace korvalle::store {

class KeptIndexes {
public:
    // The indexes of view as a document takes them; view is the one they are kept with.
    class Of final : public payload::ViewIndexes {
    public:
        Of(const KeptIndexes& kept, const views::RunView& view) : kept_(kept), view_(view) {}
        const payload::detail::JournalIndex& journal() const override;
        const payload::TimelineIndex& timeline() const override;
        const payload::SessionGroups& sessions() const override;
        const std::string& node_details() const override;

    private:
        const KeptIndexes& kept_;
        const views::RunView& view_;
    };

    // The change feed's reads of the view, made once: its live activity rows and its
    // conversation signature (payload::live_activity, payload::conversation_signature).
    using Activity = std::vector<boost::json::value>;
    std::shared_ptr<const Activity> activity(const views::RunView& view) const;
    const std::string& conversation_signature(const views::RunView& view) const;

    // The bytes of the indexes built so far.
    std::uint64_t bytes() const { return bytes_.load(std::memory_order_relaxed); }

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

    mutable Part<payload::detail::JournalIndex> journal_;
    mutable Part<payload::TimelineIndex> timeline_;
    mutable Part<payload::SessionGroups> sessions_;
    mutable Part<std::string> node_details_;
    mutable Part<Activity> activity_;
    mutable Part<std::string> signature_;
    mutable std::atomic<std::uint64_t> bytes_{0};
};

}  // namespace korvalle::store
