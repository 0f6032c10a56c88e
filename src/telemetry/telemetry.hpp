// Telemetry client: runs the pipeline tool's `telemetry` command for one run (child.hpp) and
// turns what the child does into the run's checked telemetry (document.hpp), or into the reason
// why it is unavailable. This header holds what both sides share: the buckets and parties, the
// checked telemetry, the reasons, and the program to run.
//
// The tool prints one JSON document on standard output and exits 0; anything else is a refusal
// whose reason is the last line of its standard error. Nothing in the document is trusted: it
// is parsed, its schema version tested, decoded into typed records and checked for consistency.
#pragma once

#include "sdk/base/result.hpp"

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace korvalle::telemetry {

// The eight time buckets, in their fixed order.
enum class BucketName { Agent, Judge, Llmlint, Gate, PublicationWait, LockWait, Setup, Scheduling };
inline constexpr std::size_t bucket_count = 8;
// "agent", "judge", "llmlint", "gate", "publication_wait", "lock_wait", "setup", "scheduling".
std::string_view bucket_name(BucketName bucket);

// The parties that usage is reported for, in their fixed order.
enum class UsageParty { Agent, Judge, Llmlint, Total };
inline constexpr std::size_t party_count = 4;
// "agent", "judge", "llmlint", "total".
std::string_view party_name(UsageParty party);

// One party's usage as the document gives it; every field is optional.
struct WireUsage {
    std::optional<std::uint64_t> input;
    std::optional<std::uint64_t> output;
    std::optional<std::uint64_t> cache_read;
    std::optional<std::uint64_t> cache_write;
    std::optional<double> cost_usd;  // US dollars

    friend bool operator==(const WireUsage&, const WireUsage&) = default;
};

// One run's checked telemetry. Invariants: the saturating sum of the present bucket times is
// at most wall_ms; every usage entry reports at least one field; every present cost is finite
// and not below zero.
struct RunTelemetry {
    std::optional<std::uint64_t> agent_ms;
    std::optional<std::uint64_t> judge_ms;
    std::optional<std::uint64_t> llmlint_ms;
    std::optional<std::uint64_t> gate_ms;
    std::optional<std::uint64_t> publication_wait_ms;
    std::optional<std::uint64_t> lock_wait_ms;
    std::optional<std::uint64_t> setup_ms;
    std::optional<std::uint64_t> scheduling_ms;
    std::uint64_t wall_ms = 0;
    std::map<UsageParty, WireUsage> usage;  // party order

    friend bool operator==(const RunTelemetry&, const RunTelemetry&) = default;
};

// A cost that failed the money check. Shown as "{debug form}, which is not an amount of money"
// ("-1.0, which is not an amount of money").
struct NotAnAmount {
    double value;
    std::string to_string() const;
};

// Why a run has no telemetry. Each kind carries one text.
struct Unavailable {
    enum class Kind {
        CannotStart,  // the I/O error text: the child could not be started, read or waited for
        Refused,      // the last line of the child's standard error, trimmed, or "it said nothing"
        Unreadable,   // the reason why the document cannot be read
        Stopped,      // the server's stop ended the child, or kept it from starting: says nothing
                      // about the run, and is neither kept nor written
    };
    Kind kind;
    std::string text;

    static Unavailable cannot_start(std::string text) { return {Kind::CannotStart, std::move(text)}; }
    static Unavailable refused(std::string text) { return {Kind::Refused, std::move(text)}; }
    static Unavailable unreadable(std::string text) { return {Kind::Unreadable, std::move(text)}; }
    static Unavailable stopped() { return {Kind::Stopped, "it was stopped"}; }

    // The display form, naming the program that was run:
    //   CannotStart: "cannot start `{program} telemetry`: {text} — install the matching
    //                `korvalle`, or name one with KORVALLE_UI_KORVALLE_BIN"
    //   Refused:     "`{program} telemetry` refused: {text}"
    //   Unreadable:  "`{program} telemetry` answered a document this build cannot read: {text}"
    //   Stopped:     "`{program} telemetry` was stopped with the server"
    std::string message(std::string_view program) const;

    friend bool operator==(const Unavailable&, const Unavailable&) = default;
};

// The outcome of one lookup: the run's telemetry, or why there is none.
using Outcome = Result<RunTelemetry, Unavailable>;

// The program to run from the value of KORVALLE_UI_KORVALLE_BIN (none when unset): the value
// when it is valid UTF-8 and not empty (unchanged, not trimmed), else "korvalle" (looked up on
// PATH).
std::string telemetry_binary(std::optional<std::string_view> value);

}  // namespace korvalle::telemetry
