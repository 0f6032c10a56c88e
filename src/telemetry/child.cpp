// Running the pipeline tool's `telemetry` command as a child process.
//
// The child gets /dev/null for input and one pipe each for output and error, which are drained
// together with poll() so that neither can fill up and stall it. No other descriptor reaches the
// child: the server opens its sockets and files close-on-exec, and every descriptor above 2 is
// closed in the child as well, so that one opened without the flag (by a library, say) cannot
// keep the listening port bound after we exit. The child runs in its own process group, and
// nothing of that group outlives the child: once the child has exited, the group is killed
// before the child is reaped (its unreaped pid keeps the group's id from being reused), and the
// same on every other ending. A process that left the group is out of reach.
//
// Bounds the tool itself does not promise: a time limit, at most max_stdout_bytes of output kept
// and the last max_stderr_bytes of error kept; both pipes are still read to their end, or for
// one second after the child has exited (a process that left its group may hold them for good).
//
// Every running child is listed in a table of atomics that a signal handler may read, so that
// a server ended by a signal can take the children's process groups with it.
//
// At the server's stop a caller sets a deadline of its own: the thread that runs the child looks
// at it between its reads and kills the child's group itself, so the group is never killed by a
// pid the child may no longer own.
#include "src/telemetry/child.hpp"

#include "sdk/base/descriptor.hpp"
#include "sdk/base/files.hpp"
#include "sdk/base/text.hpp"
#include "src/telemetry/document.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <optional>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace korvalle::telemetry {

namespace {

using Clock = std::chrono::steady_clock;

struct Pipe {
    files::Descriptor read;
    files::Descriptor write;
};

// Makes a pipe whose ends are close-on-exec, so that children spawned concurrently by other
// threads never inherit them; the spawn's dup2 clears the flag on the child's copies.
int make_pipe(Pipe& pipe) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return files::unless_exhausted(errno);
    pipe.read = files::Descriptor(fds[0]);
    pipe.write = files::Descriptor(fds[1]);
    return 0;
}

// The children running now, by pid (which is also their process group id); 0 marks a free
// slot. Atomics only, so that kill_running_children can run in a signal handler. One child runs
// at a time in practice (the telemetry cache serialises lookups); the table leaves room for more.
constexpr std::size_t max_listed_children = 64;
std::array<std::atomic<pid_t>, max_listed_children> running_children{};
// Spawns under way: a child exists before its pid is listed.
std::atomic<int> spawning{0};
static_assert(std::atomic<pid_t>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

void list_child(pid_t pid) {
    for (auto& slot : running_children) {
        pid_t free = 0;
        if (slot.compare_exchange_strong(free, pid)) return;
    }
}

// Called before the child is reaped: once reaped, its pid may name another process.
void unlist_child(pid_t pid) {
    for (auto& slot : running_children) {
        pid_t listed = pid;
        if (slot.compare_exchange_strong(listed, 0)) return;
    }
}

// The signals whose handler kills the children: blocked on the spawning thread while a child
// is started and listed, so that the handler never waits on its own thread.
sigset_t ending_signal_set() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : ending_signals) sigaddset(&set, sig);
    return set;
}

// The environment of the server with KORVALLE_RUNS_DIR replaced.
std::vector<std::string> child_environment(std::string_view runs_root) {
    std::vector<std::string> env;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "KORVALLE_RUNS_DIR=", 18) == 0) continue;
        env.emplace_back(*entry);
    }
    env.push_back("KORVALLE_RUNS_DIR=" + std::string(runs_root));
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> out;
    out.reserve(texts.size() + 1);
    for (std::string& text : texts) out.push_back(text.data());
    out.push_back(nullptr);
    return out;
}

// posix_spawnp, with the child listed in running_children before anything can end the server.
int spawn_listed(pid_t& pid, const char* program, const posix_spawn_file_actions_t& actions,
                 const posix_spawnattr_t& attr, char* const argv[], char* const envp[]) {
    const sigset_t ending = ending_signal_set();
    sigset_t saved;
    ::pthread_sigmask(SIG_BLOCK, &ending, &saved);
    spawning.fetch_add(1);
    const int error = ::posix_spawnp(&pid, program, &actions, &attr, argv, envp);
    if (error == 0) list_child(pid);
    spawning.fetch_sub(1);
    ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    return error;
}

