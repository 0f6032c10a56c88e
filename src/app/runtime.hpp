// The read-API server: the runtime (worker threads and the blocking pool), binding the
// listener, the stop signals, the router with its routes, and serving until the first stop
// signal with a graceful drain.
#pragma once

#include "sdk/base/result.hpp"
#include "src/api/routes.hpp"
#include "src/http/pool.hpp"
#include "src/http/server.hpp"
#include "src/store/store.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/system/error_code.hpp>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace korvalle::server {

// The asynchronous runtime: one io_context run by one worker thread per usable core, and the
// blocking pool. Released explicitly (release()) or by the destructor: the workers stop, then
// the pool drops its queued tasks and waits, without a limit, for the running ones.
class Runtime {
public:
    // Throws std::system_error when the threads cannot be made. blocking_threads: the blocking
    // pool's limit.
    explicit Runtime(std::size_t blocking_threads = BlockingPool::default_max_threads);
    ~Runtime();
    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;

    boost::asio::io_context& ioc() { return ioc_; }
    const std::shared_ptr<BlockingPool>& pool() const { return pool_; }
    void release();

private:
    boost::asio::io_context ioc_;  // run by the workers; synchronised on its own
    // The rest belongs to the thread that made the runtime, which alone releases it.
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work_;
    const std::shared_ptr<BlockingPool> pool_;
    std::vector<std::thread> workers_;
    bool released_ = false;
};

// Binds a listener on the address: one attempt. Fails with the error of the step that failed
// (open, bind or listen).
Result<boost::asio::ip::tcp::acceptor, boost::system::error_code> bind(Runtime& runtime,
                                                                       const boost::asio::ip::tcp::endpoint& address);

// The installed stop-signal listeners, SIGTERM then SIGINT, each present when its installation
// succeeded. Kept alive until the process ends: from installation on neither signal ends the
// process by its default action, and a signal after the first changes nothing.
class StopSignal {
public:
    static StopSignal install(Runtime& runtime);
    boost::asio::signal_set& set() { return *set_; }

private:
    std::unique_ptr<boost::asio::signal_set> set_;
};

// For every signal of telemetry::ending_signals (those that end the process by default and can
// be caught): a handler that kills the running telemetry children's process groups, then ends
// the process by that signal's default action as before. A signal ignored at start stays
// ignored. SIGKILL cannot be caught: children outlive a server killed that way.
void end_children_with_the_server();

// Serves on the listener until the first stop signal, then stops accepting, answers busy the
// requests still waiting for a budget (answers or opens), lets the other open connections finish
// and returns once every one has ended. Blocks the calling thread. Fails with
// the text "the server stopped: {}" when serving ended with an error.
Result<void, std::string> serve(Runtime& runtime, boost::asio::ip::tcp::acceptor listener, store::RunStore store,
                                StopSignal& signals, HttpLimits limits = {});

}  // namespace korvalle::server
