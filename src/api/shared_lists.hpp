// Run-list requests share the walks over the runs root without holding a thread while they
// wait: a request waits on its own coroutine for the first walk that begins after it arrived,
// and gets its page made with the other pages of that walk, in one task on the blocking pool.
// Under a crowd of clients a walk then serves every request that arrived while the last one ran,
// and no request hands itself from thread to thread to wait for it.
#pragma once

#include "src/http/pool.hpp"
#include "src/store/store.hpp"

#include <boost/asio/awaitable.hpp>

#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace korvalle::server {

class SharedLists : public std::enable_shared_from_this<SharedLists> {
public:
    SharedLists(std::shared_ptr<const store::RunStore> store, std::shared_ptr<BlockingPool> pool);

    // The text of the query's page (store::RunStore::run_list_text) from the first walk that
    // begins after the call. Throws what the walk or the page threw.
    boost::asio::awaitable<std::string> page(store::RunsQuery query);

private:
    using Finish = std::function<void(std::exception_ptr, std::optional<std::string>)>;
    struct Waiter {
        store::RunsQuery query;
        Finish finish;
    };

    void wait(store::RunsQuery query, Finish finish);
    void start_locked();
    void walk(std::vector<Waiter> batch);

    const std::shared_ptr<const store::RunStore> store_;
    const std::shared_ptr<BlockingPool> pool_;
    std::mutex mutex_;
    bool walking_ = false;
    std::vector<Waiter> waiting_;  // for the next walk
};

}  // namespace korvalle::server
