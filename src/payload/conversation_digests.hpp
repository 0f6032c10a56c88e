// What tells whether a run's conversations changed, kept in a form that a view read on from it
// carries over the envelopes read since: the digest of each session's conversation document, in
// the order of the conversations. Only the documents of the sessions that envelopes were read
// for are written again; a session's document depends on its own envelopes alone (and on the
// run's id and launcher, the same for views read one from another).
#pragma once

#include "sdk/run/envelope_list.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace korvalle::views {
struct RunView;
}

namespace korvalle::payload {

class ConversationDigests {
public:
    // Of every session of the view.
    explicit ConversationDigests(const views::RunView& view);
    // base's, carried over the envelopes of view in the slots base did not count; only for a
    // view that base carries_to.
    ConversationDigests(const ConversationDigests& base, const views::RunView& view);

    // Whether view holds the envelopes this counted, in the same slots.
    bool carries_to(const views::RunView& view) const;

    // 16 lowercase hex digits that differ between two views exactly when their lists of
    // conversation documents do (payload::conversations), but for digests that collide. Unlike
    // conversation_signature it digests each document's digest, so that a change of one session
    // rewrites that session's document alone.
    const std::string& fingerprint() const { return fingerprint_; }
    // The bytes it holds, the sessions' slot lists counted whole (a carried one shares them).
    std::uint64_t held_bytes() const;

private:
    struct Session {
        std::string_view id;  // a view of its envelopes' label
        std::shared_ptr<const std::vector<std::uint32_t>> slots;  // its envelopes, in the view's order
        std::string digest;   // of its document
    };

    // Adds the envelopes in the slots from `from` on to their sessions and writes the documents
    // of those sessions again.
    void count(const views::RunView& view, std::size_t from);

    std::vector<Session> sessions_;  // in the order of their first envelopes
    views::EnvelopeList::Lineage lineage_;
    std::size_t counted_ = 0;
    std::string fingerprint_;
};

}  // namespace korvalle::payload
