#include "src/api/change_feed.hpp"

#include "sdk/base/json_write.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <algorithm>
#include <chrono>
#include <optional>

namespace korvalle::server {

namespace {

// How long a stream may take to end once the server stops: its next poll comes within one
// interval; past five seconds more it is a client that stopped reading, and it is cut off.
std::chrono::milliseconds close_after_stop(const store::RunStore& store) {
    return poll_interval(store) + std::chrono::seconds(5);
}

boost::asio::awaitable<bool> send_frame(EventStream& stream, const store::Frame& frame) {
    // Named, not temporaries of the co_await expression (see change_feed below).
    std::string id = std::to_string(frame.id);
    std::string data = json::write(frame.data);
    co_return co_await stream.send(id, contract::event_name(frame.kind), data);
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    return a > PollSubscription::never - b ? PollSubscription::never : a + b;
}

// The stream's snapshot: its look (the watched run's, else the whole root's from a walk), then
// the first page of the run list from a walk begun after the look. None when the server stops
// before it is sent, whether the telemetry cache refused the page its wait or answered it from
// the child it let finish: the stream then ends without a frame, and its client reconnects to
// the next server. The stop is looked at before each look or walk the snapshot would begin and
// after each of its waits, so that a snapshot still to be made at the stop opens and walks
// nothing (a walk others share goes on for them).
boost::asio::awaitable<std::optional<store::Frame>> snapshot(store::Frames& frames, const Serving& state) {
    const std::shared_ptr<const std::atomic<bool>> stop = state.stopping;
    const auto stopped = [&stop] { return stop->load(std::memory_order_relaxed); };
    if (stopped()) co_return std::nullopt;
    std::optional<store::Observation> baseline;
    store::SharedWalks::SharedWalk walked;
    if (frames.watched_run()) {
        baseline = co_await look_at(*state.store, *state.pool, *state.lists, frames.watched_run(), true, nullptr, stop);
        if (!baseline || stopped()) co_return std::nullopt;
        walked = co_await state.lists->walk(stop);
    } else {
        walked = co_await state.lists->walk(stop);
        if (walked) baseline = store::observe_walk(walked->records(), true);
    }
    // Its telemetry is looked up for the list's page, which the stop would refuse.
    if (!walked || stopped()) co_return std::nullopt;
    auto list = co_await state.lists->document(std::move(walked), store::RunsQuery{std::nullopt, store::max_page, true});
    if (!list || stopped()) co_return std::nullopt;
    co_return frames.snapshot(*baseline, std::move(*list));
}

}  // namespace

bool stream_should_stop(const EventStream& stream, const std::atomic<bool>& stopping) {
    return stream.closed() || stopping.load(std::memory_order_relaxed);
}

boost::asio::awaitable<void> change_feed(std::shared_ptr<store::Frames> frames, std::shared_ptr<EventStream> stream,
                                         std::shared_ptr<const Serving> state) {
    try {
        // The snapshot comes first: a stream always starts with one, or ends without any (the
        // server stopped before it was made).
        auto first = co_await snapshot(*frames, *state);
        if (!first) {
            stream->end();
            co_return;
        }
        // Subscribed once the snapshot has read the runs: every look it is handed is newer.
        auto executor = co_await boost::asio::this_coro::executor;
        auto polls = state->polls->subscribe(frames->watched_run(), executor, stream);
        polls->conversation_at(frames->conversation_due() ? 0 : PollSubscription::never);
        std::uint64_t compared = 0;  // the number of the last look compared against
        bool open = co_await send_frame(*stream, *first);
        // The snapshot's document is as large as the first page of the run list, and it is sent:
        // a stream that waits for its polls keeps none of it.
        first.reset();
        while (open) {
            PollResult polled = co_await polls->next();
            if (stream_should_stop(*stream, *state->stopping) || polled.failed) break;
            if (polled.observed && polled.look != compared) {
                // The looks it was not handed found nothing new for it: polls all the same.
                frames->advance(*polled.observed, compared == 0 ? 1 : polled.look - compared);
                compared = polled.look;
                polls->conversation_at(saturating_add(compared, frames->polls_to_conversation()));
            }
            // Frames already found go out before the next stop check.
            while (open) {
                auto frame = frames->next();
                if (!frame) break;
                open = co_await send_frame(*stream, *frame);
            }
        }
    } catch (...) {
        // Whatever ended the feed (a snapshot or a poll whose task could not run or failed, no
        // memory for a frame), the stream must end, so that its connection ends the body; the
        // client reconnects.
    }
    stream->end();
}

boost::asio::awaitable<Response> events(std::shared_ptr<const Serving> state, RouteInput input) {
    auto query = events_query(input.query, input.head.fields);
    if (!query) co_return error_response(query.error());
    auto frames = std::make_shared<store::Frames>(state->store->events(*query));
    auto executor = co_await boost::asio::this_coro::executor;
    auto stream = std::make_shared<EventStream>(executor, close_after_stop(*state->store));
    boost::asio::co_spawn(executor, change_feed(std::move(frames), stream, state), boost::asio::detached);

    Response response;
    response.headers.emplace_back("content-type", "text/event-stream");
    response.headers.emplace_back("cache-control", "no-cache");
    response.events = std::move(stream);
    co_return response;
}

}  // namespace korvalle::server
