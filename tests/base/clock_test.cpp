// Time texts: the strict journal timestamp, RFC 3339, HTTP dates.
#include "sdk/base/clock.hpp"

#include <gtest/gtest.h>

namespace clock_ = korvalle::clock;

TEST(JournalTimestamp, AcceptsOnlyTheExactForm) {
    const std::pair<const char*, std::int64_t> good[] = {
        {"1970-01-01T00:00:00.000Z", 0}, {"1970-01-01T00:00:01.500Z", 1500},
        {"2024-02-29T12:00:00.000Z", 1709208000000}, {"2000-02-29T00:00:00.000Z", 951782400000},
        {"2024-01-01T23:59:60.000Z", 1704153600000}};  // a leap second is the next day's first
    for (const auto& [text, ms] : good) EXPECT_EQ(clock_::parse_journal_ts(text), ms) << text;
    for (const char* bad : {"1969-12-31T23:59:59.999Z", "2023-02-29T00:00:00.000Z", "2024-13-01T00:00:00.000Z",
                            "2024-04-31T00:00:00.000Z", "2024-01-01T24:00:00.000Z", "1900-02-29T00:00:00.000Z",
                            "2024-01-01T00:00:00Z", "2024-01-01T00:00:00.0000Z", "2024-01-01T00:00:00.000+00:00",
                            "2024-01-01 00:00:00.000Z", "2024-01-01t00:00:00.000z", "2024-00-01T00:00:00.000Z",
                            "2024-01-00T00:00:00.000Z", "2024-01-01T00:60:00.000Z", "2024-01-01T00:00:61.000Z",
                            "+024-01-01T00:00:00.000Z", "2024-01-01T00:00:00.-00Z", ""}) {
        EXPECT_EQ(clock_::parse_journal_ts(bad), std::nullopt) << bad;
    }
}

TEST(Rfc3339, ReadsAnyOffsetAndFraction) {
    const std::pair<const char*, std::int64_t> good[] = {
        {"1970-01-01T00:00:00Z", 0}, {"1970-01-01T01:00:00+01:00", 0}, {"1969-12-31T23:00:00-01:00", 0},
        {"1970-01-01T00:00:00.5Z", 500000000}, {"1970-01-01t00:00:00.123456789123z", 123456789},
        {"1969-12-31T23:59:59.9Z", -100000000}};
    for (const auto& [text, ns] : good) EXPECT_EQ(clock_::parse_rfc3339_ns(text), ns) << text;
    for (const char* bad : {"1970-01-01T00:00:00", "1970-01-01T00:00:00.Z", "1970-01-01 00:00:00Z",
                            "1970-01-01T00:00:00+0100", "1970-02-30T00:00:00Z", "1970-01-01T00:00:00+24:00"}) {
        EXPECT_EQ(clock_::parse_rfc3339_ns(bad), std::nullopt) << bad;
    }
}

TEST(Rfc3339, FormatsWithTrimmedFraction) {
    EXPECT_EQ(clock_::format_rfc3339_ns(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(clock_::format_rfc3339_ns(1709208000123000000), "2024-02-29T12:00:00.123Z");
    EXPECT_EQ(clock_::format_rfc3339_ns(1500000001), "1970-01-01T00:00:01.500000001Z");
    EXPECT_EQ(clock_::format_rfc3339_ns(-1), "1969-12-31T23:59:59.999999999Z");
    auto now = clock_::now_rfc3339();
    auto back = clock_::parse_rfc3339_ns(now);
    ASSERT_TRUE(back) << now;
    EXPECT_EQ(clock_::format_rfc3339_ns(*back), now);
    EXPECT_LE(*back / 1000000, clock_::now_ms());
}

TEST(Rfc3339, MillisecondsCoverEveryFourDigitYear) {
    const std::pair<const char*, std::int64_t> good[] = {
        {"2026-01-02T05:04:05.678+02:00", 1767323045678}, {"1969-12-31T23:59:59.9995Z", 0},
        {"1969-12-31T23:59:59.4Z", -600}, {"9999-12-31T23:59:59.999Z", 253402300799999},
        {"0000-01-01T00:00:00+01:00", -62167222800000}};
    for (const auto& [text, ms] : good) EXPECT_EQ(clock_::parse_rfc3339_ms(text), ms) << text;
    EXPECT_EQ(clock_::parse_rfc3339_ms("2026-01-02 03:04:05Z"), std::nullopt);
}

TEST(UtcMilliseconds, ThreeFractionDigitsAndSignedYears) {
    EXPECT_EQ(clock_::format_utc_ms(1767323044178), "2026-01-02T03:04:04.178Z");
    EXPECT_EQ(clock_::format_utc_ms(-1), "1969-12-31T23:59:59.999Z");
    EXPECT_EQ(clock_::format_utc_ms(253402300799999), "9999-12-31T23:59:59.999Z");
    EXPECT_EQ(clock_::format_utc_ms(-62167222800000), "-0001-12-31T23:00:00.000Z");
    EXPECT_EQ(clock_::format_utc_ms(-377705116800000), "-9999-01-01T00:00:00.000Z");
    EXPECT_EQ(clock_::format_utc_ms(253402300800000), std::nullopt);
    EXPECT_EQ(clock_::format_utc_ms(-377705116800001), std::nullopt);
}

TEST(HttpDate, ImfFixdate) {
    EXPECT_EQ(clock_::http_date(784111777), "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_EQ(clock_::http_date().size(), 29u);
}
