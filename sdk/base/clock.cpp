// Time texts. Calendar arithmetic is done by hand (proleptic Gregorian, UTC) so that nothing
// depends on the process's locale or time zone.
#include "sdk/base/clock.hpp"

#include <chrono>
#include <ctime>

namespace korvalle::clock {

namespace {

bool is_leap(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int month_length(std::int64_t y, int m) {
    static constexpr int lengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && is_leap(y) ? 29 : lengths[m - 1];
}

// Days from 1970-01-01 to y-m-d; negative before it.
std::int64_t days_from_civil(std::int64_t y, int m, int d) {
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t k = m > 2 ? m - 3 : m + 9;
    const std::int64_t doy = (153 * k + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

struct Civil {
    std::int64_t year;
    int month;
    int day;
};

Civil civil_from_days(std::int64_t z) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    return {yoe + era * 400 + (m <= 2 ? 1 : 0), m, d};
}

// Value of text[at, at+len) when it is all ASCII digits.
bool digits(std::string_view text, std::size_t at, std::size_t len, std::int64_t& out) {
    if (at + len > text.size() || len == 0) return false;
    std::int64_t v = 0;
    for (std::size_t i = at; i < at + len; ++i) {
        char c = text[i];
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    out = v;
    return true;
}

bool valid_date_time(std::int64_t y, std::int64_t mo, std::int64_t d, std::int64_t h, std::int64_t mi,
                     std::int64_t s) {
    return mo >= 1 && mo <= 12 && d >= 1 && d <= month_length(y, static_cast<int>(mo)) && h <= 23 && mi <= 59 &&
           s <= 60;
}

void put2(std::string& out, std::int64_t v) {
    out.push_back(static_cast<char>('0' + v / 10));
    out.push_back(static_cast<char>('0' + v % 10));
}

}  // namespace

std::optional<std::int64_t> parse_journal_ts(std::string_view t) {
    if (t.size() != 24) return std::nullopt;
    if (t[4] != '-' || t[7] != '-' || t[10] != 'T' || t[13] != ':' || t[16] != ':' || t[19] != '.' || t[23] != 'Z') {
        return std::nullopt;
    }
    std::int64_t y, mo, d, h, mi, s, ms;
    if (!digits(t, 0, 4, y) || !digits(t, 5, 2, mo) || !digits(t, 8, 2, d) || !digits(t, 11, 2, h) ||
        !digits(t, 14, 2, mi) || !digits(t, 17, 2, s) || !digits(t, 20, 3, ms)) {
        return std::nullopt;
    }
    if (!valid_date_time(y, mo, d, h, mi, s)) return std::nullopt;
    // A leap second (60) counts as second 0 of the next minute.
    std::int64_t seconds = days_from_civil(y, static_cast<int>(mo), static_cast<int>(d)) * 86400 + h * 3600 +
                           mi * 60 + s;
    std::int64_t result = seconds * 1000 + ms;
    if (result < 0) return std::nullopt;
    return result;
}

namespace {

// An RFC 3339 date-time as whole seconds since the epoch and the nanoseconds past them.
struct Instant {
    std::int64_t seconds;
    std::int64_t nanos;
};

std::optional<Instant> parse_rfc3339(std::string_view t) {
    // date-time = full-date "T" full-time; the letters T and Z may be lower case.
    if (t.size() < 20) return std::nullopt;
    if (t[4] != '-' || t[7] != '-' || (t[10] != 'T' && t[10] != 't') || t[13] != ':' || t[16] != ':') {
        return std::nullopt;
    }
    std::int64_t y, mo, d, h, mi, s;
    if (!digits(t, 0, 4, y) || !digits(t, 5, 2, mo) || !digits(t, 8, 2, d) || !digits(t, 11, 2, h) ||
        !digits(t, 14, 2, mi) || !digits(t, 17, 2, s)) {
        return std::nullopt;
    }
    if (!valid_date_time(y, mo, d, h, mi, s)) return std::nullopt;
    std::size_t i = 19;
    std::int64_t nanos = 0;
    if (t[i] == '.') {
        ++i;
        std::size_t start = i;
        int kept = 0;
        for (; i < t.size() && t[i] >= '0' && t[i] <= '9'; ++i) {
            if (kept < 9) {
                nanos = nanos * 10 + (t[i] - '0');
                ++kept;
            }
        }
        if (i == start) return std::nullopt;
        for (; kept < 9; ++kept) nanos *= 10;
    }
    if (i >= t.size()) return std::nullopt;
    std::int64_t offset = 0;
    if (t[i] == 'Z' || t[i] == 'z') {
        ++i;
    } else if (t[i] == '+' || t[i] == '-') {
        std::int64_t oh, om;
        if (t.size() != i + 6 || t[i + 3] != ':' || !digits(t, i + 1, 2, oh) || !digits(t, i + 4, 2, om) ||
            oh > 23 || om > 59) {
            return std::nullopt;
        }
        offset = (oh * 3600 + om * 60) * (t[i] == '-' ? -1 : 1);
        i += 6;
    } else {
        return std::nullopt;
    }
    if (i != t.size()) return std::nullopt;
    if (s == 60) {
        // A leap second reads as the last instant of the second before it.
        s = 59;
        nanos = 999'999'999;
    }
    return Instant{days_from_civil(y, static_cast<int>(mo), static_cast<int>(d)) * 86400 + h * 3600 + mi * 60 + s -
                       offset,
                   nanos};
}

}  // namespace

std::optional<std::int64_t> parse_rfc3339_ns(std::string_view text) {
    auto instant = parse_rfc3339(text);
    if (!instant) return std::nullopt;
    // Nanoseconds since the epoch fit in 64 bits for about 292 years either side of 1970.
    constexpr std::int64_t limit = 9'223'372'035;
    if (instant->seconds > limit || instant->seconds < -limit) return std::nullopt;
    return instant->seconds * 1'000'000'000 + instant->nanos;
}

std::optional<std::int64_t> parse_rfc3339_ms(std::string_view text) {
    auto instant = parse_rfc3339(text);
    if (!instant) return std::nullopt;
    // Every year from 0000 to 9999 fits. The nanosecond count is divided with truncation toward
    // zero, so an instant before 1970 with a fraction of a second rounds toward 1970.
    auto [seconds, nanos] = *instant;
    if (seconds >= 0 || nanos == 0) return seconds * 1000 + nanos / 1'000'000;
    return (seconds + 1) * 1000 - (1'000'000'000 - nanos) / 1'000'000;
}

std::optional<std::string> format_utc_ms(std::int64_t ms) {
    std::int64_t days = ms / 86'400'000;
    std::int64_t rem = ms % 86'400'000;
    if (rem < 0) {
        rem += 86'400'000;
        days -= 1;
    }
    const Civil c = civil_from_days(days);
    if (c.year < -9999 || c.year > 9999) return std::nullopt;
    std::string out;
    out.reserve(25);
    if (c.year < 0) out.push_back('-');
    const std::int64_t year = c.year < 0 ? -c.year : c.year;
    put2(out, year / 100);
    put2(out, year % 100);
    out.push_back('-');
    put2(out, c.month);
    out.push_back('-');
    put2(out, c.day);
    out.push_back('T');
    put2(out, rem / 3'600'000);
    out.push_back(':');
    put2(out, rem / 60'000 % 60);
    out.push_back(':');
    put2(out, rem / 1000 % 60);
    out.push_back('.');
    out.push_back(static_cast<char>('0' + rem % 1000 / 100));
    put2(out, rem % 100);
    out.push_back('Z');
    return out;
}

std::string format_rfc3339_ns(std::int64_t ns) {
    std::int64_t seconds = ns / 1'000'000'000;
    std::int64_t nanos = ns % 1'000'000'000;
    if (nanos < 0) {
        nanos += 1'000'000'000;
        seconds -= 1;
    }
    std::int64_t days = seconds / 86400;
    std::int64_t rem = seconds % 86400;
    if (rem < 0) {
        rem += 86400;
        days -= 1;
    }
    Civil c = civil_from_days(days);
    if (c.year < 0 || c.year > 9999) return "1970-01-01T00:00:00Z";
    std::string out;
    out.reserve(30);
    put2(out, c.year / 100);
    put2(out, c.year % 100);
    out.push_back('-');
    put2(out, c.month);
    out.push_back('-');
    put2(out, c.day);
    out.push_back('T');
    put2(out, rem / 3600);
    out.push_back(':');
    put2(out, rem / 60 % 60);
    out.push_back(':');
    put2(out, rem % 60);
    if (nanos != 0) {
        char frac[10];
        for (int k = 8; k >= 0; --k) {
            frac[k] = static_cast<char>('0' + nanos % 10);
            nanos /= 10;
        }
        int len = 9;
        while (frac[len - 1] == '0') --len;
        out.push_back('.');
        out.append(frac, static_cast<std::size_t>(len));
    }
    out.push_back('Z');
    return out;
}

std::string now_rfc3339() {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    return format_rfc3339_ns(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count());
}

std::int64_t now_ms() {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
}

std::string http_date() { return http_date(now_ms() / 1000); }

std::string http_date(std::int64_t seconds) {
    static constexpr const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::int64_t day_count = seconds / 86400;
    std::int64_t rem = seconds % 86400;
    Civil c = civil_from_days(day_count);
    // 1970-01-01 was a Thursday.
    int weekday = static_cast<int>(((day_count % 7) + 11) % 7);
    std::string out = days[weekday];
    out += ", ";
    put2(out, c.day);
    out += ' ';
    out += months[c.month - 1];
    out += ' ';
    out += std::to_string(c.year);
    out += ' ';
    put2(out, rem / 3600);
    out += ':';
    put2(out, rem / 60 % 60);
    out += ':';
    put2(out, rem % 60);
    out += " GMT";
    return out;
}

}  // namespace korvalle::clock
