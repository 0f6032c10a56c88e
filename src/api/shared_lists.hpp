// Run-list requests and event streams share the walks over the runs root without holding a
// thread while they wait: a request waits on its own coroutine for the first walk that starts
// after it arrived (store::RunStore::walk), begun on the blocking pool by one of the requests
// that wait for it once they have gathered (a timer on a request's executor bounds the gather).
// A run list's page is made once per walk and query (store::ListPage), by the first of the
// walk's callers to ask for it, on the thread that walked once the walk's callers are told, so
// that a list costs one hand-over to the pool and one back; the telemetry cache's lock, and a
// page another caller makes, are waited for without a thread. Whatever fails a walk or a page,
// the requests waiting for it are told it, and the next walk begins as if nothing had happened.
#pragma once

#include "src/http/pool.hpp"
#include "src/store/store.hpp"

#include <boost/asio/awaitable.hpp>
#include <boost/json/object.hpp>

#include <atomic>
#include <memory>
#include <optional>
#include <string>

namespace korvalle::server {

class SharedLists {
public:
    SharedLists(std::shared_ptr<const store::RunStore> store, std::shared_ptr<BlockingPool> pool);

    // The first walk over the root that starts after the call. Throws what failed the walk.
    // stop, if given: once it is set, the caller no longer wants a walk that has not started
    // (store::SharedWalks::Wanted), and is answered none instead.
    boost::asio::awaitable<store::SharedWalks::SharedWalk> walk(std::shared_ptr<const std::atomic<bool>> stop = nullptr);

    // The text of the query's page of the first walk that starts after the call, as the run list
    // sends it; null when the telemetry cache refused to let it wait (the stop). Throws what
    // failed the walk or the page. The page is made by the first of the walk's callers that asks
    // for it, on the thread that walked once the walk's callers are told (no thread is handed the
    // work in between), while the others wait for it without a thread.
    boost::asio::awaitable<std::shared_ptr<const std::string>> page(store::RunsQuery query);
    // The same page as a document; none when refused.
    boost::asio::awaitable<std::optional<boost::json::object>> document(store::SharedWalks::SharedWalk walked,
                                                                        store::RunsQuery query);

private:
    // Runs a walk on the pool, then the pages its end left to make on that thread.
    store::RunStore::Submit walk_then_pages() const;

    const std::shared_ptr<const store::RunStore> store_;
    const std::shared_ptr<BlockingPool> pool_;
};

}  // namespace korvalle::server
