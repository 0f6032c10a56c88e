// The timing block: where a run's time went, from the journal's turn durations and the
// pipeline tool's telemetry.
#include "src/payload.hpp"

#include "sdk/event.hpp"

#include <cmath>
#include <limits>

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

// The duration of a completed turn: payload "usage" object, its "duration" number.
std::optional<std::uint64_t> turn_duration_ms(const boost::json::object& payload) {
    const boost::json::value* usage = payload.if_contains("usage");
    if (!usage || !usage->is_object()) return std::nullopt;
    const boost::json::value* duration = usage->get_object().if_contains("duration");
    if (!duration) return std::nullopt;
    std::optional<double> seconds = as_number(*duration);
    if (!seconds) return std::nullopt;
    return seconds_to_ms(*seconds);
}

void add_to(std::optional<std::uint64_t>& sum, std::uint64_t ms) {
    sum = add_saturating(sum.value_or(0), ms);
}

boost::json::value optional_value(const std::optional<std::uint64_t>& value) {
    if (value) return *value;
    return nullptr;
}

// A bucket in whole seconds; null without telemetry or without the bucket.
boost::json::value bucket_seconds(const telemetry::RunTelemetry* telemetry,
                                  std::optional<std::uint64_t> telemetry::RunTelemetry::*bucket) {
    if (!telemetry || !(telemetry->*bucket)) return nullptr;
    return *(telemetry->*bucket) / 1000;
}

// part / wall as a float; 0.0 when the wall time is 0; null without telemetry or part.
boost::json::value share(const telemetry::RunTelemetry* telemetry, const std::optional<std::uint64_t>& part) {
    if (!telemetry || !part) return nullptr;
    if (telemetry->wall_ms == 0) return 0.0;
    double value = static_cast<double>(*part) / static_cast<double>(telemetry->wall_ms);
    if (!std::isfinite(value)) return nullptr;
    return value;
}

std::uint64_t bucket_sum(const telemetry::RunTelemetry& t) {
    std::uint64_t sum = 0;
    for (const auto& bucket : {t.agent_ms, t.judge_ms, t.llmlint_ms, t.gate_ms, t.publication_wait_ms,
                               t.lock_wait_ms, t.setup_ms, t.scheduling_ms})
        sum = add_saturating(sum, bucket.value_or(0));
    return sum;
}

}  // namespace

TurnDurations sum_turn_durations(const std::vector<event::Envelope>& envelopes) {
    TurnDurations sums;
    for (const event::Envelope& envelope : envelopes) {
        if (envelope.source != event::EventSource::Morvane) continue;
        if (envelope.kind == "turn-activity") continue;
        Party party = party_of(envelope).value_or(Party::Agent);
        if (party == Party::Llmlint) ++sums.llmlint_events;
        if (envelope.kind != "turn-completed") continue;
        std::optional<std::uint64_t> ms = turn_duration_ms(envelope.payload);
        if (!ms) continue;
        switch (party) {
        case Party::Agent: add_to(sums.agent_ms, *ms); break;
        case Party::Judge: add_to(sums.judge_ms, *ms); break;
        case Party::Llmlint: add_to(sums.llmlint_ms, *ms); break;
        }
    }
    return sums;
}

boost::json::object telemetry_breakdown(const telemetry::RunTelemetry* telemetry,
                                        const TurnDurations& durations) {
    using T = telemetry::RunTelemetry;
    boost::json::object block;
    block["agent_seconds"] = bucket_seconds(telemetry, &T::agent_ms);
    block["judge_seconds"] = bucket_seconds(telemetry, &T::judge_ms);
    block["llmlint_seconds"] = bucket_seconds(telemetry, &T::llmlint_ms);
    block["gate_seconds"] = bucket_seconds(telemetry, &T::gate_ms);
    block["publication_wait_seconds"] = bucket_seconds(telemetry, &T::publication_wait_ms);
    block["lock_wait_seconds"] = bucket_seconds(telemetry, &T::lock_wait_ms);
    block["setup_seconds"] = bucket_seconds(telemetry, &T::setup_ms);
    block["scheduling_seconds"] = bucket_seconds(telemetry, &T::scheduling_ms);
    if (telemetry)
        block["wall_seconds"] = telemetry->wall_ms / 1000;
    else
        block["wall_seconds"] = nullptr;
    block["agent_model_ms"] = optional_value(durations.agent_ms);
    block["judge_model_ms"] = optional_value(durations.judge_ms);
    block["llmlint_model_ms"] = optional_value(durations.llmlint_ms);
    block["tool_ms"] = optional_value(durations.tool_ms);
    block["idle_orchestration_ms"] = nullptr;
    if (telemetry) {
        std::uint64_t buckets = bucket_sum(*telemetry);
        block["unattributed_ms"] = buckets > telemetry->wall_ms ? 0 : telemetry->wall_ms - buckets;
        block["wall_ms"] = telemetry->wall_ms;
    } else {
        block["unattributed_ms"] = nullptr;
        block["wall_ms"] = nullptr;
    }
    boost::json::object fractions;
    fractions["agent_model"] = share(telemetry, durations.agent_ms);
    fractions["judge_model"] = share(telemetry, durations.judge_ms);
    fractions["llmlint_model"] = share(telemetry, durations.llmlint_ms);
    fractions["tool"] = share(telemetry, durations.tool_ms);
    fractions["idle_orchestration"] = nullptr;
    fractions["lock_wait"] = share(telemetry, telemetry ? telemetry->lock_wait_ms : std::nullopt);
    fractions["setup"] = share(telemetry, telemetry ? telemetry->setup_ms : std::nullopt);
    fractions["scheduling"] = share(telemetry, telemetry ? telemetry->scheduling_ms : std::nullopt);
    block["fractions"] = std::move(fractions);
    return block;
}

}  // namespace korvalle::payload