// Starts the child; returns its pid, or an errno value as a negative number.
pid_t spawn(std::string_view program, std::string_view runs_root, const contract::RunId& run, int out_fd,
            int err_fd) {
    std::vector<std::string> args = {std::string(program), "telemetry", run.str()};
    std::vector<std::string> env = child_environment(runs_root);
    std::vector<char*> argv = pointers(args);
    std::vector<char*> envp = pointers(env);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    if (const int error = posix_spawn_file_actions_init(&actions)) return -error;
    if (const int error = posix_spawnattr_init(&attr)) {
        posix_spawn_file_actions_destroy(&actions);
        return -error;
    }
    sigset_t defaults, mask;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigemptyset(&mask);
    // Each step fails only for want of memory; the first failure is the one reported.
    int error = posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (error == 0) error = posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
    if (error == 0) error = posix_spawn_file_actions_adddup2(&actions, err_fd, 2);
    if (error == 0) error = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    if (error == 0) error = posix_spawnattr_setsigdefault(&attr, &defaults);
    if (error == 0) error = posix_spawnattr_setsigmask(&attr, &mask);
    if (error == 0) error = posix_spawnattr_setpgroup(&attr, 0);
    if (error == 0) {
        error = posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
    }
    pid_t pid = -1;
    if (error == 0) error = spawn_listed(pid, argv[0], actions, attr, argv.data(), envp.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return error == 0 ? pid : -error;
}

// What the child left in its two pipes, bounded: the head of standard output and the tail of
// standard error.
class Captured {
public:
    void add_out(std::string_view bytes) {
        const std::size_t room = max_stdout_bytes - std::min(max_stdout_bytes, out_.size());
        out_.append(bytes.substr(0, room));
        if (bytes.size() > room) out_overflowed_ = true;
    }
    void add_err(std::string_view bytes) {
        err_.append(bytes);
        // Trim only once twice the limit is held, so the copying stays linear in the bytes read.
        if (err_.size() > 2 * max_stderr_bytes) err_.erase(0, err_.size() - max_stderr_bytes);
    }

    const std::string& out() const { return out_; }
    bool out_overflowed() const { return out_overflowed_; }
    // The last max_stderr_bytes bytes of standard error.
    std::string_view err_tail() const {
        std::string_view tail = err_;
        if (tail.size() > max_stderr_bytes) tail.remove_prefix(tail.size() - max_stderr_bytes);
        return tail;
    }

private:
    std::string out_;
    bool out_overflowed_ = false;
    std::string err_;
};

// How a drain or a wait ended.
enum class Ending { Done, TimedOut, Stopped, Failed };

int remaining_ms(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 60'000));
}

// When the child must be ended: its time limit, or the stop's moment if that comes first.
struct Deadlines {
    Clock::time_point limit;
    const StopDeadline* stop;

    Clock::time_point first() const { return stop == nullptr ? limit : std::min(limit, stop->at()); }
    // Which of the two has passed, if any; the stop's wins when both have.
    std::optional<Ending> passed() const {
        const auto now = Clock::now();
        if (stop != nullptr && now >= stop->at()) return Ending::Stopped;
        if (now >= limit) return Ending::TimedOut;
        return std::nullopt;
    }
};

// The child being run, and its wait status once it has been reaped.
struct Child {
    pid_t pid = -1;
    bool ended = false;   // it has exited and its group was killed; not yet reaped
    bool reaped = false;
    bool lost = false;  // a wait failed: the child is no longer ours to reap or to kill
    int status = 0;
};

// Looks whether the child has exited, without reaping it (never blocks). Once it has, whatever
// is left of its group is killed at once: the unreaped child keeps its pid, and with it the
// group's id, from naming anything else, so the kill can only reach what the child started in
// its group; and with them gone its pipes reach their end. Returns the errno of a failed wait.
int look_for_exit(Child& child) {
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(child.pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        if (errno != EINTR) {
            child.lost = true;
            return errno;
        }
    }
    if (info.si_pid == child.pid) {
        child.ended = true;
        ::kill(-child.pid, SIGKILL);
    }
    return 0;
}

// Reaps the ended or killed child; unlists it first, since the pid is free for reuse once
// reaped. Returns the errno of a failed wait.
int reap(Child& child) {
    unlist_child(child.pid);
    while (::waitpid(child.pid, &child.status, 0) < 0) {
        if (errno != EINTR) {
            child.lost = true;
            return errno;
        }
    }
    child.reaped = true;
    return 0;
}

// How long the pipes are read after the child has exited.
constexpr std::chrono::seconds after_exit_grace{1};

// Reads both pipes until both are at their end, a deadline passes or the read fails. Once the
// child has exited and its group was killed, the reading ends at the latest one second later:
// whatever still holds the pipes then has left the group, and what the child wrote is complete.
Ending drain(Pipe& out, Pipe& err, Captured& captured, Child& child, const Deadlines& deadlines, int& error) {
    std::vector<char> buffer(64 * 1024);
    Clock::time_point grace_end = Clock::time_point::max();
    bool out_open = true, err_open = true;
    while (out_open || err_open) {
        if (!child.ended) {
            if ((error = look_for_exit(child)) != 0) return Ending::Failed;
            if (child.ended) grace_end = Clock::now() + after_exit_grace;
        }
        // A child that has ended did so in time, whatever deadline passes during the grace.
        if (child.ended && Clock::now() >= grace_end) return Ending::Done;
        if (!child.ended) {
            if (const auto passed = deadlines.passed()) return *passed;
        }
        // Short waits, so that an exit and a stop set meanwhile are both seen soon.
        const int wait = std::min<int>(remaining_ms(child.ended ? grace_end : deadlines.first()),
                                       static_cast<int>(exit_check_interval.count()));
        pollfd fds[2] = {{out_open ? out.read.get() : -1, POLLIN, 0}, {err_open ? err.read.get() : -1, POLLIN, 0}};
        const int ready = ::poll(fds, 2, wait);
        if (ready < 0) {
            if (errno == EINTR) continue;
            error = errno;
            return Ending::Failed;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            const ssize_t n = ::read(fds[i].fd, buffer.data(), buffer.size());
            if (n < 0) {
                if (errno == EINTR || errno == EAGAIN) continue;
                error = errno;
                return Ending::Failed;
            }
            const std::string_view bytes(buffer.data(), static_cast<std::size_t>(n));
            if (n == 0) {
                (i == 0 ? out_open : err_open) = false;
            } else if (i == 0) {
                captured.add_out(bytes);
            } else {
                captured.add_err(bytes);
            }
        }
    }
    return Ending::Done;
}

// Waits for the child to exit, at most until a deadline. A child may close its pipes and go on
// running, so the wait polls with a short, growing sleep instead of blocking.
Ending wait_for(Child& child, const Deadlines& deadlines, int& error) {
    auto pause = std::chrono::milliseconds(1);
    while (!child.ended) {
        if ((error = look_for_exit(child)) != 0) return Ending::Failed;
        if (child.ended) break;
        if (const auto passed = deadlines.passed()) return *passed;
        std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadlines.first() - Clock::now()));
        pause = std::min<std::chrono::milliseconds>(pause * 2, exit_check_interval);
    }
    return Ending::Done;
}

