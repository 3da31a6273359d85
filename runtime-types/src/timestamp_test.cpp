#include "timestamp.hpp"

#include <ctime>
#include <limits>
#include <random>

#include <gtest/gtest.h>

namespace quenlith_types {
namespace {

constexpr std::int64_t k2024May1At1230 = 1'714'566'600;
constexpr std::int64_t k2016LastSecond = 1'483'228'799;  // 2016-12-31T23:59:59Z
constexpr std::int64_t kYear1 = -62'135'596'800;         // 0001-01-01T00:00:00Z
constexpr std::int64_t kYear10000 = 253'402'300'800;      // 10000-01-01T00:00:00Z
constexpr std::int64_t kYear0 = kYear1 - 366 * 86'400;   // 0000-01-01, a leap year
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

TEST(SystemNow, ReadsTheRealTimeClock) {
    UtcDateTime now;
    ASSERT_TRUE(system_now(now));
    EXPECT_LT(now.nanos, 1'000'000'000u);
    EXPECT_LE(std::abs(now.seconds - static_cast<std::int64_t>(std::time(nullptr))), 2);
}

struct Formatted {
    UtcDateTime instant;
    std::string_view text;
};

const Formatted kFormatted[] = {
    {{0, 0}, "1970-01-01T00:00:00+00:00"},
    {{k2024May1At1230, 0}, "2024-05-01T12:30:00+00:00"},
    {{k2024May1At1230, 250'000'000}, "2024-05-01T12:30:00.250+00:00"},
    {{k2024May1At1230, 123'456'000}, "2024-05-01T12:30:00.123456+00:00"},
    {{k2024May1At1230, 123'456'789}, "2024-05-01T12:30:00.123456789+00:00"},
    {{k2024May1At1230, 1'000'000}, "2024-05-01T12:30:00.001+00:00"},
    {{k2024May1At1230, 1'000}, "2024-05-01T12:30:00.000001+00:00"},
    {{k2024May1At1230, 1}, "2024-05-01T12:30:00.000000001+00:00"},
    {{k2016LastSecond, 1'000'000'000}, "2016-12-31T23:59:60+00:00"},
    {{k2016LastSecond, 1'500'000'000}, "2016-12-31T23:59:60.500+00:00"},
    {{k2016LastSecond, 1'999'999'999}, "2016-12-31T23:59:60.999999999+00:00"},
    {{-1, 0}, "1969-12-31T23:59:59+00:00"},
    {{-1, 999'999'999}, "1969-12-31T23:59:59.999999999+00:00"},
    {{-86'400, 0}, "1969-12-31T00:00:00+00:00"},
    {{951'782'400, 0}, "2000-02-29T00:00:00+00:00"},
    {{kYear1, 0}, "0001-01-01T00:00:00+00:00"},
    {{kYear0, 0}, "0000-01-01T00:00:00+00:00"},
    {{kYear0 - 60, 0}, "-0001-12-31T23:59:00+00:00"},
    {{kYear10000 - 1, 0}, "9999-12-31T23:59:59+00:00"},
    {{kYear10000 + 59, 0}, "+10000-01-01T00:00:59+00:00"},
    {{kMax, 0}, "+292277026596-12-04T15:30:07+00:00"},
    {{kMin, 0}, "-292277022657-01-27T08:29:52+00:00"},
};

TEST(FormatRfc3339, WritesTheStoredForm) {
    for (const auto& c : kFormatted) {
        EXPECT_EQ(format_rfc3339(c.instant), c.text) << c.instant.seconds << "s " << c.instant.nanos;
    }
}

TEST(ParseRfc3339, RoundTripsEveryFormattedInstant) {
    for (const auto& c : kFormatted) {
        const auto parsed = parse_rfc3339(c.text, YearForm::FourDigitsOrSigned);
        ASSERT_TRUE(parsed.ok()) << c.text << ": " << parsed.error();
        EXPECT_EQ(parsed.value(), c.instant) << c.text;
    }
}

TEST(ParseRfc3339, RoundTripsSeededInstants) {
    std::mt19937_64 rng(2024);
    for (int n = 0; n < 20000; ++n) {
        UtcDateTime instant;
        // Alternately anywhere in 64 bits and within a few centuries of 1970.
        instant.seconds = n % 2 == 0 ? static_cast<std::int64_t>(rng())
                                     : static_cast<std::int64_t>(rng() % 20'000'000'000) - 10'000'000'000;
        // Fractions of 9, 6, 3 and no digits in turn.
        constexpr std::uint32_t kUnits[] = {1, 1'000, 1'000'000, 1'000'000'000};
        const std::uint32_t unit = kUnits[n % 4];
        instant.nanos = static_cast<std::uint32_t>(rng() % 1'000'000'000) / unit * unit;
        if (n % 10 == 0 && instant.seconds < kMax - 60) {  // a leap second
            instant.seconds += 59 - ((instant.seconds % 60) + 60) % 60;
            instant.nanos += 1'000'000'000;
        }
        const std::string text = format_rfc3339(instant);
        const auto parsed = parse_rfc3339(text, YearForm::FourDigitsOrSigned);
        ASSERT_TRUE(parsed.ok()) << text << ": " << parsed.error();
        EXPECT_EQ(parsed.value(), instant) << text;
    }
}

struct Parsed {
    std::string_view text;
    YearForm years;
    std::string_view utc;  // the instant, formatted
};

TEST(ParseRfc3339, ReadsAndAppliesTheOffset) {
    constexpr auto four = YearForm::FourDigits;
    constexpr auto any = YearForm::FourDigitsOrSigned;
    const Parsed cases[] = {
        {"2024-01-15T10:30:00Z", four, "2024-01-15T10:30:00+00:00"},
        {"2024-01-15t10:30:00z", four, "2024-01-15T10:30:00+00:00"},
        {"2024-01-15 10:30:00.5z", four, "2024-01-15T10:30:00.500+00:00"},
        {"2024-01-15T12:30:00+02:00", four, "2024-01-15T10:30:00+00:00"},
        {"2024-01-15T10:30:00-05:30", four, "2024-01-15T16:00:00+00:00"},
        {"2024-01-15T10:30:00\xE2\x88\x92" "05:30", four, "2024-01-15T16:00:00+00:00"},
        {"2024-01-15T00:00:00+23:59", four, "2024-01-14T00:01:00+00:00"},
        {"2024-01-15T10:30:00.1234567891Z", four, "2024-01-15T10:30:00.123456789+00:00"},
        {"2024-01-15T10:30:00.000000000999Z", four, "2024-01-15T10:30:00+00:00"},
        {"2024-02-29T00:00:00Z", four, "2024-02-29T00:00:00+00:00"},
        {"2016-12-31T23:59:60Z", four, "2016-12-31T23:59:60+00:00"},
        {"2017-01-01T00:59:60.25+01:00", four, "2016-12-31T23:59:60.250+00:00"},
        {"9999-12-31T23:59:59-00:01", four, "+10000-01-01T00:00:59+00:00"},
        {"0000-01-01T00:00:00+00:01", four, "-0001-12-31T23:59:00+00:00"},
        {"+2024-01-15T10:30:00Z", any, "2024-01-15T10:30:00+00:00"},
        {"-0000-01-01T00:00:00Z", any, "0000-01-01T00:00:00+00:00"},
        {"+0010000-01-01T00:00:00Z", any, "+10000-01-01T00:00:00+00:00"},
        {"-0004-02-29T00:00:00Z", any, "-0004-02-29T00:00:00+00:00"},
        // Days whose start lies outside 64 bits still hold instants inside.
        {"+292277026596-12-05T00:00:00+23:59", any, "+292277026596-12-04T00:01:00+00:00"},
        {"-292277022657-01-26T23:59:59-23:59", any, "-292277022657-01-27T23:58:59+00:00"},
    };
    for (const auto& c : cases) {
        const auto parsed = parse_rfc3339(c.text, c.years);
        ASSERT_TRUE(parsed.ok()) << c.text << ": " << parsed.error();
        EXPECT_EQ(format_rfc3339(parsed.value()), c.utc) << c.text;
    }
}

struct Refused {
    std::string_view text;
    std::string_view message;
    YearForm years = YearForm::FourDigits;
};

TEST(ParseRfc3339, ReportsTheFirstProblem) {
    constexpr std::string_view premature = "premature end of input";
    constexpr std::string_view invalid = "input contains invalid characters";
    constexpr std::string_view range = "input is out of range";
    constexpr std::string_view trailing = "trailing input";
    constexpr auto any = YearForm::FourDigitsOrSigned;
    const Refused cases[] = {
        // Too short for any valid text, whatever the characters.
        {"", premature},
        {"xx", premature},
        {"2024-01-15T10:30:0", premature},
        // The text ends where the grammar wants more.
        {"2024-01-15T10:30:00", premature},
        {"2024-01-15T10:30:00.", premature},
        {"2024-01-15T10:30:00+02", premature},
        {"2024-01-15T10:30:00+02:0", premature},
        {"2024-01-15T10:30:00\xE2\x88", premature},
        {"+10000-01-01T00:00:0", premature, any},
        {"+1000", premature, any},
        // A character the grammar does not allow there.
        {"2024-01-15T10:30:0Z", invalid},
        {"2024/01/15T10:30:00Z", invalid},
        {"2024-1-15T10:30:00Z", invalid},
        {"2024-01-15X10:30:00Z", invalid},
        {"2024-01-15T10-30:00Z", invalid},
        {"2024-01-15T10:30:00.Z", invalid},
        {"2024-01-15T10:30:00.5x", invalid},
        {"2024-01-15T10:30:00+0200", invalid},
        {"2024-01-15T10:30:00UTC", invalid},
        {"2024-01-15T10:30:00\xE2\x88\x93" "01:00", invalid},
        {"2024-01-15T10:30:00+a1:00", invalid},
        {"+2024-01-15T10:30:00Z", invalid},
        {"10000-01-01T00:00:00Z", invalid, any},
        {"+202-01-15T10:30:00Z", invalid, any},
        {"\xEF\xBC\x92" "024-01-15T10:30:00Z", invalid},
        // Fields out of bounds and dates that do not exist.
        {"2024-00-15T10:30:00Z", range},
        {"2024-13-15T10:30:00Z", range},
        {"2024-01-00T10:30:00Z", range},
        {"2024-01-32T10:30:00Z", range},
        {"2024-04-31T10:30:00Z", range},
        {"2024-02-30T00:00:00Z", range},
        {"2023-02-29T00:00:00Z", range},
        {"1900-02-29T00:00:00Z", range},
        {"2024-01-15T24:00:00Z", range},
        {"2024-01-15T10:60:00Z", range},
        {"2024-01-15T10:30:61Z", range},
        {"2024-01-15T10:30:00+24:00", range},
        {"2024-01-15T10:30:00-01:60", range},
        {"+300000000000-01-01T00:00:00Z", range, any},
        {"-9999999999999999999999-01-01T00:00:00Z", range, any},
        {"+292277026596-12-04T15:30:08Z", range, any},
        {"-292277022657-01-27T08:29:51Z", range, any},
        // Something after the offset.
        {"2024-01-15T10:30:00Z ", trailing},
        {"2024-01-15T10:30:00+00:00x", trailing},
        {"2024-01-15T10:30:00+00:000", trailing},
        // Left to right: an early fault wins over later ones.
        {"2024-13-15T10:30:00", range},
        {"2024-13-15X10:30:00Z", range},
        {"2024-01-15T25:30:00+0200", range},
        {"2024-01-15T10:30:00.", premature},
        {"2024-01-15X10:30:61Z", invalid},
    };
    for (const auto& c : cases) {
        const auto parsed = parse_rfc3339(c.text, c.years);
        ASSERT_FALSE(parsed.ok()) << c.text << " read as " << format_rfc3339(parsed.value());
        EXPECT_EQ(parsed.error(), c.message) << c.text;
    }
}

}  // namespace
}  // namespace quenlith_types
