// Running the telemetry command through the stand-in tool: one group per way a child can end.
#include "src/telemetry/child.hpp"

#include "tests/support/process_watch.hpp"
#include "tests/support/run_builder.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace korvalle::telemetry {
namespace {

namespace fs = std::filesystem;
using testing::proc_stat;
using testing::read_text;
using testing::eventually;
using std::chrono::milliseconds;

const std::string fake = KORVALLE_BINARY_DIR "/tests/fake_korvalle";

// Sets an environment variable (unsets it for nullptr) for one scope and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
    }
    ~ScopedEnv() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

private:
    const char* name_;
    std::optional<std::string> old_;
};

int open_descriptors() {
    int count = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    while (dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.';
    ::closedir(dir);
    return count - 1;  // the directory's own descriptor
}

class TelemetryChild : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/korvalle-telemetry-XXXXXX";
        root_ = ::mkdtemp(pattern);
        fs::create_directory(root_ / "r1");
    }
    void TearDown() override { fs::remove_all(root_); }

    // Steers the stand-in for run r1: its mode, standard error or document.
    void put(const std::string& name, const std::string& content) {
        std::ofstream(root_ / "r1" / ("fake-telemetry." + name), std::ios::binary) << content;
    }

    Outcome run(const std::string& program = fake, milliseconds limit = default_time_limit) {
        return of_run_from(program, root_.string(), *contract::RunId::make("r1"), limit);
    }

    Unavailable unavailable(const std::string& program = fake, milliseconds limit = default_time_limit) {
        Outcome outcome = run(program, limit);
        if (!outcome.ok()) return outcome.error();
        ADD_FAILURE() << "the run has telemetry";
        return {};
    }

    fs::path root_;
};

TEST(ProgramName, EnvironmentOrTheDefault) {
    // Unset, empty or not UTF-8: the default; otherwise the text unchanged.
    const std::pair<std::optional<std::string_view>, std::string> cases[] = {
        {std::nullopt, "korvalle"}, {"", "korvalle"}, {"/opt/k\xff", "korvalle"}, {" /opt/korvalle ", " /opt/korvalle "}};
    for (auto [value, program] : cases) {
        EXPECT_EQ(telemetry_binary(value), program) << value.value_or("unset");
    }
}

