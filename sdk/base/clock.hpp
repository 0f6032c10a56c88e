// Time texts: the strict journal timestamp, RFC 3339 in full, the current time, HTTP dates.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvalle::clock {

// Milliseconds since the epoch of a 24-byte "YYYY-MM-DDTHH:MM:SS.mmmZ" text, else nullopt.
std::optional<std::int64_t> parse_journal_ts(std::string_view text);

// Any RFC 3339 date-time (any offset, any number of fraction digits), as nanoseconds since
// the epoch, else nullopt.
std::optional<std::int64_t> parse_rfc3339_ns(std::string_view text);
// The same reading in whole milliseconds, truncated toward zero, for every year 0000 to 9999.
std::optional<std::int64_t> parse_rfc3339_ms(std::string_view text);

// Current UTC time as RFC 3339 ending in "Z", the fraction trimmed of trailing zeros.
std::string now_rfc3339();
// Same form for a given instant in nanoseconds since the epoch.
std::string format_rfc3339_ns(std::int64_t ns);
// "YYYY-MM-DDTHH:MM:SS.mmmZ" in UTC for milliseconds since the epoch, with a "-" before the
// year for years before 1 (years -9999 to 9999); nullopt outside those years.
std::optional<std::string> format_utc_ms(std::int64_t ms);

// Current time in milliseconds since the epoch.
std::int64_t now_ms();

// IMF-fixdate for the HTTP Date header: "Sun, 06 Nov 1994 08:49:37 GMT".
std::string http_date();
// Same form for a given instant in seconds since the epoch.
std::string http_date(std::int64_t unix_seconds);

}  // namespace korvalle::clock
