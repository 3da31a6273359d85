#pragma once
// JSON pieces the store needs beyond what nlohmann-json offers directly:
// reading an enumeration's JSON string form with a precise message, reading
// one metadata value under a nesting limit, and the compact sorted writer.

#include <span>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "expected.hpp"

namespace quenlith_types {

// Reads `stored` as the body of a JSON string (the caller's text wrapped in
// double quotes), decoding escapes, and returns the index of the variant
// whose text form it equals. A well-formed string naming no variant fails
// with "unknown variant `{}`, expected one of `a`, `b`, ... at line 1
// column {}"; a malformed string fails with the reader's own message.
[[nodiscard]] Expected<std::size_t, std::string> read_json_variant(
    std::string_view stored, std::span<const std::string_view> variants);

// Arrays and objects nested this deep or deeper are refused.
inline constexpr int kMaxJsonDepth = 128;

// Reads exactly one JSON value with optional surrounding whitespace.
[[nodiscard]] Expected<nlohmann::json, std::string> read_json_value(std::string_view text);

// Compact JSON, object members in ascending byte order of their keys,
// non-ASCII written as UTF-8, non-finite numbers as null.
[[nodiscard]] std::string write_json_compact(const nlohmann::json& value);

// Checks that `bytes` is valid UTF-8; on failure describes the first fault,
// e.g. "invalid utf-8 sequence of 1 bytes from index 3" or
// "incomplete utf-8 byte sequence from index 5".
[[nodiscard]] Expected<void, std::string> check_utf8(std::string_view bytes);

}  // namespace quenlith_types