TEST_F(TelemetryChild, ToolThatCannotStart) {
    {
        ScopedEnv path("PATH", root_.c_str());
        const Unavailable missing = unavailable(telemetry_binary(std::nullopt));
        EXPECT_EQ(missing, Unavailable::cannot_start("No such file or directory (os error 2)"));
        EXPECT_EQ(missing.message("korvalle"),
                  "cannot start `korvalle telemetry`: No such file or directory (os error 2) \u2014 install the "
                  "matching `korvalle`, or name one with KORVALLE_UI_KORVALLE_BIN");
        // A name with spaces is used as it is, and shown with them.
        const std::string spaced = telemetry_binary(" " + fake);
        const Unavailable spaced_reason = unavailable(spaced);
        EXPECT_EQ(spaced_reason.kind, Unavailable::Kind::CannotStart);
        EXPECT_EQ(spaced_reason.message(spaced).rfind("cannot start ` " + fake + " telemetry`: ", 0), 0u);
    }
    const fs::path plain = root_ / "korvalle";
    std::ofstream(plain) << "#!/bin/sh\nexit 0\n";
    fs::permissions(plain, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(unavailable(plain.string()), Unavailable::cannot_start("Permission denied (os error 13)"));

    const Unavailable nul = Unavailable::cannot_start("nul byte found in provided data");
    EXPECT_EQ(unavailable(std::string("korv\0alle", 9)), nul);
    EXPECT_EQ(of_run_from(fake, std::string("/tmp\0x", 6), *contract::RunId::make("r1")), Outcome(nul));

    // A child that someone else reaped (here: the system, as SIGCHLD is ignored) cannot be
    // waited for; its pid may already be another process's, so it is reported and left alone.
    put("mode", "silent");
    struct sigaction ignore {}, old {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGCHLD, &ignore, &old);
    const Unavailable reaped = unavailable();
    ::sigaction(SIGCHLD, &old, nullptr);
    EXPECT_EQ(reaped, Unavailable::cannot_start("No child processes (os error 10)"));
}

TEST_F(TelemetryChild, ExitOrSignalIsRefusedWithTheLastLine) {
    put("mode", "exit 3");
    put("stderr", "first line\n  second line \t\n");
    const Unavailable reason = unavailable();
    EXPECT_EQ(reason, Unavailable::refused("second line"));
    EXPECT_EQ(reason.message("korvalle-dev"), "`korvalle-dev telemetry` refused: second line");
    for (auto [stderr_text, last] : std::vector<std::pair<std::string, std::string>>{
             {"one\r\ntwo\r\n", "two"},
             {"one\n  last without end  ", "last without end"},
             {"said something\n\n", ""},
             {"said something\n   \n", ""},
             {"bad \xff byte\n", "bad \xef\xbf\xbd byte"},
             {"", "it said nothing"}}) {
        put("stderr", stderr_text);
        EXPECT_EQ(unavailable(), Unavailable::refused(last)) << stderr_text;
    }
    put("mode", "signal");
    EXPECT_EQ(unavailable(), Unavailable::refused("it said nothing"));
    put("stderr", "going down\n");
    EXPECT_EQ(unavailable(), Unavailable::refused("going down"));
    EXPECT_EQ(of_run_from(fake, root_.string(), *contract::RunId::make("r2")),
              Outcome(Unavailable::refused("no run r2 under " + root_.string())));
}

TEST_F(TelemetryChild, BadDocumentsAreUnreadable) {
    put("mode", "silent");
    put("stderr", "all fine, really\n");
    const Unavailable silent = unavailable();
    EXPECT_EQ(silent, Unavailable::unreadable("EOF while parsing a value at line 1 column 0"));
    EXPECT_EQ(silent.message("korvalle"), "`korvalle telemetry` answered a document this build cannot read: EOF while parsing "
                                "a value at line 1 column 0");

    put("mode", "document");
    put("json", "{\"schema_version\":2,");
    EXPECT_EQ(unavailable().kind, Unavailable::Kind::Unreadable);
    put("json", R"({"schema_version":1,"run_id":"r1"})");
    EXPECT_EQ(unavailable(), Unavailable::unreadable("telemetry schema_version 1, and this build reads 2"));
    put("json", R"({"schema_version":2,"run_id":"r1","wall_ms":0,"buckets":[["agent"],["judge"],["llmlint"],)"
                R"(["gate"],["publication_wait"],["lock_wait"],["setup"],["scheduling"]],)"
                R"("usage":{"total":{"cost_usd":-0.5}}})");
    EXPECT_EQ(unavailable(), Unavailable::unreadable("the `total` party cost -0.5, which is not an amount of money"));
    put("mode", "deep 10000");
    EXPECT_EQ(unavailable().text.rfind("recursion limit exceeded at line 1 column ", 0), 0u);
}

TEST_F(TelemetryChild, DocumentGivesTheRunsTelemetry) {
    ScopedEnv other_root("KORVALLE_RUNS_DIR", "/nonexistent");  // replaced for the child
    put("stderr", "warning: whatever\n");
    const RunTelemetry expected{400, 100, 0, 0, 0, 0, 0, std::nullopt, 1000,
                                {{UsageParty::Agent, {1000, 250, 10, 5, 0.2}},
                                 {UsageParty::Total, {1200, 300, std::nullopt, std::nullopt, 0.25}}}};
    EXPECT_EQ(run(), Outcome(expected));
}

// The child sees no descriptor of ours, end of file on its input, default SIGPIPE, an empty
// signal mask and a process group of its own, even when this process has none of those.
TEST_F(TelemetryChild, ChildStartsClean) {
    put("mode", "inspect");
    const int leaked = ::open("/dev/null", O_RDONLY);  // not close-on-exec, like a server socket
    struct sigaction ignore {}, old {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, &old);
    sigset_t block, old_mask;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR1);
    ::pthread_sigmask(SIG_BLOCK, &block, &old_mask);
    const Unavailable reason = unavailable();
    ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    ::sigaction(SIGPIPE, &old, nullptr);
    ::close(leaked);
    EXPECT_EQ(reason, Unavailable::refused("stdin=eof fds=0,1,2 sigpipe=default mask=empty group=own runs_dir=" +
                                           root_.string() + " args=2"));
}

