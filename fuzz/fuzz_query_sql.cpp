// The memory query's statement text, built from arbitrary filter values.
// The values are written into the SQL text, so this checks what that must
// never break: the text is one statement with no parameters that prepares
// against the schema (unless the bound is not a number, which SQLite reads
// as an unknown column), and a stored memory whose source and content equal
// the filter texts exactly is found by it, so every quote stayed inside its
// literal.

#include <fuzzer/FuzzedDataProvider.h>

#include <sqlite3.h>

#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lib.hpp"
#include "query_sql.hpp"

#define REQUIRE(condition) \
    do {                   \
        if (!(condition)) std::abort(); \
    } while (0)

namespace {

using quenlith_types::EventKind;
using quenlith_types::MemoryQuery;
using quenlith_types::MemoryTier;

// One in-memory database with the schema, shared by every input; each input
// inserts its row and removes it again.
sqlite3* database() {
    static sqlite3* db = [] {
        sqlite3* opened = nullptr;
        REQUIRE(sqlite3_open(":memory:", &opened) == SQLITE_OK);
        REQUIRE(quenlith_sqlite::init_db(opened).ok());
        return opened;
    }();
    return db;
}

void run(sqlite3* db, const char* sql) { REQUIRE(sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK); }

void store_row(sqlite3* db, const MemoryQuery& query, double salience) {
    sqlite3_stmt* stmt = nullptr;
    REQUIRE(sqlite3_prepare_v2(db,
                               "INSERT INTO events (id, timestamp, source, kind, content) "
                               "VALUES ('x', 't', ?1, ?2, ?3)",
                               -1, &stmt, nullptr) == SQLITE_OK);
    const std::string source = query.source.value_or("agent");
    const std::string content = query.text.value_or("content");
    const std::string_view kind = quenlith_types::to_text(query.kind.value_or(EventKind::Decision));
    sqlite3_bind_text64(stmt, 1, source.data(), source.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    sqlite3_bind_text64(stmt, 2, kind.data(), kind.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    sqlite3_bind_text64(stmt, 3, content.data(), content.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    REQUIRE(sqlite3_step(stmt) == SQLITE_DONE);
    sqlite3_finalize(stmt);

    REQUIRE(sqlite3_prepare_v2(db,
                               "INSERT INTO memory_state (event_id, salience, tier, last_accessed) "
                               "VALUES ('x', ?1, ?2, 't')",
                               -1, &stmt, nullptr) == SQLITE_OK);
    const std::string_view tier = quenlith_types::to_text(query.tier.value_or(MemoryTier::Hot));
    sqlite3_bind_double(stmt, 1, salience);
    sqlite3_bind_text64(stmt, 2, tier.data(), tier.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    REQUIRE(sqlite3_step(stmt) == SQLITE_DONE);
    sqlite3_finalize(stmt);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    MemoryQuery query;
    if (input.ConsumeBool()) query.text = input.ConsumeRandomLengthString();
    if (input.ConsumeBool()) query.source = input.ConsumeRandomLengthString();
    if (input.ConsumeBool()) query.kind = static_cast<EventKind>(input.ConsumeIntegralInRange(0, 4));
    if (input.ConsumeBool()) query.tier = static_cast<MemoryTier>(input.ConsumeIntegralInRange(0, 3));
    if (input.ConsumeBool()) query.min_salience = input.ConsumeFloatingPoint<double>();
    if (input.ConsumeBool()) query.limit = input.ConsumeIntegral<std::uint64_t>();

    const auto sql = quenlith_sqlite::build_query_sql(query);
    const bool has_nul = (query.text && query.text->find('\0') != std::string::npos) ||
                         (query.source && query.source->find('\0') != std::string::npos);
    if (!sql) {
        REQUIRE(has_nul);
        REQUIRE(sql.error().display().starts_with("query error: nul byte found in provided data at position: "));
        return 0;
    }
    REQUIRE(!has_nul);

    // Shows the statement when a saved input is replayed by hand.
    if (std::getenv("QUENLITH_FUZZ_VERBOSE")) std::fprintf(stderr, "%s\n", sql->c_str());

    sqlite3* db = database();
    sqlite3_stmt* stmt = nullptr;
    const char* tail = nullptr;
    const int prepared = sqlite3_prepare_v2(db, sql->data(), static_cast<int>(sql->size()), &stmt, &tail);
    const bool bound_is_a_number = !query.min_salience || std::isfinite(*query.min_salience);
    if (!bound_is_a_number) {
        REQUIRE(prepared != SQLITE_OK && std::strstr(sqlite3_errmsg(db), "no such column") != nullptr);
        sqlite3_finalize(stmt);
        return 0;
    }
    REQUIRE(prepared == SQLITE_OK && stmt != nullptr);
    REQUIRE(tail == sql->data() + sql->size());  // nothing after the one statement
    REQUIRE(sqlite3_bind_parameter_count(stmt) == 0);
    REQUIRE(sqlite3_column_count(stmt) == 12);

    // A memory that matches every filter exactly, at the bound itself.
    const double salience = query.min_salience.value_or(1.0);
    store_row(db, query, salience);
    const std::uint64_t limit = query.limit.value_or(20);
    const int stepped = sqlite3_step(stmt);
    if (limit > static_cast<std::uint64_t>(INT64_MAX)) {
        // SQLite reads a limit beyond 64-bit signed as a real and refuses it.
        REQUIRE(stepped != SQLITE_ROW);
    } else if (limit == 0 || query.tier == MemoryTier::Forgotten) {
        // No room, or a tier that the query never returns.
        REQUIRE(stepped == SQLITE_DONE);
    } else {
        REQUIRE(stepped == SQLITE_ROW);
        REQUIRE(sqlite3_step(stmt) == SQLITE_DONE);
    }
    sqlite3_finalize(stmt);
    run(db, "DELETE FROM memory_state");
    run(db, "DELETE FROM events");
    return 0;
}
