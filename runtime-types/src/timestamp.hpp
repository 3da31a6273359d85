#pragma once
// UTC instants with nanosecond resolution and their RFC 3339 text forms.
//
// An instant is whole seconds since 1970-01-01T00:00:00Z plus nanoseconds.
// A leap second is held the way it is written: on second 59 of its minute
// with `nanos` from 1'000'000'000 up, so that it formats back as second 60.

#include <cstdint>
#include <string>
#include <string_view>

#include "expected.hpp"

namespace quenlith_types {

struct UtcDateTime {
    std::int64_t seconds = 0;  // since the Unix epoch, may be negative
    std::uint32_t nanos = 0;   // 0..1'999'999'999 (>= 1e9 only in a leap second)

    friend bool operator==(const UtcDateTime&, const UtcDateTime&) = default;
};

// The operating system's real-time clock. Returns nothing when the clock
// reads before the Unix epoch, which callers treat as an internal fault.
[[nodiscard]] bool system_now(UtcDateTime& out) noexcept;

// The stored text form: "YYYY-MM-DDTHH:MM:SS[.fff|.ffffff|.fffffffff]+00:00".
// Years outside 0..9999 carry an explicit sign and at least four digits.
[[nodiscard]] std::string format_rfc3339(const UtcDateTime& instant);

// Which year forms a reader accepts.
enum class YearForm {
    FourDigits,        // what callers may type: 0000..9999 only
    FourDigitsOrSigned // what the store may have written: also "+10000", "-0001"
};

// Reads "date (T|t|space) time [.fraction] (Z|z|±hh:mm)" and applies the
// offset. Errors are one of "premature end of input", "input contains
// invalid characters", "input is out of range", "trailing input".
[[nodiscard]] Expected<UtcDateTime, std::string> parse_rfc3339(
    std::string_view text, YearForm years = YearForm::FourDigits);

}  // namespace quenlith_types
