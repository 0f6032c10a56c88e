// The pipeline tool's `telemetry` command as a child process: started for one run, bounded in
// time and output, and ended with its process group: when it ends, at its time limit, at the
// stop's deadline, and when the server ends by a signal.
#pragma once

#include "src/contract/contract.hpp"
#include "src/telemetry/telemetry.hpp"

#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <string_view>

namespace korvalle::telemetry {

// How long a child may run before its process group is killed.
inline constexpr std::chrono::milliseconds default_time_limit{60'000};
// How much of the child's standard output is kept, and how much of the end of its standard
// error. Both pipes are still read to their end.
inline constexpr std::size_t max_stdout_bytes = 16 * 1024 * 1024;
inline constexpr std::size_t max_stderr_bytes = 64 * 1024;

// The moment by which a running child must have ended, set from any thread (at the server's
// stop) and read by the child's thread between its reads; lock-free, so that setting it never
// waits. Unset, it is the end of time.
class StopDeadline {
public:
    using Clock = std::chrono::steady_clock;

    // Sets the moment, unless one is set already: the first stop's holds.
    void set(Clock::time_point at) noexcept {
        Clock::rep unset = never;
        at_.compare_exchange_strong(unset, at.time_since_epoch().count());
    }
    bool is_set() const noexcept { return at_.load() != never; }
    Clock::time_point at() const noexcept { return Clock::time_point(Clock::duration(at_.load())); }

private:
    static constexpr Clock::rep never = Clock::duration::max().count();
    std::atomic<Clock::rep> at_{never};
};

// Runs `{program} telemetry {run}` with KORVALLE_RUNS_DIR set to runs_root, waits for it and
// reads its document. Blocks the calling thread for the child's whole life (at most
// time_limit, then the child's process group is killed). Once the child has ended, whatever is
// left of its process group is killed before the child is reaped, so nothing it started in its
// group outlives it and its pipes close at once. Never throws for the child's faults; throws
// files::Exhausted when the server runs out of descriptors or memory, which says nothing about
// the run and must not be remembered as its outcome.
//
// stop, when given, may be set from any thread: once it is, no child is started, and a running
// one may go on until the moment it names; then its process group is killed by this thread
// (within exit_check_interval) and the outcome is Unavailable::Kind::Stopped, which says
// nothing about the run either. A child that ends before that moment gives its outcome as any
// other.
Outcome of_run_from(std::string_view program, std::string_view runs_root, const contract::RunId& run,
                    std::chrono::milliseconds time_limit = default_time_limit, const StopDeadline* stop = nullptr);

// How often a running child's thread looks whether the child has exited, or its stop's moment
// has come, while its pipes stay open.
inline constexpr std::chrono::milliseconds exit_check_interval{50};

// The signals whose default action ends the process and that can be caught (the stop signals
// SIGTERM and SIGINT aside): a server ended by one first calls kill_running_children.
inline constexpr std::array<int, 9> ending_signals = {SIGHUP,    SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM,
                                                      SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ};

// Kills the process group of every child of of_run_from running now, with SIGKILL. Safe to call
// from a signal handler: for a server that is about to end by a signal, so that no child (and
// nothing the child started in its group) outlives it.
void kill_running_children() noexcept;

}  // namespace korvalle::telemetry