// Kills the child's whole process group and reaps the child, so that nothing is left behind.
// The child itself is killed by pid too, in case it left its group: the reaping must not wait.
void kill_and_reap(Child& child) {
    ::kill(-child.pid, SIGKILL);
    ::kill(child.pid, SIGKILL);
    unlist_child(child.pid);
    int status = 0;
    while (::waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
    }
}

std::string duration_text(std::chrono::milliseconds limit) {
    if (limit.count() % 1000 == 0) {
        const auto seconds = limit.count() / 1000;
        return std::to_string(seconds) + (seconds == 1 ? " second" : " seconds");
    }
    return std::to_string(limit.count()) + " milliseconds";
}

// The last line of the child's standard error, trimmed, or "it said nothing".
std::string refusal_detail(std::string_view err) {
    const std::string decoded = text::lossy_utf8(err);
    const std::vector<std::string_view> lines = text::lines(decoded);
    if (lines.empty()) return "it said nothing";
    return std::string(text::trim(lines.back()));
}

// How the child ended: its wait status and what it left in its pipes.
struct Ended {
    int status = 0;
    Captured captured;
};

// Starts the child, drains its pipes and reaps it. Fails with the reason when it could not be
// started, read or waited for, when it overran the time limit or when the stop ended it.
Result<void, Unavailable> run_child(std::string_view program, std::string_view runs_root, const contract::RunId& run,
                                    std::chrono::milliseconds time_limit, const StopDeadline* stop, Ended& ended) {
    // A stop that comes between this look and the spawn gives the child until its moment, as
    // it does a child already running.
    if (stop != nullptr && stop->is_set()) return Unavailable::stopped();
    const Deadlines deadlines{Clock::now() + time_limit, stop};
    Pipe out, err;
    if (int error = make_pipe(out)) return Unavailable::cannot_start(text::os_error(error));
    if (int error = make_pipe(err)) return Unavailable::cannot_start(text::os_error(error));

    Child child;
    child.pid = spawn(program, runs_root, run, out.write.get(), err.write.get());
    if (child.pid < 0) return Unavailable::cannot_start(text::os_error(files::unless_exhausted(-child.pid)));
    // Our copies of the write ends must go, or the pipes never reach their end.
    out.write = {};
    err.write = {};

    int error = 0;
    Ending ending = drain(out, err, ended.captured, child, deadlines, error);
    if (ending == Ending::Done) ending = wait_for(child, deadlines, error);
    if (ending == Ending::Done && (error = reap(child)) != 0) ending = Ending::Failed;
    if (ending == Ending::Done) {
        ended.status = child.status;
        return {};
    }
    // A failed wait means the child is no longer ours to reap, and its pid (and group id) may
    // already name another process: nothing is killed.
    if (child.lost) return Unavailable::cannot_start(text::os_error(error));
    kill_and_reap(child);
    files::unless_exhausted(error);
    if (ending == Ending::TimedOut) {
        return Unavailable::refused("it did not finish within " + duration_text(time_limit));
    }
    if (ending == Ending::Stopped) return Unavailable::stopped();
    return Unavailable::cannot_start(text::os_error(error));
}

}  // namespace

