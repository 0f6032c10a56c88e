// Whether a run's driver can be presumed at work: from the run's state, the driver's process
// when it ran on this machine, and the age of the last journal event.
#include "sdk/run/liveness.hpp"

#include "sdk/base/clock.hpp"
#include "sdk/base/files.hpp"
#include "sdk/base/text.hpp"
#include "sdk/run/launch_record.hpp"
#include "sdk/run/statuses.hpp"
#include "sdk/run/views.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <limits>

#include <signal.h>

namespace korvalle::views {

namespace {

// False only when the process is known to be gone.
bool process_alive(std::uint32_t pid) {
    if (pid > static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max())) return true;
    if (::kill(static_cast<pid_t>(pid), 0) == 0) return true;
    return errno != ESRCH;
}

}  // namespace

std::uint64_t now_ms() { return static_cast<std::uint64_t>(std::max<std::int64_t>(clock::now_ms(), 0)); }

std::string_view word(Liveness value) {
    switch (value) {
    case Liveness::Active: return "ACTIVE";
    case Liveness::DriverDead: return "DRIVER DEAD";
    case Liveness::Parked: return "PARKED";
    }
    return "ACTIVE";
}

std::uint64_t parked_after_seconds(std::optional<std::string_view> value) {
    value = text::usable_setting(value);
    if (!value) return default_parked_after_seconds;
    std::string_view digits = *value;
    if (digits.starts_with('+')) digits.remove_prefix(1);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) {
        return default_parked_after_seconds;
    }
    std::uint64_t seconds = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), seconds);
    if (error != std::errc() || end != digits.data() + digits.size() || seconds == 0) {
        return default_parked_after_seconds;
    }
    return seconds;
}

std::string host_name(std::optional<std::string_view> hostname, std::optional<std::string_view> computername) {
    if (auto name = text::usable_setting(hostname)) return std::string(*name);
    if (auto name = text::usable_setting(computername)) return std::string(*name);
    const files::ReadResult file = files::read_regular(std::filesystem::path("/etc/hostname"));
    if (file.bytes && text::is_utf8(*file.bytes)) {
        const std::string_view name = text::trim(*file.bytes);
        if (!name.empty()) return std::string(name);
    }
    return "localhost";
}

Liveness liveness(const LivenessFacts& facts, const LivenessInputs& inputs) {
    if (facts.stopped) return Liveness::DriverDead;
    if (inputs.this_host == facts.host) {
        if (facts.pid == 0 || !process_alive(facts.pid)) return Liveness::DriverDead;
    }
    if (!facts.last_event_at) return Liveness::Active;
    const std::uint64_t now = inputs.now_ms;
    const std::uint64_t age = now > *facts.last_event_at ? (now - *facts.last_event_at) / 1000 : 0;
    if (age <= inputs.parked_after_seconds || facts.in_round) return Liveness::Active;
    return Liveness::Parked;
}

Liveness liveness(const LaunchRecord& launch, const RunView& view, const LivenessInputs& inputs) {
    return liveness(LivenessFacts{launch.host, launch.pid, view.stopped, view.in_round, false, view.last_event_at},
                    inputs);
}

bool is_settled(const RunView& view) {
    if (view.in_round) return false;
    const StatusMap derived = derived_statuses(view);
    return !derived.empty() && std::all_of(derived.begin(), derived.end(), [](const auto& entry) {
        return entry.second == graph::NodeStatus::Done;
    });
}

LivenessFacts LivenessFacts::of(const RunView& view) {
    return LivenessFacts{view.launch.host, view.launch.pid, view.stopped, view.in_round, is_settled(view),
                         view.last_event_at};
}

std::string_view liveness_word(const LivenessFacts& facts, const LivenessInputs& inputs) {
    if (facts.settled) return "SETTLED";
    return word(liveness(facts, inputs));
}

std::string_view liveness_word(const RunView& view, const LivenessInputs& inputs) {
    return liveness_word(LivenessFacts::of(view), inputs);
}

}  // namespace korvalle::views
