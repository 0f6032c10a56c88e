// Whether a run's driver can be presumed at work: from the run's state, the driver's process
// when it ran on this machine, and the age of the last journal event. Times are milliseconds
// since the Unix epoch.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvalle::views {

struct LaunchRecord;
struct RunView;

enum class Liveness : std::uint8_t { Active, DriverDead, Parked };

// "ACTIVE", "DRIVER DEAD", "PARKED".
std::string_view word(Liveness value);

// A settled run: not in a round, and its derived statuses are not empty and all done.
bool is_settled(const RunView& view);

// What liveness reads of a run; the rest is the process table, read at every call, and the
// caller's LivenessInputs. Small enough to be kept where the view is not.
struct LivenessFacts {
    std::string host;  // the launch record's
    std::uint32_t pid = 0;
    bool stopped = false;
    bool in_round = false;
    bool settled = false;  // is_settled
    std::optional<std::uint64_t> last_event_at;

    static LivenessFacts of(const RunView& view);
};

// The parked threshold when none is configured.
inline constexpr std::uint64_t default_parked_after_seconds = 1800;

// What liveness reads besides a run and the process table, all given by its caller: the server
// reads this machine's name and the threshold once when it starts, and the clock when it judges.
struct LivenessInputs {
    std::string_view this_host;  // host_name; the caller keeps the text
    std::uint64_t parked_after_seconds = default_parked_after_seconds;
    std::uint64_t now_ms = 0;  // the moment judged at (now_ms)
};

// "SETTLED" for a settled run, else the word of liveness().
std::string_view liveness_word(const RunView& view, const LivenessInputs& inputs);
std::string_view liveness_word(const LivenessFacts& facts, const LivenessInputs& inputs);
Liveness liveness(const LaunchRecord& launch, const RunView& view, const LivenessInputs& inputs);
Liveness liveness(const LivenessFacts& facts, const LivenessInputs& inputs);

// The clock as liveness reads it: clock::now_ms, 0 before the epoch.
std::uint64_t now_ms();

// The parked threshold from the value of KORVALLE_PARKED_AFTER_SECONDS (none when unset):
// decimal digits after an optional '+', not 0 and within 64 bits; else 1800.
std::uint64_t parked_after_seconds(std::optional<std::string_view> value);

// This machine's name from the values of HOSTNAME and COMPUTERNAME (none when unset): the
// first that is UTF-8 and not empty, else "/etc/hostname" (trimmed), else "localhost".
std::string host_name(std::optional<std::string_view> hostname, std::optional<std::string_view> computername);

}  // namespace korvalle::views
