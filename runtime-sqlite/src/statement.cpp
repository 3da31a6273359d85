#include "statement.hpp"

#include <climits>
#include <limits>
#include <new>
#include <utility>

#include "json_text.hpp"

namespace quenlith_sqlite {

using quenlith_core::error::fail;
using quenlith_types::Expected;

RuntimeError last_error(sqlite3* db, RuntimeError::Kind kind) {
    std::string message = sqlite3_errmsg(db);
    return kind == RuntimeError::Kind::Query ? RuntimeError::query(std::move(message))
                                             : RuntimeError::storage(std::move(message));
}

namespace {

RuntimeError make_error(RuntimeError::Kind kind, std::string detail) {
    return kind == RuntimeError::Kind::Query ? RuntimeError::query(std::move(detail))
                                             : RuntimeError::storage(std::move(detail));
}

}  // namespace

Result<Statement> Statement::prepare(sqlite3* db, std::string_view sql, RuntimeError::Kind kind,
                                     std::size_t* consumed) {
    if (sql.size() > static_cast<std::size_t>(INT_MAX)) {
        return fail(make_error(kind, "statement text too long"));
    }
    sqlite3_stmt* raw = nullptr;
    const char* tail = nullptr;
    const int rc = sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &raw, &tail);
    Statement statement(db, raw, kind);  // owns `raw` from here on, on every path
    if (rc != SQLITE_OK) {
        std::string message = sqlite3_errmsg(db);
        const int offset = sqlite3_error_offset(db);
        if (offset >= 0) {
            message.append(" in ").append(sql).append(" at offset ").append(std::to_string(offset));
        }
        return fail(make_error(kind, std::move(message)));
    }
    if (consumed) *consumed = tail ? static_cast<std::size_t>(tail - sql.data()) : sql.size();
    return statement;
}

Result<void> Statement::check_bind(int rc) {
    if (rc == SQLITE_OK) return {};
    return fail(last_error(db_, kind_));
}

Result<void> Statement::bind_text(int index, std::string_view text) {
    // SQLITE_TRANSIENT: SQLite copies the bytes, so the caller's buffer may go.
    return check_bind(sqlite3_bind_text64(stmt_.get(), index, text.data(), text.size(), SQLITE_TRANSIENT,
                                          SQLITE_UTF8));
}

Result<void> Statement::bind_double(int index, double value) {
    return check_bind(sqlite3_bind_double(stmt_.get(), index, value));
}

Result<void> Statement::bind_int64(int index, std::int64_t value) {
    return check_bind(sqlite3_bind_int64(stmt_.get(), index, value));
}

Result<bool> Statement::step() {
    const int rc = sqlite3_step(stmt_.get());
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    return fail(last_error(db_, kind_));
}

Result<void> Statement::run() {
    for (;;) {
        auto row = step();
        if (!row) return fail(std::move(row).error());
        if (!row.value()) return {};
    }
}

void Statement::reset() noexcept {
    sqlite3_reset(stmt_.get());
    sqlite3_clear_bindings(stmt_.get());
}

Result<void> execute(sqlite3* db, const std::string& sql) {
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
        return fail(last_error(db, RuntimeError::Kind::Storage));
    }
    return {};
}

Result<Transaction> Transaction::begin(sqlite3* db) {
    if (auto begun = execute(db, "BEGIN IMMEDIATE"); !begun) return fail(std::move(begun).error());
    return Transaction(db);
}

Transaction::Transaction(Transaction&& other) noexcept : db_(std::exchange(other.db_, nullptr)) {}

Transaction::~Transaction() {
    if (db_ && !sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

Result<void> Transaction::commit() {
    if (auto committed = execute(db_, "COMMIT"); !committed) return committed;
    db_ = nullptr;
    return {};
}

namespace column {
namespace {

const char* type_name(int type) {
    switch (type) {
        case SQLITE_INTEGER: return "Integer";
        case SQLITE_FLOAT: return "Real";
        case SQLITE_TEXT: return "Text";
        case SQLITE_BLOB: return "Blob";
        default: return "Null";
    }
}

std::string invalid_type(sqlite3_stmt* stmt, int index, int type) {
    const char* name = sqlite3_column_name(stmt, index);
    std::string detail = "Invalid column type ";
    detail.append(type_name(type)).append(" at index: ").append(std::to_string(index));
    detail.append(", name: ").append(name ? name : "");
    return detail;
}

}  // namespace

Expected<std::string, std::string> text(sqlite3_stmt* stmt, int index) {
    const int type = sqlite3_column_type(stmt, index);
    if (type != SQLITE_TEXT) return fail(invalid_type(stmt, index, type));
    const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(stmt, index));
    const auto size = static_cast<std::size_t>(sqlite3_column_bytes(stmt, index));
    if (!bytes) throw std::bad_alloc();  // SQLite could not allocate the text copy
    std::string value(bytes, size);
    auto valid = quenlith_types::check_utf8(value);
    if (!valid) {
        return fail("Conversion error from type Text at index: " + std::to_string(index) + ", " + valid.error());
    }
    return value;
}

Expected<double, std::string> real(sqlite3_stmt* stmt, int index) {
    const int type = sqlite3_column_type(stmt, index);
    if (type == SQLITE_FLOAT) return sqlite3_column_double(stmt, index);
    if (type == SQLITE_INTEGER) return static_cast<double>(sqlite3_column_int64(stmt, index));
    return fail(invalid_type(stmt, index, type));
}

Expected<std::uint64_t, std::string> unsigned_int(sqlite3_stmt* stmt, int index, std::uint64_t max) {
    const int type = sqlite3_column_type(stmt, index);
    if (type != SQLITE_INTEGER) return fail(invalid_type(stmt, index, type));
    const sqlite3_int64 value = sqlite3_column_int64(stmt, index);
    if (value < 0 || static_cast<std::uint64_t>(value) > max) {
        return fail("Integer " + std::to_string(value) + " out of range at index " + std::to_string(index));
    }
    return static_cast<std::uint64_t>(value);
}

bool flag(sqlite3_stmt* stmt, int index) {
    if (sqlite3_column_type(stmt, index) != SQLITE_INTEGER) return false;
    const sqlite3_int64 value = sqlite3_column_int64(stmt, index);
    if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max()) {
        return false;
    }
    return value != 0;
}

}  // namespace column
}  // namespace quenlith_sqlite
