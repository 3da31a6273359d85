#pragma once
// 128-bit identifiers: version 4 generation, the hyphenated lower-case text
// form that the store writes, and a reader for the four standard text forms
// (simple, hyphenated, braced, URN) with precise messages for bad input.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "expected.hpp"

namespace quenlith_types {

struct Uuid {
    std::array<std::uint8_t, 16> bytes{};

    // A fresh random version 4 (RFC 4122 variant) identifier drawn from the
    // operating system's random source. Throws std::system_error only if the
    // random source itself is unavailable.
    static Uuid new_v4();

    // 36 characters: 8-4-4-4-12 lower-case hexadecimal digits.
    [[nodiscard]] std::string to_hyphenated() const;

    friend bool operator==(const Uuid&, const Uuid&) = default;
};

// Reads the simple (32 digits), hyphenated (36), braced (38) and URN
// ("urn:uuid:" + hyphenated, 45) forms, hex digits in either case. On
// failure the error is the reader's own message, for example
// "invalid character: found `n` at 1".
[[nodiscard]] Expected<Uuid, std::string> parse_uuid(std::string_view text);

}  // namespace quenlith_types
