#include "src/payload/conversation_digests.hpp"

#include "sdk/base/digest.hpp"
#include "sdk/base/json_write.hpp"
#include "sdk/base/memory.hpp"
#include "sdk/run/views.hpp"
#include "src/payload/conversation.hpp"
#include "src/payload/session_groups.hpp"

#include <algorithm>
#include <map>
#include <unordered_map>

namespace korvalle::payload {

namespace {

// 16 bytes of a document's digest: collisions between two versions of one session's document
// are out of reach.
constexpr std::size_t session_digest_bytes = 16;

}  // namespace

ConversationDigests::ConversationDigests(const views::RunView& view) : lineage_(view.envelopes.lineage()) {
    count(view, 0);
}

ConversationDigests::ConversationDigests(const ConversationDigests& base, const views::RunView& view)
    : sessions_(base.sessions_), lineage_(base.lineage_), counted_(base.counted_), fingerprint_(base.fingerprint_) {
    count(view, counted_);
}

bool ConversationDigests::carries_to(const views::RunView& view) const {
    return view.envelopes.shares_slots(lineage_, counted_);
}

std::uint64_t ConversationDigests::held_bytes() const {
    std::uint64_t bytes = sizeof(ConversationDigests) + sessions_.capacity() * sizeof(Session);
    for (const Session& session : sessions_) {
        bytes += session.slots->capacity() * sizeof(std::uint32_t) + memory::heap_bytes(session.digest);
    }
    return bytes;
}

void ConversationDigests::count(const views::RunView& view, std::size_t from) {
    const views::EnvelopeList& envelopes = view.envelopes;
    const views::EnvelopeList::Slots slots = envelopes.slots();
    const auto before = [&](std::uint32_t a, std::uint32_t b) { return envelopes.slot_before(a, b); };
    // The envelopes read since, by session, each session's in the view's order.
    std::map<std::string_view, std::vector<std::uint32_t>> added;
    for (std::size_t slot = from; slot < slots.size(); ++slot) {
        if (const std::optional<std::string_view> session = session_of(slots[slot])) {
            added[*session].push_back(static_cast<std::uint32_t>(slot));
        }
    }
    counted_ = slots.size();
    if (added.empty() && !fingerprint_.empty()) return;
    std::unordered_map<std::string_view, std::size_t> at;
    for (std::size_t i = 0; i < sessions_.size(); ++i) at.emplace(sessions_[i].id, i);
    for (auto& [id, fresh] : added) {
        std::sort(fresh.begin(), fresh.end(), before);
        auto found = at.find(id);
        if (found == at.end()) {
            found = at.emplace(id, sessions_.size()).first;
            sessions_.push_back(Session{id, std::make_shared<const std::vector<std::uint32_t>>(), {}});
        }
        Session& session = sessions_[found->second];
        auto merged = std::make_shared<std::vector<std::uint32_t>>(session.slots->size() + fresh.size());
        std::merge(session.slots->begin(), session.slots->end(), fresh.begin(), fresh.end(), merged->begin(), before);
        session.slots = std::move(merged);
        // The document as the conversations show it, hashed and let go.
        std::vector<const event::Envelope*> of_session;
        of_session.reserve(session.slots->size());
        for (std::uint32_t slot : *session.slots) of_session.push_back(&slots[slot]);
        std::string text;
        json::Writer out(text);
        write_conversation(out, view, session.id, of_session);
        session.digest = digest::sha256_hex(text, session_digest_bytes);
    }
    // Conversations come in the order of their sessions' first envelopes.
    std::sort(sessions_.begin(), sessions_.end(),
              [&](const Session& a, const Session& b) { return before(a.slots->front(), b.slots->front()); });
    digest::Sha256 all;
    for (const Session& session : sessions_) all.update(session.digest);
    fingerprint_ = all.hex(8);
}

}  // namespace korvalle::payload
