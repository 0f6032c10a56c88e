#include "src/store/kept_indexes.hpp"

#include "src/payload/payload.hpp"

namespace korvalle::store {

const payload::detail::JournalIndex& KeptIndexes::Of::journal() const {
    std::call_once(kept_.journal_once_, [&] {
        kept_.journal_ = payload::index_journal(view_);
        kept_.bytes_ += payload::held_bytes(*kept_.journal_);
    });
    return *kept_.journal_;
}

const payload::TimelineIndex& KeptIndexes::Of::timeline() const {
    std::call_once(kept_.timeline_once_, [&] {
        kept_.timeline_ = payload::index_timeline(view_);
        kept_.bytes_ += payload::held_bytes(*kept_.timeline_);
    });
    return *kept_.timeline_;
}

const payload::SessionGroups& KeptIndexes::Of::sessions() const {
    std::call_once(kept_.sessions_once_, [&] {
        kept_.sessions_ = payload::group_sessions(view_);
        kept_.bytes_ += payload::held_bytes(*kept_.sessions_);
    });
    return *kept_.sessions_;
}

const std::string& KeptIndexes::Of::node_details() const {
    std::call_once(kept_.node_details_once_, [&] {
        kept_.node_details_ = payload::write_node_details(view_, journal());
        kept_.bytes_ += kept_.node_details_->capacity() + 1;
    });
    return *kept_.node_details_;
}

std::shared_ptr<const KeptIndexes::Activity> KeptIndexes::activity(const views::RunView& view) const {
    std::call_once(activity_once_, [&] { activity_ = std::make_shared<const Activity>(payload::live_activity(view)); });
    return activity_;
}

const std::string& KeptIndexes::conversation_signature(const views::RunView& view) const {
    std::call_once(signature_once_, [&] { signature_ = payload::conversation_signature(view, Of(*this, view)); });
    return signature_;
}

}  // namespace korvalle::store
