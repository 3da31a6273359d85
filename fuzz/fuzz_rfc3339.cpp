// The RFC 3339 reader, in both year forms, and the writer: whatever reads as
// an instant writes back as text that reads as the same instant; what the
// four-digit form accepts, the signed form accepts identically; a rejection
// carries one of the four messages. The second half writes arbitrary
// instants and reads them back.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "timestamp.hpp"

#define REQUIRE(condition) \
    do {                   \
        if (!(condition)) std::abort(); \
    } while (0)

namespace {

using quenlith_types::format_rfc3339;
using quenlith_types::parse_rfc3339;
using quenlith_types::UtcDateTime;
using quenlith_types::YearForm;

bool known_message(const std::string& message) {
    return message == "premature end of input" || message == "input contains invalid characters" ||
           message == "input is out of range" || message == "trailing input";
}

void check_round_trip(const UtcDateTime& instant) {
    const std::string text = format_rfc3339(instant);
    REQUIRE(text.size() >= 25 && text.ends_with("+00:00"));
    const auto signed_form = parse_rfc3339(text, YearForm::FourDigitsOrSigned);
    REQUIRE(signed_form && *signed_form == instant);
    // Years 0 to 9999 are written with four digits, which callers may type.
    if (text[0] != '+' && text[0] != '-') {
        const auto four_digits = parse_rfc3339(text, YearForm::FourDigits);
        REQUIRE(four_digits && *four_digits == instant);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto four_digits = parse_rfc3339(text, YearForm::FourDigits);
    const auto signed_form = parse_rfc3339(text, YearForm::FourDigitsOrSigned);
    if (four_digits) {
        REQUIRE(signed_form && *signed_form == *four_digits);
        check_round_trip(*four_digits);
    } else {
        REQUIRE(known_message(four_digits.error()));
    }
    if (signed_form) {
        REQUIRE(signed_form->nanos < 2'000'000'000u);
        check_round_trip(*signed_form);
    } else {
        REQUIRE(known_message(signed_form.error()));
    }

    // The same bytes as an instant: any second, and nanoseconds below one
    // second, or a leap second where one can stand (second 59 of a minute).
    if (size >= 12) {
        UtcDateTime instant;
        std::memcpy(&instant.seconds, data, 8);
        std::memcpy(&instant.nanos, data + 8, 4);
        const std::int64_t second_of_minute = ((instant.seconds % 60) + 60) % 60;
        instant.nanos %= second_of_minute == 59 ? 2'000'000'000u : 1'000'000'000u;
        check_round_trip(instant);
    }
    return 0;
}
