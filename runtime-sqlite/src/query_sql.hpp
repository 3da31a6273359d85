#pragma once
// The memory query's statement text. Filter values are written into the text
// (single quotes doubled) rather than bound, so the text is built here, in one
// pure function that tests and fuzzers can drive directly.

#include <string>

#include "error.hpp"
#include "quenlith_types.hpp"

namespace quenlith_sqlite {

inline constexpr std::uint64_t kDefaultQueryLimit = 20;

// How SQLite should find the memories of one source.
enum class SourcePlan {
    // Through the source index, then sort the matches: best for a source
    // with few memories.
    IndexThenSort,
    // Down the salience index, testing each memory's source, stopping at the
    // limit: best for a source with many memories.
    SalienceOrder,
};

// The full SELECT for `query`. Fails with a Query error only for a text or
// source holding a NUL character, which cannot stand inside SQL text. Both
// plans select the same rows in the same order.
[[nodiscard]] quenlith_core::error::Result<std::string> build_query_sql(
    const quenlith_types::MemoryQuery& query, SourcePlan source_plan = SourcePlan::IndexThenSort);

// Shortest round-trip decimal in plain positional notation: 2, 0.05,
// 0.0000001, 100000000000000000000, -0; "NaN", "inf", "-inf" when not finite.
[[nodiscard]] std::string format_plain_decimal(double value);

}  // namespace quenlith_sqlite
