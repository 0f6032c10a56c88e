// The blocking pool: the threads that run every store read, so that the runtime's worker
// threads never touch a file. It grows on demand up to a limit (512 threads, as many as a
// browser's open event streams and document requests can need at once) and lets idle threads
// go after a while, so a burst of slow reads never queues behind a fixed number of threads.
#pragma once

#include "sdk/base/thread_safety.hpp"

#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

namespace korvalle::server {

class BlockingPool {
public:
    static constexpr std::size_t default_max_threads = 512;

    explicit BlockingPool(std::size_t max_threads = default_max_threads,
                          std::chrono::milliseconds idle_keep = std::chrono::seconds(10));
    ~BlockingPool();
    BlockingPool(const BlockingPool&) = delete;
    BlockingPool& operator=(const BlockingPool&) = delete;

    // Which turn a task takes: work resumed after a wait (a budget granted, an open landed, a
    // lock handed over) goes ahead of every task not yet begun, so that requests that have
    // waited never queue behind newcomers that may wait for them in turn.
    enum class Turn { Fresh, Resumed };

    // Queues a task; an idle thread takes it, or a new thread is started while fewer than the
    // limit exist. Throws std::system_error once shut down, or when no thread exists and none
    // can be started, and std::bad_alloc when there is no memory to queue it (or note a thread).
    void submit(std::function<void()> task, Turn turn = Turn::Fresh) EXCLUDES(mutex_);

    // Drops the tasks that have not started and waits, without a limit, for the running ones.
    // Later submissions are refused. Idempotent.
    void shutdown() EXCLUDES(mutex_);

    std::size_t thread_count() const EXCLUDES(mutex_);

private:
    using Threads = std::list<std::thread>;

    // Starts a thread for the queue. One that cannot be started (std::system_error) or noted
    // (std::bad_alloc) leaves the queue to the threads there are; with none, that is thrown.
    void start_locked() REQUIRES(mutex_);
    void work(Threads::iterator self) EXCLUDES(mutex_);
    void reap_locked() REQUIRES(mutex_);

    const std::size_t max_threads_;
    const std::chrono::milliseconds idle_keep_;
    mutable sync::Mutex mutex_;
    std::condition_variable wake_;  // an idle thread waits here for a task or the shutdown
    std::condition_variable gone_;  // the shutdown waits here for the last thread
    std::deque<std::function<void()>> resumed_ GUARDED_BY(mutex_);  // taken before queue_
    std::deque<std::function<void()>> queue_ GUARDED_BY(mutex_);
    Threads threads_ GUARDED_BY(mutex_);
    std::vector<Threads::iterator> exited_ GUARDED_BY(mutex_);  // finished threads not yet joined
    std::size_t idle_ GUARDED_BY(mutex_) = 0;
    std::size_t live_ GUARDED_BY(mutex_) = 0;
    bool stopping_ GUARDED_BY(mutex_) = false;
};

// Runs fn() on the pool and resumes the awaiting coroutine on its own executor with the result.
// An exception thrown by fn (or a task the pool cannot start) is rethrown in the coroutine.
template <class T, class Fn>
boost::asio::awaitable<T> run_blocking(BlockingPool& pool, Fn fn) {
    auto initiation = [&pool](auto handler, Fn task) {
        using Handler = decltype(handler);
        auto shared = std::make_shared<Handler>(std::move(handler));
        auto finish = [shared](std::exception_ptr error, std::optional<T> value) {
            auto executor = boost::asio::get_associated_executor(*shared);
            boost::asio::post(executor, [shared, error, value = std::move(value)]() mutable {
                (*shared)(error, std::move(value));
            });
        };
        try {
            pool.submit([finish, task = std::move(task)]() mutable {
                std::exception_ptr error;
                std::optional<T> value;
                try {
                    value.emplace(task());
                } catch (...) {
                    error = std::current_exception();  // whatever it is, the coroutine rethrows it
                }
                finish(error, std::move(value));
            });
        } catch (...) {
            finish(std::current_exception(), std::nullopt);  // rethrown in the coroutine, as above
        }
    };
    std::optional<T> result =
        co_await boost::asio::async_initiate<const boost::asio::use_awaitable_t<>,
                                             void(std::exception_ptr, std::optional<T>)>(
            initiation, boost::asio::use_awaitable, std::move(fn));
    co_return std::move(*result);
}

}  // namespace korvalle::server