void kill_running_children() noexcept {
    // A spawn under way on another thread lists its child within moments; wait for it, boundedly.
    for (int waited = 0; spawning.load() > 0 && waited < 1000; ++waited) {
        const timespec pause{0, 1'000'000};
        ::nanosleep(&pause, nullptr);
    }
    for (auto& slot : running_children) {
        const pid_t pid = slot.load();
        if (pid > 0) {
            ::kill(-pid, SIGKILL);
            ::kill(pid, SIGKILL);
        }
    }
}

Outcome of_run_from(std::string_view program, std::string_view runs_root, const contract::RunId& run,
                    std::chrono::milliseconds time_limit, const StopDeadline* stop) {
    // The operating system takes NUL-terminated texts; one with a NUL inside cannot be passed.
    if (program.find('\0') != std::string_view::npos || runs_root.find('\0') != std::string_view::npos) {
        return Unavailable::cannot_start("nul byte found in provided data");
    }
    Ended ended;
    Result<void, Unavailable> ran = run_child(program, runs_root, run, time_limit, stop, ended);
    if (!ran) return std::move(ran).error();
    if (!WIFEXITED(ended.status) || WEXITSTATUS(ended.status) != 0) {
        return Unavailable::refused(refusal_detail(ended.captured.err_tail()));
    }
    if (ended.captured.out_overflowed()) {
        return Unavailable::unreadable("the document is longer than " + std::to_string(max_stdout_bytes) +
                                       " bytes, the most this build reads");
    }
    return read_document(run, ended.captured.out());
}

}  // namespace korvalle::telemetry
