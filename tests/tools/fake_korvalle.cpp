// fake_korvalle: a stand-in for the pipeline tool's `telemetry` command, for tests.
//
//   fake_korvalle telemetry RUN_ID
//
// It finds the run as <KORVALLE_RUNS_DIR>/<RUN_ID> (exit 1 with "no run RUN_ID under ROOT" on
// standard error when that directory does not exist; exit 2 on a bad command line or when
// KORVALLE_RUNS_DIR is unset). Tests steer it per run with files in the run directory, or for
// every run with environment variables (a file wins over the variable):
//
//   mode     file fake-telemetry.mode    or FAKE_KORVALLE_MODE    (first word, then arguments)
//   stderr   file fake-telemetry.stderr  or FAKE_KORVALLE_STDERR  (written as is, in every mode)
//   document file fake-telemetry.json                              (printed as is by `document`)
//   calls    FAKE_KORVALLE_CALLS=PATH: appends "start RUN_ID\n" when it starts and
//            "end RUN_ID\n" just before it exits normally, so tests can count and order runs
//   delay    file fake-telemetry.delay   or FAKE_KORVALLE_DELAY_MS   (N: sleeps N ms after the
//            "start" line)
//
// Modes:
//   document     (default) print fake-telemetry.json, or a valid generated document for the run
//                (wall_ms 1000, agent 400, judge 100, the other buckets 0, no scheduling time,
//                agent and total usage); exit 0
//   exit N       print nothing on standard output; exit with code N
//   signal       kill itself with SIGKILL
//   hang         start a grandchild (its pid goes to the calls file as "grandchild PID"), then
//                both sleep forever
//   silent       print nothing; exit 0
//   quiet-hang   close standard output and error, then sleep forever
//   linger       print the document as `document` does and exit 0, leaving a grandchild in its
//                process group that holds standard output and error open (its pid goes to the
//                calls file as "grandchild PID") for 120 seconds
//   escape       as linger, but the grandchild leaves the group first (a session of its own)
//   flood        write 100 MiB to standard output; exit 0
//   flood-stderr write 100 MiB to standard error, then the line "flood done"; exit 3
//   deep N       print N nested arrays ("[[[...]]]"); exit 0
//   inspect      exit 3 with one line on standard error describing how it was started:
//                "stdin=eof|data fds=0,1,2 sigpipe=default|ignored mask=empty|set
//                 group=own|shared runs_dir=ROOT args=N"
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

std::string run_id;
std::string run_dir;

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A steering value: the run directory's file first, then the environment.
std::optional<std::string> steer(const char* file, const char* variable) {
    if (auto text = read_file(run_dir + "/" + file)) return text;
    if (const char* value = std::getenv(variable)) return std::string(value);
    return std::nullopt;
}

void write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            std::_Exit(4);
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
}

// Appends one line to the calls file, when there is one.
void record_line(const std::string& line) {
    const char* path = std::getenv("FAKE_KORVALLE_CALLS");
    if (path == nullptr) return;
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    write_all(fd, line + "\n");
    ::close(fd);
}

void record(const char* what) { record_line(std::string(what) + " " + run_id); }

[[noreturn]] void finish(int code) {
    record("end");
    std::exit(code);
}

std::string generated_document() {
    return R"({"schema_version":2,"run_id":")" + run_id +
           R"(","wall_ms":1000,"buckets":[{"name":"agent","ms":400},{"name":"judge","ms":100},)"
           R"({"name":"llmlint","ms":0},{"name":"gate","ms":0},{"name":"publication_wait","ms":0},)"
           R"({"name":"lock_wait","ms":0},{"name":"setup","ms":0},{"name":"scheduling"}],)"
           R"("usage":{"total":{"input":1200,"output":300,"cost_usd":0.25},)"
           R"("agent":{"input":1000,"output":250,"cache_read":10,"cache_write":5,"cost_usd":0.2}}})";
}

void flood(int fd, std::size_t bytes) {
    const std::string chunk(64 * 1024, 'x');
    for (std::size_t done = 0; done < bytes; done += chunk.size()) write_all(fd, chunk);
}

