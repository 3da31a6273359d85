#include "lib.hpp"

#include "statement.hpp"

namespace quenlith_sqlite {

using quenlith_core::error::fail;
using quenlith_core::error::Result;
using quenlith_core::error::RuntimeError;

// The layout (line breaks and indentation) is kept by SQLite as each table's
// and index's definition in the file.
const std::string_view kSchemaScript = R"(
        CREATE TABLE IF NOT EXISTS events (
            id TEXT PRIMARY KEY,
            timestamp TEXT NOT NULL,
            source TEXT NOT NULL,
            kind TEXT NOT NULL,
            content TEXT NOT NULL,
            metadata TEXT NOT NULL DEFAULT '{}',
            importance TEXT NOT NULL DEFAULT 'normal'
        );

        CREATE TABLE IF NOT EXISTS memory_state (
            event_id TEXT PRIMARY KEY REFERENCES events(id),
            salience REAL NOT NULL,
            tier TEXT NOT NULL DEFAULT 'hot',
            occurrence_count INTEGER NOT NULL DEFAULT 1,
            last_accessed TEXT NOT NULL
        );

        CREATE INDEX IF NOT EXISTS idx_events_timestamp ON events(timestamp);
        CREATE INDEX IF NOT EXISTS idx_events_source ON events(source);
        CREATE INDEX IF NOT EXISTS idx_events_kind ON events(kind);
        CREATE INDEX IF NOT EXISTS idx_memory_salience ON memory_state(salience);
        CREATE INDEX IF NOT EXISTS idx_memory_tier ON memory_state(tier);

        CREATE TABLE IF NOT EXISTS overrides (
            source_id TEXT NOT NULL REFERENCES events(id),
            target_id TEXT NOT NULL REFERENCES events(id),
            PRIMARY KEY (source_id, target_id)
        );

        CREATE INDEX IF NOT EXISTS idx_overrides_target ON overrides(target_id);

        CREATE TABLE IF NOT EXISTS snapshots (
            id INTEGER PRIMARY KEY AUTOINCREMENT,
            timestamp TEXT NOT NULL,
            hot INTEGER NOT NULL,
            warm INTEGER NOT NULL,
            cold INTEGER NOT NULL,
            forgotten INTEGER NOT NULL
        );
        )";

Result<void> init_db(sqlite3* db) {
    std::string_view remaining = kSchemaScript;
    while (!remaining.empty()) {
        std::size_t consumed = 0;
        auto statement = Statement::prepare(db, remaining, RuntimeError::Kind::Storage, &consumed);
        if (!statement) return fail(std::move(statement).error());
        remaining.remove_prefix(consumed);
        if (!statement->has_statement()) continue;  // only whitespace was left
        auto done = statement->run();
        if (!done) return fail(std::move(done).error());
    }
    return {};
}

}  // namespace quenlith_sqlite
