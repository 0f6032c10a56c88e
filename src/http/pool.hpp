// The blocking pool: the threads that run every store read, so that the runtime's worker
// threads never touch a file. It grows on demand up to a limit (512 threads, as many as a
// browser's open event streams and document requests can need at once) and lets idle threads
// go after a while, so a burst of slow reads never queues behind a fixed number of threads.
#pragma once

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
#include <mutex>
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

    // Queues a task; an idle thread takes it, or a new thread is started while fewer than the
    // limit exist. Throws std::system_error when no thread exists and none can be started.
    void submit(std::function<void()> task);

    // Drops the tasks that have not started and waits, without a limit, for the running ones.
    // Later submissions are refused. Idempotent.
    void shutdown();

    std::size_t thread_count() const;

private:
    void work(std::list<std::thread>::iterator self);
    void reap_locked();

    const std::size_t max_threads_;
    const std::chrono::milliseconds idle_keep_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable gone_;
    std::deque<std::function<void()>> queue_;
    std::list<std::thread> threads_;
    std::vector<std::list<std::thread>::iterator> exited_;  // finished threads not yet joined
    std::size_t idle_ = 0;
    std::size_t live_ = 0;
    bool stopping_ = false;
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
                    error = std::current_exception();
                }
                finish(error, std::move(value));
            });
        } catch (...) {
            finish(std::current_exception(), std::nullopt);
        }
    };
    std::optional<T> result =
        co_await boost::asio::async_initiate<const boost::asio::use_awaitable_t<>,
                                             void(std::exception_ptr, std::optional<T>)>(
            initiation, boost::asio::use_awaitable, std::move(fn));
    co_return std::move(*result);
}

}  // namespace korvalle::server
