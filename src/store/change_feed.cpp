#include "src/store/change_feed.hpp"

#include "src/payload/conversation.hpp"
#include "src/payload/payload.hpp"
#include "sdk/base/files.hpp"
#include "sdk/base/json.hpp"

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include <algorithm>
#include <cstddef>
#include <limits>
#include <new>
#include <unordered_map>
#include <unordered_set>

namespace korvalle::store {

namespace {

// The watched run's view, or null when no run is watched or it is not found.
SharedView watched_view(const Frames& frames) {
    if (!frames.watched_run()) return nullptr;
    auto id = contract::RunId::make(*frames.watched_run());
    if (!id) return nullptr;
    auto found = frames.store().find_run(*id);
    if (auto* view = std::get_if<SharedView>(&found)) return std::move(*view);
    return nullptr;
}

}  // namespace

Frames RunStore::events(const EventsQuery& query) const { return Frames(*this, query); }

Frames::Frames(RunStore store, EventsQuery query)
    : store_(std::move(store)), watched_run_(std::move(query.run_id)), next_id_(query.after.value_or(0)) {}

Signatures run_signatures(const Frames& frames) {
    Signatures out;
    // A watched run is the only one that counts: it alone is opened, by name.
    if (frames.watched_run()) {
        if (auto view = watched_view(frames)) out.emplace_back(view->id(), RunSignature::of(*view));
        return out;
    }
    const std::vector<SharedRecord> records = frames.store().every_run_record();
    out.reserve(records.size());
    for (const SharedRecord& record : records) {
        if (!contract::validate_run_id(record->id())) out.emplace_back(record->id(), record->signature);
    }
    return out;
}

std::optional<std::string> watch_conversation(const Frames& frames) {
    auto view = watched_view(frames);
    if (!view) return std::nullopt;
    return payload::conversation_signature(*view);
}

std::optional<std::vector<boost::json::value>> watch_activity(const Frames& frames) {
    auto view = watched_view(frames);
    if (!view) return std::nullopt;
    return payload::live_activity(*view);
}

Frame Frames::hand_out(contract::SseEvent kind, boost::json::value data) {
    // Unsigned arithmetic: the id after the largest is 0.
    return Frame{kind, std::move(data), next_id_++};
}

void Frames::queue(contract::SseEvent kind, boost::json::object data) {
    queue_.emplace_back(kind, boost::json::value(std::move(data)));
}

boost::json::value Frames::snapshot() const {
    boost::json::object list = store_.run_list(RunsQuery{std::nullopt, max_page, true});
    boost::json::object envelope;
    envelope.reserve(3 + list.size());
    envelope.emplace("api_version", contract::api_version);
    envelope.emplace("telemetry_schema_version", contract::telemetry_schema_version);
    // Stamped after the list, so after any telemetry child it waited for.
    envelope.emplace("observed_at", payload::now_rfc3339());
    for (auto& entry : list) envelope.emplace(entry.key(), std::move(entry.value()));
    return envelope;
}

std::optional<Frame> Frames::next() {
    if (!started_) {
        started_ = true;
        previous_signatures_ = run_signatures(*this);
        previous_conversation_ = watch_conversation(*this);
        previous_activity_ = watch_activity(*this);
        return hand_out(contract::SseEvent::Snapshot, snapshot());
    }
    if (queue_.empty()) return std::nullopt;
    auto [kind, data] = std::move(queue_.front());
    queue_.pop_front();
    return hand_out(kind, std::move(data));
}

void Frames::watched_run_changed(const std::string& id) {
    auto activity = watch_activity(*this);
    if (!activity) return;  // not found: the last activity is kept
    // Rows compare as JSON values: objects with the same members in another order are equal.
    const auto same = [](const boost::json::value& a, const boost::json::value& b) { return json::equal(a, b); };
    if (previous_activity_ && std::ranges::equal(*previous_activity_, *activity, same)) return;
    boost::json::array rows(activity->begin(), activity->end());
    previous_activity_ = std::move(activity);
    queue(contract::SseEvent::ActivityChanged, {{"run_id", id}, {"activity", std::move(rows)}});
}

void Frames::check_conversation() {
    auto signature = watch_conversation(*this);
    if (signature == previous_conversation_) return;
    previous_conversation_ = std::move(signature);
    queue(contract::SseEvent::ConversationChanged, {{"run_id", *watched_run_}});
}

void Frames::poll() {
    // A poll that runs out of descriptors or memory has not seen the runs: it finds nothing and
    // keeps what the last poll saw, so that no run it could not read is announced as removed.
    const std::size_t queued = queue_.size();
    Signatures signatures = previous_signatures_;
    auto activity = previous_activity_;
    auto conversation = previous_conversation_;
    const std::uint64_t elapsed = elapsed_ms_;
    const auto restore = [&] {
        queue_.erase(queue_.begin() + static_cast<std::ptrdiff_t>(queued), queue_.end());
        previous_signatures_ = std::move(signatures);
        previous_activity_ = std::move(activity);
        previous_conversation_ = std::move(conversation);
        elapsed_ms_ = elapsed;
    };
    try {
        compare_with_last_poll();
    } catch (const files::Exhausted&) {
        restore();
    } catch (const std::bad_alloc&) {
        restore();
    }
}

void Frames::compare_with_last_poll() {
    constexpr auto max = std::numeric_limits<std::uint64_t>::max();
    elapsed_ms_ = elapsed_ms_ > max - store_.poll_ms() ? max : elapsed_ms_ + store_.poll_ms();

    Signatures current = run_signatures(*this);
    std::unordered_map<std::string_view, const RunSignature*> before;
    before.reserve(previous_signatures_.size());
    // Ids are unique within one listing; emplace keeps the first, as a search from the front would.
    for (const auto& [id, signature] : previous_signatures_) before.emplace(id, &signature);
    std::unordered_set<std::string_view> now;
    now.reserve(current.size());
    for (const auto& [id, signature] : current) {
        now.insert(id);
        auto it = before.find(id);
        if (it != before.end() && *it->second == signature) continue;
        queue(contract::SseEvent::RunChanged, {{"run_id", id}, {"round", signature.round}});
        if (watched_run_ == id) watched_run_changed(id);
    }
    for (const auto& [id, signature] : previous_signatures_) {
        if (!now.contains(id)) queue(contract::SseEvent::RunRemoved, {{"run_id", id}});
    }
    previous_signatures_ = std::move(current);

    if (!watched_run_ || elapsed_ms_ < store_.transcript_poll_ms()) return;
    elapsed_ms_ = 0;
    check_conversation();
}

}  // namespace korvalle::store
