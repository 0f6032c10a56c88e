// The change feed's route, GET /api/v2/events: the handler that starts a stream, and the pump
// that moves one stream's frames into its event stream.
//
// The pump is a coroutine on the connection's strand. It holds no thread while it waits: the
// poll is the one its key shares with every other stream (shared_poll.hpp), the snapshot waits
// for its walk, its run's open and the telemetry cache's lock as the documents do, a full event
// queue is an asynchronous wait, and only the file work of the snapshot borrows a pool thread.
#pragma once

#include "src/api/routes.hpp"
#include "src/api/shared_poll.hpp"
#include "src/http/event_stream.hpp"
#include "src/store/change_feed.hpp"

#include <boost/asio/awaitable.hpp>

#include <atomic>
#include <memory>

namespace korvalle::server {

// The handler: the query rule (422 invalid_run_id), then the stream's frames from the store,
// the pump started, and at once 200 with "content-type: text/event-stream" and
// "cache-control: no-cache" and the event stream as its body.
boost::asio::awaitable<Response> events(std::shared_ptr<const Serving> state, RouteInput input);

// A stream ends at a poll once its client has gone or the server is stopping.
bool stream_should_stop(const EventStream& stream, const std::atomic<bool>& stopping);

// The pump: sends the snapshot, then subscribes to its key's shared poll; at each poll it checks
// the stop condition, compares the poll's look with what the stream saw before and sends what it
// found, each frame as the event "id: {id}", "event: {kind's name}", "data: {compact JSON}".
// Ends when the stop condition holds at a poll, when a send finds the client gone, when the
// snapshot's or a poll's task fails, or without a frame when the stop came before the snapshot
// was made; then the stream's body ends once the events already queued are written.
boost::asio::awaitable<void> change_feed(std::shared_ptr<store::Frames> frames, std::shared_ptr<EventStream> stream,
                                         std::shared_ptr<const Serving> state);

}  // namespace korvalle::server
