// Run liveness: settled runs, stopped runs, drivers on this machine, and the parked threshold.
#include "tests/run/run_support.hpp"

#include <ctime>

#include <sys/wait.h>
#include <unistd.h>

namespace korvalle {
namespace {

using graph::NodeStatus;
using testing::Env;

std::uint64_t now_ms() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000 + static_cast<std::uint64_t>(now.tv_nsec) / 1'000'000;
}

// A view on another machine, one node, last event age_ms ago.
views::RunView remote_view(std::optional<std::uint64_t> age_ms) {
    views::RunView view;
    view.launch.host = "some-other-machine";
    view.launch.pid = 1;
    plan::Node n;
    n.id = "a";
    view.graph.insert(n);
    if (age_ms) view.last_event_at = now_ms() - *age_ms;
    return view;
}

// A process id that is certainly gone: a child that has exited and been reaped.
pid_t dead_pid() {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

TEST(Liveness, SettledNeedsAllDoneOutsideARound) {
    Env env;
    env.set("HOSTNAME", "here");
    auto view = remote_view(std::nullopt);
    view.statuses["a"] = NodeStatus::Done;
    view.stopped = true;
    EXPECT_EQ(views::liveness_word(view), "SETTLED");
    view.in_round = true;
    EXPECT_EQ(views::liveness_word(view), "DRIVER DEAD");
    view.stopped = false;
    EXPECT_EQ(views::liveness_word(view), "ACTIVE");

    views::RunView empty;
    empty.launch.host = "elsewhere";
    EXPECT_EQ(views::liveness_word(empty), "ACTIVE");
}

TEST(Liveness, DriversOnThisMachineAreProbed) {
    Env env;
    env.set("HOSTNAME", "this-box");
    auto view = remote_view(1000);
    view.launch.host = "this-box";
    view.launch.pid = 0;
    EXPECT_EQ(views::liveness_word(view), "DRIVER DEAD");
    view.launch.pid = static_cast<std::uint32_t>(::getpid());
    EXPECT_EQ(views::liveness_word(view), "ACTIVE");
    view.launch.pid = static_cast<std::uint32_t>(dead_pid());
    EXPECT_EQ(views::liveness_word(view), "DRIVER DEAD");
    view.launch.pid = 2147483648u;  // beyond process ids: not probed
    EXPECT_EQ(views::liveness_word(view), "ACTIVE");
    view.launch.host = "This-Box";  // another machine: judged by time only
    view.launch.pid = 0;
    EXPECT_EQ(views::liveness_word(view), "ACTIVE");
    // A stopped run's driver is gone even while its process id still answers.
    view.launch.host = "this-box";
    view.launch.pid = static_cast<std::uint32_t>(::getpid());
    view.stopped = true;
    EXPECT_EQ(views::liveness_word(view), "DRIVER DEAD");

    // This machine's name as a caller read it for many runs stands for the environment's.
    view.stopped = false;
    view.launch.pid = static_cast<std::uint32_t>(dead_pid());
    const views::LivenessFacts facts = views::LivenessFacts::of(view);
    EXPECT_EQ(views::liveness_word(facts, "this-box"), "DRIVER DEAD");
    EXPECT_EQ(views::liveness_word(facts, "another-box"), "ACTIVE");
}

TEST(Liveness, ParkedAfterTheThreshold) {
    Env env;
    env.set("HOSTNAME", "here");
    env.set("KORVALLE_PARKED_AFTER_SECONDS", nullptr);
    // The age counts whole seconds: 1800.4 s is 1800, not beyond the threshold.
    EXPECT_EQ(views::liveness_word(remote_view(1'800'400)), "ACTIVE");
    EXPECT_EQ(views::liveness_word(remote_view(1'801'100)), "PARKED");
    auto in_round = remote_view(90'000'000);
    in_round.in_round = true;
    EXPECT_EQ(views::liveness_word(in_round), "ACTIVE");
    auto future = remote_view(0);
    future.last_event_at = now_ms() + 3'600'000;
    EXPECT_EQ(views::liveness_word(future), "ACTIVE");

    env.set("KORVALLE_PARKED_AFTER_SECONDS", "60");
    EXPECT_EQ(views::liveness_word(remote_view(62'000)), "PARKED");
    EXPECT_EQ(views::liveness_word(remote_view(30'000)), "ACTIVE");
}

TEST(Liveness, ThresholdText) {
    Env env;
    const std::vector<std::pair<const char*, std::uint64_t>> cases = {
        {"60", 60}, {"+60", 60}, {" 60", 1800}, {"60s", 1800}, {"-1", 1800}, {"0", 1800}, {"", 1800},
        {"+", 1800}, {"18446744073709551615", 18446744073709551615u}, {"18446744073709551616", 1800},
        {"\xff", 1800}};
    for (const auto& [text, expected] : cases) {
        env.set("KORVALLE_PARKED_AFTER_SECONDS", text);
        EXPECT_EQ(views::parked_after_seconds(), expected) << text;
    }
    env.set("KORVALLE_PARKED_AFTER_SECONDS", nullptr);
    EXPECT_EQ(views::parked_after_seconds(), 1800u);
}

TEST(Liveness, HostNameFallsThroughEmptyVariables) {
    Env env;
    env.set("HOSTNAME", "alpha");
    env.set("COMPUTERNAME", "beta");
    EXPECT_EQ(views::host_name(), "alpha");
    env.set("HOSTNAME", "");
    EXPECT_EQ(views::host_name(), "beta");
    env.set("COMPUTERNAME", nullptr);
    const std::string name = views::host_name();
    EXPECT_FALSE(name.empty());
    EXPECT_EQ(name.find('\n'), std::string::npos);
}

}  // namespace
}  // namespace korvalle
