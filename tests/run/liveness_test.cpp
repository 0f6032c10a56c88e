// Run liveness: settled runs, stopped runs, drivers on this machine, and the parked threshold.
#include "sdk/run/liveness.hpp"

#include "tests/run/run_support.hpp"

#include <sys/wait.h>
#include <unistd.h>

namespace korvalle {
namespace {

using graph::NodeStatus;

// The moment judged at: liveness reads no clock of its own.
constexpr std::uint64_t now_ms = 1'772'442'978'123;

// What a machine named this_host judges by, now, with the threshold given.
views::LivenessInputs at(std::string_view this_host,
                         std::uint64_t parked_after_seconds = views::default_parked_after_seconds) {
    return {.this_host = this_host, .parked_after_seconds = parked_after_seconds, .now_ms = now_ms};
}

// A view on another machine, one node, last event age_ms ago.
views::RunView remote_view(std::optional<std::uint64_t> age_ms) {
    views::RunView view;
    view.launch.host = "some-other-machine";
    view.launch.pid = 1;
    plan::Node n;
    n.id = "a";
    view.graph.insert(n);
    if (age_ms) view.last_event_at = now_ms - *age_ms;
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
    auto view = remote_view(std::nullopt);
    view.statuses["a"] = NodeStatus::Done;
    view.stopped = true;
    EXPECT_EQ(views::liveness_word(view, at("here")), "SETTLED");
    view.in_round = true;
    EXPECT_EQ(views::liveness_word(view, at("here")), "DRIVER DEAD");
    view.stopped = false;
    EXPECT_EQ(views::liveness_word(view, at("here")), "ACTIVE");

    views::RunView empty;
    empty.launch.host = "elsewhere";
    EXPECT_EQ(views::liveness_word(empty, at("here")), "ACTIVE");
}

TEST(Liveness, DriversOnThisMachineAreProbed) {
    const views::LivenessInputs here = at("this-box");
    auto view = remote_view(1000);
    view.launch.host = "this-box";
    view.launch.pid = 0;
    EXPECT_EQ(views::liveness_word(view, here), "DRIVER DEAD");
    view.launch.pid = static_cast<std::uint32_t>(::getpid());
    EXPECT_EQ(views::liveness_word(view, here), "ACTIVE");
    view.launch.pid = static_cast<std::uint32_t>(dead_pid());
    EXPECT_EQ(views::liveness_word(view, here), "DRIVER DEAD");
    view.launch.pid = 2147483648u;  // beyond process ids: not probed
    EXPECT_EQ(views::liveness_word(view, here), "ACTIVE");
    view.launch.host = "This-Box";  // another machine: judged by time only
    view.launch.pid = 0;
    EXPECT_EQ(views::liveness_word(view, here), "ACTIVE");
    // A stopped run's driver is gone even while its process id still answers.
    view.launch.host = "this-box";
    view.launch.pid = static_cast<std::uint32_t>(::getpid());
    view.stopped = true;
    EXPECT_EQ(views::liveness_word(view, here), "DRIVER DEAD");

    // The facts kept apart from the view are judged the same, by whichever machine judges.
    view.stopped = false;
    view.launch.pid = static_cast<std::uint32_t>(dead_pid());
    const views::LivenessFacts facts = views::LivenessFacts::of(view);
    EXPECT_EQ(views::liveness_word(facts, here), "DRIVER DEAD");
    EXPECT_EQ(views::liveness_word(facts, at("another-box")), "ACTIVE");
}

TEST(Liveness, ParkedAfterTheThreshold) {
    // The age counts whole seconds: 1800.4 s is 1800, not beyond the threshold.
    EXPECT_EQ(views::liveness_word(remote_view(1'800'400), at("here")), "ACTIVE");
    EXPECT_EQ(views::liveness_word(remote_view(1'801'100), at("here")), "PARKED");
    auto in_round = remote_view(90'000'000);
    in_round.in_round = true;
    EXPECT_EQ(views::liveness_word(in_round, at("here")), "ACTIVE");
    auto future = remote_view(0);
    future.last_event_at = now_ms + 3'600'000;
    EXPECT_EQ(views::liveness_word(future, at("here")), "ACTIVE");

    EXPECT_EQ(views::liveness_word(remote_view(62'000), at("here", 60)), "PARKED");
    EXPECT_EQ(views::liveness_word(remote_view(30'000), at("here", 60)), "ACTIVE");
    // The same run, judged later.
    auto view = remote_view(30'000);
    EXPECT_EQ(views::liveness_word(view, {.this_host = "here", .parked_after_seconds = 60, .now_ms = now_ms + 31'000}),
              "PARKED");
}

TEST(Liveness, ThresholdText) {
    const std::vector<std::pair<std::optional<std::string_view>, std::uint64_t>> cases = {
        {"60", 60}, {"+60", 60}, {" 60", 1800}, {"60s", 1800}, {"-1", 1800}, {"0", 1800}, {"", 1800},
        {"+", 1800}, {"18446744073709551615", 18446744073709551615u}, {"18446744073709551616", 1800},
        {"\xff", 1800}, {std::nullopt, 1800}};
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(views::parked_after_seconds(text), expected) << text.value_or("unset");
    }
}

TEST(Liveness, HostNameFallsThroughEmptyVariables) {
    EXPECT_EQ(views::host_name("alpha", "beta"), "alpha");
    EXPECT_EQ(views::host_name("", "beta"), "beta");
    EXPECT_EQ(views::host_name("\xff", "beta"), "beta");
    EXPECT_EQ(views::host_name(std::nullopt, "beta"), "beta");
    // Then the machine's own file, else "localhost".
    const std::string name = views::host_name("", std::nullopt);
    EXPECT_FALSE(name.empty());
    EXPECT_EQ(name.find('\n'), std::string::npos);
    EXPECT_EQ(views::host_name(std::nullopt, ""), name);
}

}  // namespace
}  // namespace korvalle
