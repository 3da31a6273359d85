// The UUID reader: any bytes in, either a UUID or a message out. A UUID that
// was read writes back as 36 lower-case characters that read as the same
// UUID; a message is valid UTF-8, because it becomes the text of a Python
// exception.

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "json_text.hpp"
#include "uuid.hpp"

#define REQUIRE(condition) \
    do {                   \
        if (!(condition)) std::abort(); \
    } while (0)

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto parsed = quenlith_types::parse_uuid(text);
    if (parsed) {
        const std::string hyphenated = parsed->to_hyphenated();
        REQUIRE(hyphenated.size() == 36);
        for (const char c : hyphenated) REQUIRE((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == '-');
        const auto again = quenlith_types::parse_uuid(hyphenated);
        REQUIRE(again && *again == *parsed);
        // Only the four accepted lengths can hold a UUID.
        REQUIRE(size == 32 || size == 36 || size == 38 || size == 45);
    } else {
        REQUIRE(!parsed.error().empty());
        REQUIRE(quenlith_types::check_utf8(parsed.error()).ok());
    }
    return 0;
}
