#include "src/app/runtime.hpp"

#include "src/api/answer_budget.hpp"
#include "src/app/cli.hpp"
#include "src/telemetry/child.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>

#include <fcntl.h>
#include <sched.h>

#include <cerrno>
#include <csignal>

namespace korvalle::server {

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

std::size_t usable_cores() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0) {
        int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<std::size_t>(n);
    }
    auto n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

// Asio installs its signal handler without SA_RESTART; add it so that a stop signal does not
// make blocking reads and waits elsewhere in the process fail with EINTR.
void add_restart_flag(int signal) {
    struct sigaction action {};
    if (::sigaction(signal, nullptr, &action) == 0 && action.sa_handler != SIG_DFL &&
        action.sa_handler != SIG_IGN) {
        action.sa_flags |= SA_RESTART;
        ::sigaction(signal, &action, nullptr);
    }
}

// The default action is back in place on entry (SA_RESETHAND) and the signal is blocked while
// the handler runs, so raising it again ends the process as soon as the handler returns.
extern "C" void kill_children_and_end(int signal) {
    const int saved = errno;
    telemetry::kill_running_children();
    ::raise(signal);
    errno = saved;
}

}  // namespace

void end_children_with_the_server() {
    struct sigaction action {};
    action.sa_handler = kill_children_and_end;
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signal : telemetry::ending_signals) {
        struct sigaction current {};
        // A signal ignored when the server was started (nohup) stays ignored.
        if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
        ::sigaction(signal, &action, nullptr);
    }
}

Runtime::Runtime(std::size_t blocking_threads)
    : work_(asio::make_work_guard(ioc_)), pool_(std::make_shared<BlockingPool>(blocking_threads)) {
    std::size_t count = usable_cores();
    try {
        for (std::size_t i = 0; i < count; ++i) {
            workers_.emplace_back([this] {
                while (true) {
                    try {
                        ioc_.run();
                        break;
                    } catch (...) {
                        // The worker's last line of defence: a handler that throws, whatever
                        // it throws, must not end the thread.
                    }
                }
            });
        }
    } catch (...) {
        // Whatever stopped the threads (std::system_error, std::bad_alloc), those started are
        // joined before it is passed on: a thread destroyed unjoined ends the process.
        release();
        throw;
    }
}

Runtime::~Runtime() { release(); }

void Runtime::release() {
    if (released_) return;
    released_ = true;
    work_.reset();
    ioc_.stop();
    for (auto& worker : workers_) {
        if (worker.joinable()) worker.join();
    }
    pool_->shutdown();
}

Result<tcp::acceptor, boost::system::error_code> bind(Runtime& runtime, const tcp::endpoint& address) {
    tcp::acceptor acceptor(asio::make_strand(runtime.ioc()));
    boost::system::error_code ec;
    if (acceptor.open(address.protocol(), ec)) return ec;
    ::fcntl(acceptor.native_handle(), F_SETFD, FD_CLOEXEC);
    acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (acceptor.bind(address, ec)) return ec;
    if (acceptor.listen(1024, ec)) return ec;
    return acceptor;
}

StopSignal StopSignal::install(Runtime& runtime) {
    StopSignal out;
    out.set_ = std::make_unique<asio::signal_set>(runtime.ioc());
    for (int signal : {SIGTERM, SIGINT}) {
        boost::system::error_code ec;
        out.set_->add(signal, ec);
        if (ec) continue;  // left out without a message; it keeps its default action
        add_restart_flag(signal);
    }
    return out;
}

Result<void, std::string> serve(Runtime& runtime, tcp::acceptor listener, store::RunStore store,
                                StopSignal& signals, HttpLimits limits) {
    auto stopping = std::make_shared<std::atomic<bool>>(false);
    auto shared_store = std::make_shared<const store::RunStore>(std::move(store));
    auto answers = answer_budget();
    auto router = router_stopping_on(shared_store, stopping, runtime.pool(), answers);
    auto server = std::make_shared<HttpServer>(runtime.ioc(), std::move(listener), router, limits);
    server->start();
    // With no listener installed the wait never completes and serving goes on until the
    // process is ended from outside.
    signals.set().async_wait([server, stopping, shared_store, answers](const boost::system::error_code& ec, int) {
        if (ec) return;
        stopping->store(true, std::memory_order_relaxed);
        // Requests still waiting for a budget are answered busy now: behind clients that never
        // read, their turn could come only after every answer ahead of them was cut.
        answers->refuse_waiting();
        shared_store->run_cache().refuse_waiting();
        // No telemetry child may hold the stop up for long: none is started from now on, the
        // running one may finish within the cache's grace (its waiters are then answered), and
        // the lookups that would need another child are refused.
        shared_store->stop_telemetry();
        server->begin_drain();
    });
    server->wait_drained();
    return {};
}

}  // namespace korvalle::server
