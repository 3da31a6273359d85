#include "timestamp.hpp"

#include <limits>
#include <optional>

#include <time.h>

namespace quenlith_types {
namespace {

constexpr std::int64_t kSecondsPerDay = 86'400;
constexpr std::uint32_t kNanosPerSecond = 1'000'000'000;
// Beyond this many years the seconds no longer fit in 64 bits anyway; the
// bound keeps the date arithmetic itself from overflowing.
constexpr std::int64_t kMaxYearMagnitude = 1'000'000'000'000;

// ---------------------------------------------------------------------------
// Civil calendar (Howard Hinnant's algorithms, proleptic Gregorian)

struct CivilDate {
    std::int64_t year;
    unsigned month;  // 1..12
    unsigned day;    // 1..31
};

constexpr std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146'097 + static_cast<std::int64_t>(doe) - 719'468;
}

constexpr CivilDate civil_from_days(std::int64_t z) {
    z += 719'468;
    const std::int64_t era = (z >= 0 ? z : z - 146'096) / 146'097;
    const auto doe = static_cast<unsigned>(z - era * 146'097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36'524 - doe / 146'096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2 ? 1 : 0);
    return {y, m, d};
}

constexpr bool is_leap_year(std::int64_t y) {
    return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0);
}

// 0 for a month outside 1..12, so that no day passes the range check.
constexpr unsigned days_in_month(std::int64_t year, unsigned month) {
    constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) return 0;
    return month == 2 && is_leap_year(year) ? 29 : kDays[month - 1];
}

// ---------------------------------------------------------------------------
// Formatting

void append_padded(std::string& out, std::uint64_t value, std::size_t width) {
    const std::string digits = std::to_string(value);
    if (digits.size() < width) out.append(width - digits.size(), '0');
    out += digits;
}

void append_year(std::string& out, std::int64_t year) {
    if (year >= 0 && year <= 9999) {
        append_padded(out, static_cast<std::uint64_t>(year), 4);
        return;
    }
    out += year < 0 ? '-' : '+';
    // Negating in unsigned arithmetic stays defined for the most negative year.
    const auto magnitude = year < 0 ? 0 - static_cast<std::uint64_t>(year)
                                    : static_cast<std::uint64_t>(year);
    append_padded(out, magnitude, 4);
}

// The shortest of 3, 6 or 9 digits that shows the fraction exactly.
void append_fraction(std::string& out, std::uint32_t nanos) {
    if (nanos == 0) return;
    out += '.';
    if (nanos % 1'000'000 == 0) {
        append_padded(out, nanos / 1'000'000, 3);
    } else if (nanos % 1'000 == 0) {
        append_padded(out, nanos / 1'000, 6);
    } else {
        append_padded(out, nanos, 9);
    }
}

// ---------------------------------------------------------------------------
// Parsing

enum class Fault { PrematureEnd, InvalidCharacter, OutOfRange, Trailing };

std::string message_for(Fault fault) {
    switch (fault) {
        case Fault::PrematureEnd: return "premature end of input";
        case Fault::InvalidCharacter: return "input contains invalid characters";
        case Fault::OutOfRange: return "input is out of range";
        case Fault::Trailing: return "trailing input";
    }
    return "input contains invalid characters";
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

constexpr std::string_view kUnicodeMinus = "\xE2\x88\x92";

// A left-to-right reader whose first fault sticks: once something is wrong,
// every later step does nothing, so the caller can read the whole grammar
// straight through and still report the first problem.
class Scanner {
public:
    explicit Scanner(std::string_view text) : text_(text) {}

    [[nodiscard]] std::optional<Fault> fault() const { return fault_; }
    [[nodiscard]] bool at_end() const { return pos_ == text_.size(); }

    void flag(Fault fault) {
        if (!fault_) fault_ = fault;
    }
    void require(bool in_range) {
        if (!in_range) flag(Fault::OutOfRange);
    }

    // Exactly `count` decimal digits.
    unsigned digits(std::size_t count) {
        unsigned value = 0;
        for (std::size_t i = 0; i < count && !fault_; ++i) {
            if (!next_is_digit()) return 0;
            value = value * 10 + static_cast<unsigned>(text_[pos_++] - '0');
        }
        return value;
    }

    void expect(char c) { expect_one_of(std::string_view(&c, 1)); }

    // Consumes any one of `choices`, or flags the position.
    void expect_one_of(std::string_view choices) {
        if (fault_) return;
        if (at_end()) {
            flag(Fault::PrematureEnd);
        } else if (choices.find(text_[pos_]) == std::string_view::npos) {
            flag(Fault::InvalidCharacter);
        } else {
            ++pos_;
        }
    }

    // Consumes `c` if it comes next; no fault either way.
    bool accept(char c) {
        if (fault_ || at_end() || text_[pos_] != c) return false;
        ++pos_;
        return true;
    }

    std::int64_t year(YearForm form) {
        const bool signed_form = form == YearForm::FourDigitsOrSigned && !at_end() &&
                                 (text_[pos_] == '+' || text_[pos_] == '-');
        if (!signed_form) return digits(4);
        const bool negative = text_[pos_++] == '-';
        const std::int64_t magnitude = digit_run(4);
        require(magnitude <= kMaxYearMagnitude);
        return negative ? -magnitude : magnitude;
    }

    // One or more digits, the first nine of them significant.
    std::uint32_t fraction() {
        std::uint32_t nanos = 0;
        std::size_t count = 0;
        if (!next_is_digit()) return 0;
        while (!at_end() && is_digit(text_[pos_])) {
            if (count < 9) nanos = nanos * 10 + static_cast<std::uint32_t>(text_[pos_] - '0');
            ++count;
            ++pos_;
        }
        for (; count < 9; ++count) nanos *= 10;
        return nanos;
    }

    // +1 or -1; the minus may also be U+2212 MINUS SIGN.
    int offset_sign() {
        if (fault_) return 1;
        const std::string_view rest = text_.substr(pos_);
        if (rest.starts_with(kUnicodeMinus)) {
            pos_ += kUnicodeMinus.size();
            return -1;
        }
        if (rest.empty() || kUnicodeMinus.starts_with(rest)) {
            flag(Fault::PrematureEnd);
            return 1;
        }
        if (rest[0] != '+' && rest[0] != '-') {
            flag(Fault::InvalidCharacter);
            return 1;
        }
        ++pos_;
        return rest[0] == '-' ? -1 : 1;
    }

private:
    // Flags a missing or non-digit next character.
    bool next_is_digit() {
        if (fault_) return false;
        if (at_end()) {
            flag(Fault::PrematureEnd);
        } else if (!is_digit(text_[pos_])) {
            flag(Fault::InvalidCharacter);
        }
        return !fault_;
    }

    // At least `min_count` digits; saturates just above kMaxYearMagnitude.
    std::int64_t digit_run(std::size_t min_count) {
        std::int64_t value = 0;
        for (std::size_t count = 0;; ++count) {
            if (count < min_count && !next_is_digit()) return 0;
            if (at_end() || !is_digit(text_[pos_])) return value;
            if (value <= kMaxYearMagnitude) value = value * 10 + (text_[pos_] - '0');
            ++pos_;
        }
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    std::optional<Fault> fault_;
};

struct Fields {
    std::int64_t year = 0;
    unsigned month = 0, day = 0, hour = 0, minute = 0, second = 0;
    std::uint32_t nanos = 0;
    int offset_minutes = 0;  // local minus UTC
};

void read_date(Scanner& in, YearForm years, Fields& f) {
    f.year = in.year(years);
    in.expect('-');
    f.month = in.digits(2);
    in.require(f.month >= 1 && f.month <= 12);
    in.expect('-');
    f.day = in.digits(2);
    in.require(f.day >= 1 && f.day <= days_in_month(f.year, f.month));
}

void read_time(Scanner& in, Fields& f) {
    f.hour = in.digits(2);
    in.require(f.hour <= 23);
    in.expect(':');
    f.minute = in.digits(2);
    in.require(f.minute <= 59);
    in.expect(':');
    f.second = in.digits(2);
    in.require(f.second <= 60);  // 60 is a leap second
    if (in.accept('.')) f.nanos = in.fraction();
}

void read_offset(Scanner& in, Fields& f) {
    if (in.accept('Z') || in.accept('z')) return;
    const int sign = in.offset_sign();
    const unsigned hours = in.digits(2);
    in.require(hours < 24);
    in.expect(':');
    const unsigned minutes = in.digits(2);
    in.require(minutes < 60);
    f.offset_minutes = sign * static_cast<int>(hours * 60 + minutes);
}

// The instant the fields name, or nothing when it does not fit in 64 bits.
std::optional<UtcDateTime> to_instant(const Fields& f) {
    const bool leap = f.second == 60;
    const std::int64_t days = days_from_civil(f.year, f.month, f.day);
    const std::int64_t local_seconds =
        std::int64_t{f.hour} * 3600 + std::int64_t{f.minute} * 60 + (leap ? 59 : f.second);
    const std::int64_t seconds_of_day = local_seconds - std::int64_t{f.offset_minutes} * 60;
    // 128 bits because near either end the day's start can lie outside the
    // 64-bit range while the instant itself does not.
    __extension__ using Wide = __int128;
    const Wide seconds = static_cast<Wide>(days) * kSecondsPerDay + seconds_of_day;
    if (seconds < std::numeric_limits<std::int64_t>::min() ||
        seconds > std::numeric_limits<std::int64_t>::max()) {
        return std::nullopt;
    }
    return UtcDateTime{static_cast<std::int64_t>(seconds), f.nanos + (leap ? kNanosPerSecond : 0)};
}

}  // namespace

bool system_now(UtcDateTime& out) noexcept {
    timespec now{};
    if (::clock_gettime(CLOCK_REALTIME, &now) != 0 || now.tv_sec < 0) return false;
    out = UtcDateTime{static_cast<std::int64_t>(now.tv_sec), static_cast<std::uint32_t>(now.tv_nsec)};
    return true;
}

std::string format_rfc3339(const UtcDateTime& instant) {
    std::int64_t days = instant.seconds / kSecondsPerDay;
    std::int64_t second_of_day = instant.seconds % kSecondsPerDay;
    if (second_of_day < 0) {  // floor, not truncation, before 1970
        second_of_day += kSecondsPerDay;
        --days;
    }
    const CivilDate date = civil_from_days(days);
    // A leap second is held as second 59 plus a whole extra second of nanos.
    const std::uint32_t extra_seconds = instant.nanos / kNanosPerSecond;
    const std::uint32_t fraction = instant.nanos % kNanosPerSecond;

    std::string out;
    out.reserve(40);
    append_year(out, date.year);
    out += '-';
    append_padded(out, date.month, 2);
    out += '-';
    append_padded(out, date.day, 2);
    out += 'T';
    append_padded(out, static_cast<std::uint64_t>(second_of_day / 3600), 2);
    out += ':';
    append_padded(out, static_cast<std::uint64_t>(second_of_day / 60 % 60), 2);
    out += ':';
    append_padded(out, static_cast<std::uint64_t>(second_of_day % 60) + extra_seconds, 2);
    append_fraction(out, fraction);
    out += "+00:00";
    return out;
}

Expected<UtcDateTime, std::string> parse_rfc3339(std::string_view text, YearForm years) {
    // The shortest valid text, "YYYY-MM-DDTHH:MM:SSZ", less its offset.
    constexpr std::size_t kMinimumLength = 19;
    if (text.size() < kMinimumLength) return fail(message_for(Fault::PrematureEnd));

    Scanner in(text);
    Fields fields;
    read_date(in, years, fields);
    in.expect_one_of("Tt ");
    read_time(in, fields);
    read_offset(in, fields);
    if (!in.at_end()) in.flag(Fault::Trailing);
    if (const auto fault = in.fault()) return fail(message_for(*fault));

    const auto instant = to_instant(fields);
    if (!instant) return fail(message_for(Fault::OutOfRange));
    return *instant;
}

}  // namespace quenlith_types
