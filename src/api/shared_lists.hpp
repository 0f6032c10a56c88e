// Run-list requests share the walks over the runs root without holding a thread while they
// wait: a request waits on its own coroutine for the first walk that begins after it arrived,
// and gets its page made with the other pages of that walk, on the blocking pool. Under a crowd
// of clients the walks follow one another on one pool thread, each serving every request that
// arrived while the last one ran, while the pages of the last are made and handed over on
// another; no request hands itself from thread to thread to wait for it.
#pragma once

#include "sdk/base/thread_safety.hpp"
#include "src/http/pool.hpp"
#include "src/store/store.hpp"

#include <boost/asio/awaitable.hpp>

#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace korvalle::server {

class SharedLists : public std::enable_shared_from_this<SharedLists> {
public:
    SharedLists(std::shared_ptr<const store::RunStore> store, std::shared_ptr<BlockingPool> pool);

    // The text of the query's page (store::RunStore::run_list_text) from the first walk that
    // begins after the call, shared with the other requests for it. Throws what the walk or the
    // page threw.
    boost::asio::awaitable<std::shared_ptr<const std::string>> page(store::RunsQuery query);

private:
    using Page = std::shared_ptr<const std::string>;
    using Finish = std::function<void(std::exception_ptr, Page)>;
    struct Waiter {
        store::RunsQuery query;
        Finish finish;
    };

    void wait(store::RunsQuery query, Finish finish) EXCLUDES(mutex_);
    void start_locked() REQUIRES(mutex_);
    void walk_while_waited_for() EXCLUDES(mutex_);
    bool next_walk_waited_for() EXCLUDES(mutex_);
    // Answers the batch on another pool thread; false when none can take it.
    bool hand_over(const std::shared_ptr<std::vector<Waiter>>& batch, const store::SharedWalks::SharedWalk& walked,
                   const std::exception_ptr& error);
    void answer(std::vector<Waiter>& batch, const store::SharedWalks::SharedWalk& walked,
                const std::exception_ptr& error);

    const std::shared_ptr<const store::RunStore> store_;
    const std::shared_ptr<BlockingPool> pool_;
    sync::Mutex mutex_;
    bool walking_ GUARDED_BY(mutex_) = false;
    std::vector<Waiter> waiting_ GUARDED_BY(mutex_);  // for the next walk
};

}  // namespace korvalle::server