TEST_F(TelemetryChild, FloodedOutputIsBoundedAndDrained) {
    rusage before{};
    ::getrusage(RUSAGE_SELF, &before);
    put("mode", "flood");
    EXPECT_EQ(unavailable(),
              Unavailable::unreadable("the document is longer than 16777216 bytes, the most this build reads"));
    put("mode", "flood-stderr");
    EXPECT_EQ(unavailable(), Unavailable::refused("flood done"));
    rusage after{};
    ::getrusage(RUSAGE_SELF, &after);
    // 100 MiB went through each pipe; far less was ever held (ru_maxrss is in KiB).
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 * 1024);
}

TEST_F(TelemetryChild, ChildPastTheLimitIsKilledWithItsGroup) {
    const fs::path calls = root_ / "calls";
    ScopedEnv record("FAKE_KORVALLE_CALLS", calls.c_str());
    put("mode", "hang");
    EXPECT_EQ(unavailable(fake, std::chrono::seconds(2)), Unavailable::refused("it did not finish within 2 seconds"));

    // The grandchild held the pipes too; it went with the group (gone, or a zombie of init's).
    std::istringstream lines(read_text(calls));
    pid_t grandchild = 0;
    for (std::string word; lines >> word;) {
        if (word == "grandchild") lines >> grandchild;
    }
    ASSERT_GT(grandchild, 0);
    bool gone = false;
    for (int i = 0; i < 100 && !gone; ++i, ::usleep(20'000)) {
        const std::string state = proc_stat(grandchild);
        gone = state.empty() || state.find(") Z") != std::string::npos;
    }
    EXPECT_TRUE(gone) << "the grandchild " << grandchild << " is still running";

    // A child that closes its pipes and goes on running is waited for only until the limit.
    put("mode", "quiet-hang");
    EXPECT_EQ(unavailable(fake, milliseconds(300)), Unavailable::refused("it did not finish within 300 milliseconds"));
}

// Once the child has exited, what it left in its group is killed, and the pipes it held close
// with it; a process that left the group is out of reach, and the output is read one second more.
TEST_F(TelemetryChild, WhatTheChildLeavesInItsGroupEndsWithIt) {
    const fs::path calls = root_ / "calls";
    ScopedEnv record("FAKE_KORVALLE_CALLS", calls.c_str());
    put("mode", "linger");
    EXPECT_TRUE(run(fake, std::chrono::seconds(30)).ok());
    ASSERT_EQ(testing::grandchildren_in(calls).size(), 1u);
    EXPECT_TRUE(eventually([&] { return testing::has_ended(testing::grandchildren_in(calls)[0]); }));

    put("mode", "escape");
    EXPECT_TRUE(run(fake, std::chrono::seconds(30)).ok());
    ASSERT_EQ(testing::grandchildren_in(calls).size(), 2u);
    const pid_t escaped = testing::grandchildren_in(calls)[1];
    EXPECT_NE(proc_stat(escaped).find(") S"), std::string::npos) << "it left the group, and is out of reach";
    ::kill(escaped, SIGKILL);
}

TEST_F(TelemetryChild, LeavesNoDescriptorAndNoChild) {
    const int before = open_descriptors();
    for (const char* mode : {"document", "exit 1", "signal", "silent", "hang", "quiet-hang", "deep 10000"}) {
        put("mode", mode);
        (void)run(fake, milliseconds(300));  // only what it leaves behind counts
    }
    unavailable(root_.string() + "/none");
    EXPECT_EQ(open_descriptors(), before);
    // Every child was reaped: this process has none left.
    errno = 0;
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

}  // namespace
}  // namespace korvalle::telemetry
