#pragma once
// The store's schema. `init_db` runs the schema script statement by
// statement; every statement says IF NOT EXISTS, so running it on a database
// that already has the schema changes nothing.

#include <string_view>

#include <sqlite3.h>

#include "error.hpp"

namespace quenlith_sqlite {

extern const std::string_view kSchemaScript;

// Runs the schema script on `db`. The first failing statement stops the
// script (those before it stay done) and its SQLite message is returned as a
// Storage error, with the remaining script and error offset when known.
[[nodiscard]] quenlith_core::error::Result<void> init_db(sqlite3* db);

// Fails when a view stands in for one of the store's tables or a trigger is
// attached to one: code the store did not write would run in its statements.
[[nodiscard]] quenlith_core::error::Result<void> check_no_foreign_objects(sqlite3* db);

// Brings index definitions written by earlier versions up to date. Never
// fails: a file that cannot be changed keeps working with what it has.
void upgrade_indexes(sqlite3* db);

}  // namespace quenlith_sqlite
