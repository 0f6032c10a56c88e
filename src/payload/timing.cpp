// The timing block: where a run's time went, from the journal's turn durations and the
// pipeline tool's telemetry.
#include "src/payload/timing.hpp"

#include "sdk/journal/event.hpp"

#include <array>
#include <cmath>
#include <limits>
#include <string_view>
#include <utility>

namespace korvalle::payload {

namespace {

constexpr std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();

// Crafted journals can carry durations that saturate on their own; a sum must not wrap.
std::uint64_t add_saturating(std::uint64_t a, std::uint64_t b) {
    std::uint64_t sum = 0;
    return __builtin_add_overflow(a, b, &sum) ? u64_max : sum;
}

// A JSON number of any kind as a 64-bit float.
std::optional<double> as_number(const boost::json::value& value) {
    switch (value.kind()) {
    case boost::json::kind::double_: return value.get_double();
    case boost::json::kind::int64: return static_cast<double>(value.get_int64());
    case boost::json::kind::uint64: return static_cast<double>(value.get_uint64());
    default: return std::nullopt;
    }
}

// Whole milliseconds of a non-negative finite number of seconds, truncated; a product beyond
// the 64-bit range gives the largest value.
std::optional<std::uint64_t> seconds_to_ms(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0) return std::nullopt;
    double ms = seconds * 1000.0;
    if (ms >= 18446744073709551616.0) return u64_max;
    return static_cast<std::uint64_t>(ms);
}

void add_to(std::optional<std::uint64_t>& sum, std::uint64_t ms) {
    sum = add_saturating(sum.value_or(0), ms);
}

boost::json::value optional_value(const std::optional<std::uint64_t>& value) {
    if (value) return *value;
    return nullptr;
}

using Telemetry = telemetry::RunTelemetry;
using Bucket = std::optional<std::uint64_t> Telemetry::*;

// The eight buckets, in the order of their keys in the block.
constexpr std::array<std::pair<std::string_view, Bucket>, 8> buckets{{
    {"agent_seconds", &Telemetry::agent_ms},
    {"judge_seconds", &Telemetry::judge_ms},
    {"llmlint_seconds", &Telemetry::llmlint_ms},
    {"gate_seconds", &Telemetry::gate_ms},
    {"publication_wait_seconds", &Telemetry::publication_wait_ms},
    {"lock_wait_seconds", &Telemetry::lock_wait_ms},
    {"setup_seconds", &Telemetry::setup_ms},
    {"scheduling_seconds", &Telemetry::scheduling_ms},
}};

// Without telemetry every telemetry value is none.
std::optional<std::uint64_t> bucket_ms(const Telemetry* telemetry, Bucket bucket) {
    return telemetry ? telemetry->*bucket : std::nullopt;
}

std::optional<std::uint64_t> wall_ms(const Telemetry* telemetry) {
    if (!telemetry) return std::nullopt;
    return telemetry->wall_ms;
}

// Whole seconds, truncated.
std::optional<std::uint64_t> seconds(std::optional<std::uint64_t> ms) {
    if (!ms) return std::nullopt;
    return *ms / 1000;
}

// The wall time no bucket accounts for; absent buckets count 0, and buckets that together
// exceed the wall time leave nothing.
std::optional<std::uint64_t> unattributed_ms(const Telemetry* telemetry) {
    if (!telemetry) return std::nullopt;
    std::uint64_t sum = 0;
    for (const auto& [key, bucket] : buckets)
        sum = add_saturating(sum, (telemetry->*bucket).value_or(0));
    return sum > telemetry->wall_ms ? 0 : telemetry->wall_ms - sum;
}

// part / wall as a float, unclamped; 0.0 when the wall time is 0; null without telemetry or
// part.
boost::json::value share(const Telemetry* telemetry, std::optional<std::uint64_t> part) {
    if (!telemetry || !part) return nullptr;
    if (telemetry->wall_ms == 0) return 0.0;
    double value = static_cast<double>(*part) / static_cast<double>(telemetry->wall_ms);
    if (!std::isfinite(value)) return nullptr;
    return value;
}

boost::json::object fractions(const Telemetry* telemetry, const TurnDurations& durations) {
    boost::json::object shares;
    shares["agent_model"] = share(telemetry, durations.agent_ms);
    shares["judge_model"] = share(telemetry, durations.judge_ms);
    shares["llmlint_model"] = share(telemetry, durations.llmlint_ms);
    shares["tool"] = nullptr;  // tool time is never measured
    shares["idle_orchestration"] = nullptr;
    shares["lock_wait"] = share(telemetry, bucket_ms(telemetry, &Telemetry::lock_wait_ms));
    shares["setup"] = share(telemetry, bucket_ms(telemetry, &Telemetry::setup_ms));
    shares["scheduling"] = share(telemetry, bucket_ms(telemetry, &Telemetry::scheduling_ms));
    return shares;
}

}  // namespace

