// The change feed's frame source: what one event stream sends. First a snapshot of the run
// list, then, poll after poll, one frame per change found by comparing the runs' signatures,
// the watched run's live activity and its conversation signature with what the stream saw
// before.
//
// Frames does the file work of one stream and nothing else: it never sleeps and does not decide
// when the stream ends. Its owner takes the snapshot with the first next(), then after each
// poll interval (and its own stop check) calls poll() and takes the frames found with next()
// until none is left. Nothing is kept between streams.
#pragma once

#include "src/contract/sse_event.hpp"
#include "src/store/queries.hpp"
#include "src/store/store.hpp"

#include <boost/json/value.hpp>

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
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

class Frames {
public:
    // Reads nothing. The first frame's id is query.after, else 0.
    Frames(RunStore store, EventsQuery query);

    // The next frame to send. The first call gives the snapshot: it records the runs'
    // signatures and the watched run's activity and conversation signature, then builds the
    // first page of the run list (50 runs, settled ones included, telemetry through the
    // store's cache) in the success envelope, stamped after the list was built. Later calls
    // give the frames queued by the polls, one per call, and none when no frame waits. Every
    // frame handed out takes the next id; after 18446744073709551615 comes 0.
    std::optional<Frame> next();

    // One poll: per run in listing order whose signature is new or changed, run.changed
    // {"run_id","round"}, and for the watched run activity.changed {"run_id","activity"} when
    // its activity differs from the last one sent; then run.removed {"run_id"} for each run
    // gone since the last poll; then, for a watched run once per transcript interval,
    // conversation.changed {"run_id"} when its conversation signature changed, appeared or
    // went. Reads every run of the root. A poll that runs out of descriptors or memory finds
    // nothing and leaves the stream's state as the last poll left it.
    void poll();

    const RunStore& store() const { return store_; }
    const std::optional<std::string>& watched_run() const { return watched_run_; }

private:
    Frame hand_out(contract::SseEvent kind, boost::json::value data);
    void queue(contract::SseEvent kind, boost::json::object data);
    boost::json::value snapshot() const;
    void watched_run_changed(const std::string& id);
    void check_conversation();
    void compare_with_last_poll();

    RunStore store_;
    std::optional<std::string> watched_run_;
    Signatures previous_signatures_;
    std::deque<std::pair<contract::SseEvent, boost::json::value>> queue_;
    std::optional<std::string> previous_conversation_;
    std::optional<std::vector<boost::json::value>> previous_activity_;
    std::uint64_t elapsed_ms_ = 0;  // poll intervals since the last conversation check
    std::uint64_t next_id_;
    bool started_ = false;
};

// The signature of every run whose id passes the identifier rule (of the watched run alone
// when there is one), in the listing order of views::RunView::all.
Signatures run_signatures(const Frames& frames);

// The watched run's conversation signature; none when no run is watched or it is not found.
std::optional<std::string> watch_conversation(const Frames& frames);

// The watched run's live activity; none when no run is watched or it is not found.
std::optional<std::vector<boost::json::value>> watch_activity(const Frames& frames);

}  // namespace korvalle::store