// A grandchild that keeps the pipes open for a while after the child has gone; in a session of
// its own when it escapes, out of reach of a kill of the child's group.
void linger(bool escape) {
    int left[2];
    if (::pipe(left) != 0) std::_Exit(4);
    const pid_t child = ::fork();
    if (child == 0) {
        if (escape) ::setsid();
        ::close(left[1]);  // the child goes on once the grandchild is where it means to be
        ::sleep(120);
        std::_Exit(0);
    }
    ::close(left[1]);
    char byte;
    while (::read(left[0], &byte, 1) < 0 && errno == EINTR) {
    }
    ::close(left[0]);
    if (child > 0) record_line("grandchild " + std::to_string(child));
}

// The grandchild holds the pipes open too, so only killing the whole group ends the reading.
[[noreturn]] void hang() {
    const pid_t child = ::fork();
    if (child > 0) record_line("grandchild " + std::to_string(child));
    for (;;) ::pause();
}

std::string inspect(int argc) {
    char byte;
    const ssize_t n = ::read(0, &byte, 1);
    std::string fds;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        const int own = ::dirfd(dir);
        while (dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == own) continue;
            fds += (fds.empty() ? "" : ",") + std::string(entry->d_name);
        }
        ::closedir(dir);
    }
    struct sigaction action {};
    ::sigaction(SIGPIPE, nullptr, &action);
    sigset_t mask;
    sigemptyset(&mask);
    ::sigprocmask(SIG_BLOCK, nullptr, &mask);
    bool empty = true;
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sigismember(&mask, sig) == 1) empty = false;
    }
    const char* root = std::getenv("KORVALLE_RUNS_DIR");
    return std::string("stdin=") + (n == 0 ? "eof" : "data") + " fds=" + fds +
           " sigpipe=" + (action.sa_handler == SIG_DFL ? "default" : "ignored") + " mask=" + (empty ? "empty" : "set") +
           " group=" + (::getpgrp() == ::getpid() ? "own" : "shared") + " runs_dir=" + (root ? root : "") +
           " args=" + std::to_string(argc - 1) + "\n";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || std::strcmp(argv[1], "telemetry") != 0) {
        std::fputs("usage: fake_korvalle telemetry RUN_ID\n", stderr);
        return 2;
    }
    const char* root = std::getenv("KORVALLE_RUNS_DIR");
    if (root == nullptr) {
        std::fputs("KORVALLE_RUNS_DIR is not set\n", stderr);
        return 2;
    }
    run_id = argv[2];
    run_dir = std::string(root) + "/" + run_id;
    record("start");
    if (auto delay = steer("fake-telemetry.delay", "FAKE_KORVALLE_DELAY_MS")) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(delay->c_str())));
    }
    struct stat info;
    if (::stat(run_dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        write_all(2, "no run " + run_id + " under " + root + "\n");
        finish(1);
    }

    std::istringstream words(steer("fake-telemetry.mode", "FAKE_KORVALLE_MODE").value_or("document"));
    std::string mode;
    long argument = 0;
    words >> mode >> argument;
    if (mode == "inspect") {
        write_all(2, inspect(argc));
        finish(3);
    }
    if (auto text = steer("fake-telemetry.stderr", "FAKE_KORVALLE_STDERR")) write_all(2, *text);

    if (mode == "linger" || mode == "escape") linger(mode == "escape");
    if (mode == "document" || mode == "linger" || mode == "escape" || mode.empty()) {
        write_all(1, read_file(run_dir + "/fake-telemetry.json").value_or(generated_document()));
        finish(0);
    }
    if (mode == "exit") finish(static_cast<int>(argument));
    if (mode == "signal") ::kill(::getpid(), SIGKILL);
    if (mode == "hang") hang();
    if (mode == "silent") finish(0);
    if (mode == "quiet-hang") {
        ::close(1);
        ::close(2);
        for (;;) ::pause();
    }
    if (mode == "flood") {
        flood(1, 100u << 20);
        finish(0);
    }
    if (mode == "flood-stderr") {
        flood(2, 100u << 20);
        write_all(2, "\nflood done\n");
        finish(3);
    }
    if (mode == "deep") {
        write_all(1, std::string(static_cast<std::size_t>(argument), '[') +
                         std::string(static_cast<std::size_t>(argument), ']'));
        finish(0);
    }
    write_all(2, "unknown fake mode " + mode + "\n");
    finish(2);
}
