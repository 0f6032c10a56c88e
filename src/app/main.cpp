// Program entry: the process prologue, the command line, and the serve command, which builds
// the runtime and the run store (with the settings read from the environment), binds the
// listener, installs the stop signals, announces where it serves, serves until the first stop
// signal and turns each outcome into the exit status.
#include "src/app/cli.hpp"
#include "src/app/runtime.hpp"
#include "src/app/settings.hpp"
#include "sdk/base/files.hpp"
#include "src/store/store.hpp"
#include "sdk/base/text.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <system_error>
#include <vector>

namespace {

using namespace korvalle;

void fatal(const std::string& message, const std::string& action) {
    files::write_whole(STDERR_FILENO, "korvalle-api: " + message + "\nACTION: " + action + "\n");
}

// Every connection and every file read holds a descriptor; the usual soft limit of 1024 is far
// below what the host allows a server, so take the hard limit.
void raise_descriptor_limit() {
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// SIGPIPE ignored, so a write to a closed connection or pipe fails instead of ending the
// process; SIGCHLD back to its default, since a server started with it ignored would have its
// telemetry children reaped by the system, and their groups could then not be killed safely;
// standard descriptors found closed are opened on /dev/null so that no socket or file can take
// their numbers.
void prologue() {
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGCHLD, SIG_DFL);
    raise_descriptor_limit();
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            int opened = ::open("/dev/null", O_RDWR);
            if (opened >= 0 && opened != fd) {
                ::dup2(opened, fd);
                ::close(opened);
            }
        }
    }
}

// The serving line on standard output, naming the runs root as typed and the bound address
// (the port the system chose for port 0); message N instead when the address cannot be read.
void announce(const boost::asio::ip::tcp::acceptor& listener, const cli::RunsRoot& root) {
    boost::system::error_code ec;
    auto local = listener.local_endpoint(ec);
    if (ec) {
        files::write_whole(STDERR_FILENO,
                            "korvalle-api: bound, but cannot name the address: " + text::os_error(ec.value()) + "\n");
        return;
    }
    files::write_whole(STDOUT_FILENO,
                        "korvalle-api: serving " + root.str() + " on http://" + cli::format_socket_address(local) + "\n");
}

int run_serve(const cli::ServeArgs& args) {
    std::optional<server::Runtime> runtime;
    try {
        runtime.emplace(server::blocking_threads());
    } catch (const std::system_error& e) {
        fatal("cannot start an async runtime: " + text::os_error(e.code().value()),
              "this host could not create the threads the server needs; check its thread and "
              "file-descriptor limits.");
        return 70;
    }
    auto store = store::RunStore::new_polling_every(args.runs_root.str(), args.poll_interval_ms, server::read_settings());

    auto bound = server::bind(*runtime, args.bind);
    if (!bound) {
        fatal("cannot bind " + cli::format_socket_address(args.bind) + ": " + text::os_error(bound.error().value()),
              "choose a free address with --bind HOST:PORT, or stop whatever is holding this one.");
        return 2;
    }
    auto listener = std::move(bound).value();

    auto signals = server::StopSignal::install(*runtime);
    server::end_children_with_the_server();

    announce(listener, args.runs_root);

    int status = 0;
    if (auto served = server::serve(*runtime, std::move(listener), std::move(store), signals); !served) {
        fatal(served.error(), "check the server log above.");
        status = 70;
    }
    // The signal set stays installed until the pool has been waited for, so a second signal
    // during the release changes nothing.
    runtime->release();
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    prologue();
    std::vector<std::string> args(argv, argv + argc);
    auto parsed = cli::parse(args);
    if (auto* exit = std::get_if<cli::Exit>(&parsed)) {
        files::write_whole(exit->to_stdout ? STDOUT_FILENO : STDERR_FILENO, exit->text);
        return exit->status;
    }
    return run_serve(std::get<cli::ServeArgs>(parsed));
}
