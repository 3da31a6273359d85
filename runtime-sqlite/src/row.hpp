#pragma once
// One row of the join of `events` and `memory_state` as stored, and its
// conversion into a ScoredMemory. Queries and the sweep read rows this way.

#include <cstdint>
#include <string>

#include <sqlite3.h>

#include "error.hpp"
#include "quenlith_types.hpp"

namespace quenlith_sqlite {

// The twelve selected columns, in SELECT order, as stored.
struct RawRow {
    std::string id;
    std::string timestamp;
    std::string source;
    std::string kind;
    std::string content;
    std::string metadata;
    std::string importance;
    double salience = 0.0;
    std::string tier;
    std::uint32_t occurrence_count = 0;
    std::string last_accessed;
    bool is_overridden = false;

    // Parses every stored text; a value that does not parse is a Storage
    // error carrying the parser's description.
    [[nodiscard]] quenlith_core::error::Result<quenlith_types::ScoredMemory> into_scored_memory() &&;
};

// Reads the current row of `stmt` by the column rules. On failure the error
// is the detail text of the failed column read.
[[nodiscard]] quenlith_types::Expected<RawRow, std::string> read_raw_row(sqlite3_stmt* stmt);

}  // namespace quenlith_sqlite