namespace {

// A turn's duration from the "duration" member of its usage object.
std::optional<std::uint64_t> duration_ms(const boost::json::value* duration) {
    if (!duration) return std::nullopt;
    std::optional<double> seconds = as_number(*duration);
    if (!seconds) return std::nullopt;
    return seconds_to_ms(*seconds);
}

}  // namespace

std::optional<std::uint64_t> turn_duration_ms(const boost::json::object& payload) {
    const boost::json::value* usage = payload.if_contains("usage");
    if (!usage || !usage->is_object()) return std::nullopt;
    return duration_ms(usage->get_object().if_contains("duration"));
}

std::optional<std::uint64_t> turn_duration_ms(const event::ObjectText& payload) {
    std::string_view usage;
    const std::string_view key = "usage";
    event::ObjectText::member_texts(payload.text(), {&key, 1}, {&usage, 1});
    return usage_duration_ms(usage);
}

std::optional<std::uint64_t> usage_duration_ms(std::string_view usage) {
    // Only the duration is read: the usage object is never built.
    if (usage.empty() || usage.front() != '{') return std::nullopt;
    std::string_view duration;
    const std::string_view key = "duration";
    event::ObjectText::member_texts(usage, {&key, 1}, {&duration, 1});
    const std::optional<boost::json::value> seconds = event::ObjectText::value_of(duration);
    return duration_ms(seconds ? &*seconds : nullptr);
}

void add_turn(TurnDurations& tally, const event::Envelope& envelope) {
    if (envelope.source != event::EventSource::Morvane) return;
    if (envelope.kind == "turn-activity") return;
    const Party party = party_of(envelope).value_or(Party::Agent);
    add_turn(tally, party, envelope.kind == "turn-completed" ? turn_duration_ms(envelope.payload) : std::nullopt);
}

void add_turn(TurnDurations& tally, Party party, std::optional<std::uint64_t> completed_ms) {
    if (party == Party::Llmlint) ++tally.llmlint_events;
    if (!completed_ms) return;
    switch (party) {
    case Party::Agent: add_to(tally.agent_ms, *completed_ms); break;
    case Party::Judge: add_to(tally.judge_ms, *completed_ms); break;
    case Party::Llmlint: add_to(tally.llmlint_ms, *completed_ms); break;
    }
}

boost::json::object telemetry_breakdown(const telemetry::RunTelemetry* telemetry,
                                        const TurnDurations& durations) {
    boost::json::object block;
    for (const auto& [key, bucket] : buckets)
        block[key] = optional_value(seconds(bucket_ms(telemetry, bucket)));
    block["wall_seconds"] = optional_value(seconds(wall_ms(telemetry)));
    // The journal's own sums show whether or not telemetry is available.
    block["agent_model_ms"] = optional_value(durations.agent_ms);
    block["judge_model_ms"] = optional_value(durations.judge_ms);
    block["llmlint_model_ms"] = optional_value(durations.llmlint_ms);
    block["tool_ms"] = optional_value(durations.tool_ms);
    block["idle_orchestration_ms"] = nullptr;
    block["unattributed_ms"] = optional_value(unattributed_ms(telemetry));
    block["wall_ms"] = optional_value(wall_ms(telemetry));
    block["fractions"] = fractions(telemetry, durations);
    return block;
}

}  // namespace korvalle::payload
