// The stored-row conversion, as queries and the sweep run it on rows another
// program may have written: eleven columns from the fuzz input (texts must
// be valid UTF-8, as the column reader guarantees before a row is built),
// then `into_scored_memory`, then the sweep's rescoring of the result.
// Before that, the JSON and UTF-8 readers get the raw bytes directly.
//
// Input: the texts id, timestamp, source, kind, content, metadata,
// importance, tier, last_accessed, each ended by a backslash followed by
// another character (a doubled backslash stands for one); the numbers come
// from the end of the input.

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>
#include <string_view>

#include "clock.hpp"
#include "json_text.hpp"
#include "policy.hpp"
#include "quenlith_types.hpp"
#include "row.hpp"
#include "salience.hpp"

#define REQUIRE(condition) \
    do {                   \
        if (!(condition)) std::abort(); \
    } while (0)

namespace {

using namespace quenlith_types;

constexpr std::array<std::string_view, 5> kKinds = kEventKindTexts;

void check_readers(std::string_view bytes) {
    const auto utf8 = check_utf8(bytes);
    if (!utf8) REQUIRE(utf8.error().find("utf-8") != std::string::npos);

    const auto value = read_json_value(bytes);
    if (value) {
        // What was read writes as compact JSON that reads back the same.
        const std::string written = write_json_compact(*value);
        const auto again = read_json_value(written);
        REQUIRE(again && *again == *value);
        REQUIRE(write_json_compact(*again) == written);
    } else {
        REQUIRE(!value.error().empty() && check_utf8(value.error()).ok());
    }

    const auto variant = read_json_variant(bytes, kKinds);
    if (variant) {
        REQUIRE(*variant < kKinds.size());
    } else {
        REQUIRE(check_utf8(variant.error()).ok());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    check_readers(std::string_view(reinterpret_cast<const char*>(data), size));

    FuzzedDataProvider input(data, size);
    quenlith_sqlite::RawRow row;
    for (std::string* text : {&row.id, &row.timestamp, &row.source, &row.kind, &row.content, &row.metadata,
                              &row.importance, &row.tier, &row.last_accessed}) {
        *text = input.ConsumeRandomLengthString();
        if (!check_utf8(*text)) return 0;  // the column reader never lets such a row through
    }
    row.salience = input.ConsumeFloatingPoint<double>();
    row.occurrence_count = input.ConsumeIntegral<std::uint32_t>();
    row.is_overridden = input.ConsumeBool();
    const UtcDateTime now{input.ConsumeIntegralInRange<std::int64_t>(0, 4'102'444'800), 0};  // 1970 to 2100
    const std::uint32_t occurrences = row.occurrence_count;

    auto memory = std::move(row).into_scored_memory();
    if (!memory) {
        const std::string display = memory.error().display();
        REQUIRE(display.starts_with("storage error: "));
        REQUIRE(check_utf8(display).ok());
        return 0;
    }
    REQUIRE(memory->occurrence_count == occurrences);
    REQUIRE(parse_uuid(memory->event.id.to_hyphenated()).ok());
    for (const UtcDateTime& instant : {memory->event.timestamp, memory->last_accessed}) {
        const auto again = parse_rfc3339(format_rfc3339(instant), YearForm::FourDigitsOrSigned);
        REQUIRE(again && *again == instant);
    }

    // The sweep scores every converted row; no stored instant may break it.
    for (const auto& policy : {quenlith_core::policy::RuntimePolicy::balanced(),
                               quenlith_core::policy::RuntimePolicy::knowledge()}) {
        const quenlith_core::salience::HeuristicScorer scorer(
            std::make_shared<const quenlith_core::clock::FixedClock>(now), policy);
        const double salience = scorer.score(memory->event, memory->occurrence_count);
        REQUIRE(!std::isnan(salience) && salience >= 0.0);
        (void)policy.tier_for(salience);
    }
    return 0;
}
