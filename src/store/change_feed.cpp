#include "src/store/change_feed.hpp"

#include "src/payload/conversation.hpp"
#include "src/payload/vocabulary.hpp"
#include "sdk/base/files.hpp"
#include "sdk/base/json_equal.hpp"

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include <algorithm>
#include <cstddef>
#include <limits>
#include <new>

namespace korvalle::store {

namespace {

Signatures listed_signatures(const std::vector<SharedRecord>& records) {
    Signatures out;
    out.reserve(records.size());
    for (const SharedRecord& record : records) {
        if (contract::validate_run_id(record->id())) out.emplace_back(record->id(), record->signature);
    }
    return out;
}

// The view the last look was taken from, when it is this one: both alive at one address.
bool same_view(const Observation* last, const SharedView& view) {
    if (last == nullptr) return false;
    const SharedView before = last->view.lock();
    return before && before.get() == view.get();
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    constexpr auto max = std::numeric_limits<std::uint64_t>::max();
    return a > max - b ? max : a + b;
}

std::uint64_t saturating_multiply(std::uint64_t a, std::uint64_t b) {
    constexpr auto max = std::numeric_limits<std::uint64_t>::max();
    return b != 0 && a > max / b ? max : a * b;
}

}  // namespace

ObservedRuns::ObservedRuns(Signatures signatures) : signatures_(std::move(signatures)) {
    by_id_.reserve(signatures_.size());
    // Ids are unique within one listing; emplace keeps the first, as a search from the front would.
    for (const auto& [id, signature] : signatures_) by_id_.emplace(id, &signature);
}

const RunSignature* ObservedRuns::find(std::string_view id) const {
    auto it = by_id_.find(id);
    return it == by_id_.end() ? nullptr : it->second;
}

namespace {

// The look's signatures, the same object as last's when they are equal.
void take_runs(Observation& out, Signatures signatures, const Observation* last) {
    if (last != nullptr && last->runs && last->runs->signatures() == signatures) {
        out.runs = last->runs;
    } else {
        out.runs = std::make_shared<const ObservedRuns>(std::move(signatures));
    }
    // The conversations taken last are carried to the next look that takes them.
    if (last != nullptr) out.carried_conversations = last->carried_conversations;
}

}  // namespace

Observation observe_walk(const std::vector<SharedRecord>& records, bool with_conversation, const Observation* last) {
    Observation out;
    take_runs(out, listed_signatures(records), last);
    out.conversation_taken = with_conversation;
    return out;
}

Observation observe_run(const RunStore& store, const SharedRun& run, bool with_conversation,
                        const Observation* last) {
    Observation out;
    Signatures signatures;
    const SharedView view = run ? SharedView(run, &run->view) : nullptr;
    if (view) signatures.emplace_back(view->id(), RunSignature::of(*view));
    take_runs(out, std::move(signatures), last);
    out.conversation_taken = with_conversation;
    if (!view) return out;
    // Activity and conversations are functions of the view alone: a kept view need not be read
    // again, and one read on from it is read from where it stopped.
    const bool same = same_view(last, view);
    if (same) {
        out.activity = last->activity;
        out.carried_activity = last->carried_activity;
    } else {
        out.carried_activity = run->indexes.activity(run->view, last ? last->carried_activity.get() : nullptr);
        out.activity = std::shared_ptr<const Activity>(out.carried_activity, &out.carried_activity->rows());
    }
    if (with_conversation) {
        if (!same || !last->conversation_taken) {
            out.carried_conversations = run->indexes.conversations(run->view, out.carried_conversations.get());
        }
        out.conversation = out.carried_conversations->fingerprint();
    }
    store.count_indexes(run);
    out.view = view;
    return out;
}

Frames RunStore::events(const EventsQuery& query) const { return Frames(*this, query); }

Frames::Frames(RunStore store, EventsQuery query)
    : store_(std::move(store)), watched_run_(std::move(query.run_id)), next_id_(query.after.value_or(0)) {}

Frame Frames::hand_out(contract::SseEvent kind, boost::json::value data) {
    // Unsigned arithmetic: the id after the largest is 0.
    return Frame{kind, std::move(data), next_id_++};
}

void Frames::queue(contract::SseEvent kind, boost::json::object data) {
    queue_.emplace_back(kind, boost::json::value(std::move(data)));
}

Frame Frames::snapshot(const Observation& baseline, boost::json::object list) {
    previous_runs_ = baseline.runs;
    previous_activity_ = baseline.activity;
    previous_conversation_ = baseline.conversation;
    boost::json::object envelope;
    envelope.reserve(3 + list.size());
    envelope.emplace("api_version", contract::api_version);
    envelope.emplace("telemetry_schema_version", contract::telemetry_schema_version);
    // Stamped after the list, so after any telemetry child it waited for.
    envelope.emplace("observed_at", payload::now_rfc3339());
    for (auto& entry : list) envelope.emplace(entry.key(), std::move(entry.value()));
    return hand_out(contract::SseEvent::Snapshot, std::move(envelope));
}

std::optional<Frame> Frames::next() {
    if (handed_ == queue_.size()) {
        queue_ = {};
        handed_ = 0;
        return std::nullopt;
    }
    auto& [kind, data] = queue_[handed_++];
    return hand_out(kind, std::move(data));
}

std::uint64_t Frames::polls_to_conversation() const {
    if (!watched_run_) return std::numeric_limits<std::uint64_t>::max();
    const std::uint64_t interval = store_.poll_ms();
    if (elapsed_ms_ >= store_.transcript_poll_ms() || interval == 0) return 1;
    const std::uint64_t left = store_.transcript_poll_ms() - elapsed_ms_;
    return left / interval + (left % interval != 0);
}

void Frames::poll(std::shared_ptr<const Observation> observed) {
    advance(*observed);
    last_look_ = std::move(observed);
}

void Frames::advance(const Observation& observed, std::uint64_t polls) {
    // The conversation fingerprint is only ever replaced by a move, after its frame is queued;
    // everything else is pointers and counts, cheap to keep aside on every poll.
    const std::size_t queued = queue_.size();
    auto runs = previous_runs_;
    auto activity = previous_activity_;
    const std::uint64_t elapsed = elapsed_ms_;
    try {
        compare(observed, polls);
    } catch (const std::bad_alloc&) {
        queue_.erase(queue_.begin() + static_cast<std::ptrdiff_t>(queued), queue_.end());
        previous_runs_ = std::move(runs);
        previous_activity_ = std::move(activity);
        elapsed_ms_ = elapsed;
    }
}

void Frames::compare(const Observation& observed, std::uint64_t polls) {
    elapsed_ms_ = saturating_add(elapsed_ms_, saturating_multiply(store_.poll_ms(), polls));
    // The same signatures as the last poll's are the same object: nothing to compare.
    if (observed.runs != previous_runs_) compare_runs(observed);

    if (!watched_run_ || elapsed_ms_ < store_.transcript_poll_ms()) return;
    if (!observed.conversation_taken) return;  // still due at the next poll
    elapsed_ms_ = 0;
    if (observed.conversation == previous_conversation_) return;
    std::optional<std::string> conversation = observed.conversation;
    queue(contract::SseEvent::ConversationChanged, {{"run_id", *watched_run_}});
    previous_conversation_ = std::move(conversation);
}

void Frames::compare_runs(const Observation& observed) {
    static const ObservedRuns none{Signatures{}};
    const ObservedRuns& before = previous_runs_ ? *previous_runs_ : none;
    const ObservedRuns& now = *observed.runs;
    for (const auto& [id, signature] : now.signatures()) {
        const RunSignature* was = before.find(id);
        if (was != nullptr && *was == signature) continue;
        queue(contract::SseEvent::RunChanged, {{"run_id", id}, {"round", signature.round}});
        if (watched_run_ == id) watched_run_changed(id, observed);
    }
    for (const auto& [id, signature] : before.signatures()) {
        if (now.find(id) == nullptr) queue(contract::SseEvent::RunRemoved, {{"run_id", id}});
    }
    previous_runs_ = observed.runs;
}

void Frames::watched_run_changed(const std::string& id, const Observation& observed) {
    if (!observed.activity) return;  // not found: the last activity is kept
    if (previous_activity_ == observed.activity) return;
    // Rows compare as JSON values: objects with the same members in another order are equal.
    const auto same = [](const boost::json::value& a, const boost::json::value& b) { return json::equal(a, b); };
    if (previous_activity_ && std::ranges::equal(*previous_activity_, *observed.activity, same)) return;
    boost::json::array rows(observed.activity->begin(), observed.activity->end());
    queue(contract::SseEvent::ActivityChanged, {{"run_id", id}, {"activity", std::move(rows)}});
    previous_activity_ = observed.activity;
}

}  // namespace korvalle::store
