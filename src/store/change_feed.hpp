// The change feed's frame source: what one event stream sends. First a snapshot of the run
// list, then, poll after poll, one frame per change found by comparing a look at the runs (their
// signatures, the watched run's live activity and its conversation fingerprint) with what the
// stream saw before.
//
// The file work is observe(): one look at the root, or at the watched run alone, that any number
// of streams compare against, so one poll per interval can serve every stream of the root or of
// the same watched run. Frames holds one stream's state and does no file work but its snapshot
// and its own polls; it never sleeps and does not decide when the stream ends. Its owner takes
// the snapshot with the first next(), then after each poll interval (and its own stop check)
// calls poll() or advance() and takes the frames found with next() until none is left.
#pragma once

#include "src/contract/sse_event.hpp"
#include "src/payload/conversation_digests.hpp"
#include "src/payload/live_activity.hpp"
#include "src/store/queries.hpp"
#include "src/store/store.hpp"

#include <boost/json/value.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace korvalle::store {

// One frame of a stream. Its id is given when it is handed out, not when it is found.
struct Frame {
    contract::SseEvent kind = contract::SseEvent::Snapshot;
    boost::json::value data;
    std::uint64_t id = 0;
};

// Run ids with their signatures, in the runs root's listing order.
using Signatures = std::vector<std::pair<std::string, RunSignature>>;

// The signatures of one look, with an index by run id built once for every stream that
// compares against them. Never copied: the index points into the list.
class ObservedRuns {
public:
    explicit ObservedRuns(Signatures signatures);
    ObservedRuns(const ObservedRuns&) = delete;
    ObservedRuns& operator=(const ObservedRuns&) = delete;

    const Signatures& signatures() const { return signatures_; }
    // The signature the look recorded for the id, or null when it did not list the id.
    const RunSignature* find(std::string_view id) const;

private:
    Signatures signatures_;
    std::unordered_map<std::string_view, const RunSignature*> by_id_;
};

using Activity = std::vector<boost::json::value>;

// One look at the runs, immutable once taken and shared by every stream that compares against
// it. Parts equal to those of the look before are the same objects, so a stream finds an
// unchanged part by its address and does no work for it.
struct Observation {
    std::shared_ptr<const ObservedRuns> runs;
    // The watched run's live activity; null when no run is watched or it is not found.
    std::shared_ptr<const Activity> activity;
    // Taken only when asked for: what tells whether the watched run's conversations changed
    // (payload::ConversationDigests::fingerprint, which changes exactly when the conversation
    // signature does), none when it is not found.
    bool conversation_taken = false;
    std::optional<std::string> conversation;
    // The watched run's view the look was taken from: a later look at the same view shares its
    // activity and conversation fingerprint instead of computing them again.
    std::weak_ptr<const views::RunView> view;
    // What a later look at a view read on from this one carries over the envelopes read since:
    // the activity of this look and the conversations of the last look that took them.
    std::shared_ptr<const payload::LiveActivity> carried_activity;
    std::shared_ptr<const payload::ConversationDigests> carried_conversations;
};
using SharedObservation = std::shared_ptr<const Observation>;

// One look at the whole root: the signature of every run of a walk whose id passes the
// identifier rule, in the listing's order (records: SharedWalks::Walk::records), taken as asked
// with or without the conversation (which no run has here). Parts equal to last's are shared
// with it, and the conversations last carried are carried on.
Observation observe_walk(const std::vector<SharedRecord>& records, bool with_conversation,
                         const Observation* last = nullptr);

// One look at a watched run (run: as found by name, RunFinding; null when it is not found): its
// signature, its live activity and, when with_conversation is set, its conversation
// fingerprint. Parts equal to last's are shared with it, and the run's parts are carried from
// last's over the envelopes read since when its view was read on from last's. Throws
// std::bad_alloc when it runs out of memory.
Observation observe_run(const RunStore& store, const SharedRun& run, bool with_conversation,
                        const Observation* last = nullptr);

class Frames {
public:
    // Reads nothing. The first frame's id is query.after, else 0.
    Frames(RunStore store, EventsQuery query);

    // The snapshot, the stream's first frame: the look taken for it (the runs' signatures and the
    // watched run's activity and conversation fingerprint, taken with the conversation) becomes
    // what the polls compare with, and list, the first page of the run list (50 runs, settled
    // ones included, telemetry through the store's cache, made after the look), goes out in the
    // success envelope, stamped now.
    Frame snapshot(const Observation& baseline, boost::json::object list);

    // The next frame found by the polls, one per call, and none when no frame waits. Every frame
    // handed out, the snapshot first, takes the next id; after 18446744073709551615 comes 0.
    std::optional<Frame> next();

    // One poll with a look of its own (taken with the conversation fingerprint when
    // conversation_due(), carried on from last_look()): advance(), and the look kept for the
    // next. A poll that could not look (out of descriptors or memory) is not made: the stream's
    // state stays as the last poll left it.
    void poll(std::shared_ptr<const Observation> observed);
    const Observation* last_look() const { return last_look_.get(); }

    // One poll against a look taken after the snapshot's (shared with other streams), standing
    // for `polls` polls of the stream (the looks of its key since the last one it compared
    // against: only a changed look need be handed to it): per run in listing order whose
    // signature is new or changed, run.changed {"run_id","round"}, and for the watched run
    // activity.changed {"run_id","activity"} when its activity differs from the last one sent;
    // then run.removed {"run_id"} for each run gone since the last poll; then, for a watched run
    // once per transcript interval, conversation.changed {"run_id"} when its conversation
    // fingerprint changed, appeared or went (a look without the signature leaves that check due at
    // the next poll). Reads no file. Running out of memory finds nothing and leaves the stream's
    // state as it was.
    void advance(const Observation& observed, std::uint64_t polls = 1);

    // How many polls from now the poll comes that compares the watched run's conversation
    // signature: 1 when the next one does; 18446744073709551615 when no run is watched.
    std::uint64_t polls_to_conversation() const;
    bool conversation_due() const { return polls_to_conversation() == 1; }

    const RunStore& store() const { return store_; }
    const std::optional<std::string>& watched_run() const { return watched_run_; }

private:
    Frame hand_out(contract::SseEvent kind, boost::json::value data);
    void queue(contract::SseEvent kind, boost::json::object data);
    void compare(const Observation& observed, std::uint64_t polls);
    void compare_runs(const Observation& observed);
    void watched_run_changed(const std::string& id, const Observation& observed);

    RunStore store_;
    std::optional<std::string> watched_run_;
    // What the last poll saw, shared with the look it came from.
    std::shared_ptr<const ObservedRuns> previous_runs_;
    // The last look of the stream's own polls (poll()), which the next one carries on from; a
    // stream served by shared looks (advance()) keeps none.
    std::shared_ptr<const Observation> last_look_;
    std::shared_ptr<const Activity> previous_activity_;  // the last activity sent
    std::optional<std::string> previous_conversation_;
    // The frames found by the polls, handed out from queue_[handed_] on; emptied, its memory
    // with it, once every one is out, so that a stream between polls keeps no queue.
    std::vector<std::pair<contract::SseEvent, boost::json::value>> queue_;
    std::size_t handed_ = 0;
    std::uint64_t elapsed_ms_ = 0;  // poll intervals since the last conversation check
    std::uint64_t next_id_;
};

}  // namespace korvalle::store
