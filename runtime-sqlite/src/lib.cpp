#include "lib.hpp"

#include "statement.hpp"

namespace quenlith_sqlite {

using quenlith_core::error::fail;
using quenlith_core::error::Result;
using quenlith_core::error::RuntimeError;

// The layout (line breaks and indentation) is kept by SQLite as each table's
// and index's definition in the file.
//
// Three indexes carry a second column so that the store's hot statements
// never scan or sort more than they return: (source, content) finds the
// repetitions of one event directly, (tier, salience) serves a tier filter
// in salience order, and (salience, tier) tests liveness without a table
// lookup. Files made with the one-column definitions are upgraded on open.
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
        CREATE INDEX IF NOT EXISTS idx_events_source ON events(source, content);
        CREATE INDEX IF NOT EXISTS idx_events_kind ON events(kind);
        CREATE INDEX IF NOT EXISTS idx_memory_salience ON memory_state(salience, tier);
        CREATE INDEX IF NOT EXISTS idx_memory_tier ON memory_state(tier, salience);

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

namespace {

struct IndexDefinition {
    std::string_view name;
    std::string_view create;  // as SQLite stores it in sqlite_master
};

constexpr IndexDefinition kUpgradedIndexes[] = {
    {"idx_events_source", "CREATE INDEX idx_events_source ON events(source, content)"},
    {"idx_memory_salience", "CREATE INDEX idx_memory_salience ON memory_state(salience, tier)"},
    {"idx_memory_tier", "CREATE INDEX idx_memory_tier ON memory_state(tier, salience)"},
};

Result<bool> index_is_current(sqlite3* db, const IndexDefinition& index) {
    auto statement = Statement::prepare(db, "SELECT sql FROM sqlite_master WHERE type = 'index' AND name = ?1",
                                        RuntimeError::Kind::Storage);
    if (!statement) return fail(std::move(statement).error());
    if (auto bound = statement->bind_text(1, index.name); !bound) return fail(std::move(bound).error());
    auto row = statement->step();
    if (!row) return fail(std::move(row).error());
    if (!row.value()) return true;  // missing: nothing to upgrade
    const auto* sql = reinterpret_cast<const char*>(sqlite3_column_text(statement->get(), 0));
    return sql != nullptr && index.create == sql;
}

Result<bool> any_index_outdated(sqlite3* db) {
    for (const IndexDefinition& index : kUpgradedIndexes) {
        auto current = index_is_current(db, index);
        if (!current) return fail(std::move(current).error());
        if (!current.value()) return true;
    }
    return false;
}

Result<void> rebuild_outdated_indexes(sqlite3* db) {
    for (const IndexDefinition& index : kUpgradedIndexes) {
        auto current = index_is_current(db, index);
        if (!current) return fail(std::move(current).error());
        if (current.value()) continue;
        if (auto dropped = execute(db, "DROP INDEX " + std::string(index.name)); !dropped) return dropped;
        if (auto created = execute(db, std::string(index.create)); !created) return created;
    }
    return {};
}

}  // namespace

void upgrade_indexes(sqlite3* db) {
    auto outdated = any_index_outdated(db);
    if (!outdated || !outdated.value()) return;
    // A file that cannot be written now (read-only, or busy past the
    // timeout) keeps its old indexes: every result stays the same, only
    // slower, and the next open tries again.
    auto transaction = Transaction::begin(db);
    if (!transaction) return;
    if (rebuild_outdated_indexes(db)) (void)transaction->commit();
}

Result<void> check_no_foreign_objects(sqlite3* db) {
    // A view standing in for one of the store's tables, or a trigger on one,
    // runs code the store did not write inside its own statements; such code
    // can run forever (an unbounded recursive query), and no call could be
    // interrupted. A file that holds them is refused.
    auto statement = Statement::prepare(db,
                                        "SELECT type, name FROM sqlite_master"
                                        " WHERE (type != 'table' AND name IN ('events', 'memory_state', 'overrides',"
                                        " 'snapshots'))"
                                        " OR (type = 'trigger' AND tbl_name IN ('events', 'memory_state',"
                                        " 'overrides', 'snapshots')) LIMIT 1",
                                        RuntimeError::Kind::Storage);
    if (!statement) return fail(std::move(statement).error());
    auto row = statement->step();
    if (!row) return fail(std::move(row).error());
    if (!row.value()) return {};
    auto type = column::text(statement->get(), 0);
    auto name = column::text(statement->get(), 1);
    return fail(RuntimeError::storage("unexpected " + (type ? type.value() : std::string("object")) + " '" +
                                      (name ? name.value() : std::string()) + "' on the store's tables"));
}

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
