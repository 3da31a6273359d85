#pragma once
// Prepared statements with one owner each, and SQLite failures as values.
// Every prepare has exactly one finalize, on every path, through the handle.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include <sqlite3.h>

#include "error.hpp"
#include "expected.hpp"

namespace quenlith_sqlite {

using quenlith_core::error::Result;
using quenlith_core::error::RuntimeError;

// The connection's current error as a RuntimeError of `kind`.
[[nodiscard]] RuntimeError last_error(sqlite3* db, RuntimeError::Kind kind);

// Runs SQL text without results; a failure is a Storage error.
[[nodiscard]] Result<void> execute(sqlite3* db, const std::string& sql);

class Statement {
public:
    // Prepares the first statement of `sql`. `consumed`, when given, receives
    // the number of bytes of `sql` the statement (and leading blanks) took.
    // A prepare failure reads "{message} in {sql} at offset {n}" when SQLite
    // knows the position, else the message alone.
    [[nodiscard]] static Result<Statement> prepare(sqlite3* db, std::string_view sql, RuntimeError::Kind kind,
                                                   std::size_t* consumed = nullptr);

    // False when the text held only blanks or comments.
    [[nodiscard]] bool has_statement() const noexcept { return stmt_ != nullptr; }
    [[nodiscard]] sqlite3_stmt* get() const noexcept { return stmt_.get(); }

    // Binders take 1-based indexes; text is copied by SQLite.
    [[nodiscard]] Result<void> bind_text(int index, std::string_view text);
    [[nodiscard]] Result<void> bind_double(int index, double value);
    [[nodiscard]] Result<void> bind_int64(int index, std::int64_t value);
    // Binds the values to ?1, ?2, ... in order; the first failure wins.
    template <class... Values>
    [[nodiscard]] Result<void> bind_all(const Values&... values);

    // One step: true when a row is ready, false when the statement is done.
    [[nodiscard]] Result<bool> step();
    // Steps to completion, ignoring rows.
    [[nodiscard]] Result<void> run();
    // Makes the statement ready to run again with new bindings.
    void reset() noexcept;

private:
    struct Finalizer {
        void operator()(sqlite3_stmt* stmt) const noexcept { sqlite3_finalize(stmt); }
    };

    Statement(sqlite3* db, sqlite3_stmt* stmt, RuntimeError::Kind kind) : db_(db), stmt_(stmt), kind_(kind) {}
    [[nodiscard]] Result<void> check_bind(int rc);

    sqlite3* db_;
    std::unique_ptr<sqlite3_stmt, Finalizer> stmt_;
    RuntimeError::Kind kind_;
};

template <class... Values>
Result<void> Statement::bind_all(const Values&... values) {
    int index = 0;
    Result<void> failure;
    auto bind = [&](const auto& value) {
        Result<void> bound = [&] {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_floating_point_v<T>) {
                return bind_double(++index, value);
            } else if constexpr (std::is_integral_v<T>) {
                return bind_int64(++index, static_cast<std::int64_t>(value));
            } else {
                return bind_text(++index, std::string_view(value));
            }
        }();
        if (bound) return true;
        failure = std::move(bound);
        return false;
    };
    (bind(values) && ...);
    return failure;
}

// A statement borrowed from a cache for one use: reset (bindings cleared,
// any read lock it held released) when the lease ends.
class StatementLease {
public:
    explicit StatementLease(Statement& statement) noexcept : statement_(&statement) {}
    StatementLease(StatementLease&& other) noexcept : statement_(std::exchange(other.statement_, nullptr)) {}
    StatementLease& operator=(StatementLease&&) = delete;
    ~StatementLease() {
        if (statement_) statement_->reset();
    }

    Statement* operator->() const noexcept { return statement_; }
    Statement& operator*() const noexcept { return *statement_; }

private:
    Statement* statement_;
};

// One write transaction. BEGIN IMMEDIATE takes the write lock up front, so a
// writer waiting on another connection goes through the busy timeout instead
// of failing on a lock upgrade. Rolls back unless committed, on every path;
// a failed rollback is not reported, so it never hides the error that led
// to it (SQLite also rolls back when the connection closes).
class Transaction {
public:
    [[nodiscard]] static Result<Transaction> begin(sqlite3* db);
    Transaction(Transaction&& other) noexcept;
    Transaction& operator=(Transaction&&) = delete;
    ~Transaction();

    [[nodiscard]] Result<void> commit();

private:
    explicit Transaction(sqlite3* db) noexcept : db_(db) {}
    sqlite3* db_;  // null once committed or moved from
};

// Column reads with fixed rules; a failure is the detail text of the read,
// e.g. "Invalid column type Null at index: 1, name: timestamp".
namespace column {

[[nodiscard]] quenlith_types::Expected<std::string, std::string> text(sqlite3_stmt* stmt, int index);
// REAL unchanged, INTEGER converted.
[[nodiscard]] quenlith_types::Expected<double, std::string> real(sqlite3_stmt* stmt, int index);
// INTEGER within [0, max].
[[nodiscard]] quenlith_types::Expected<std::uint64_t, std::string> unsigned_int(sqlite3_stmt* stmt, int index,
                                                                                std::uint64_t max);
// Any INTEGER within the signed 32-bit range other than 0 is true; anything
// else (NULL, REAL, TEXT, out of range) reads as false. Never fails.
[[nodiscard]] bool flag(sqlite3_stmt* stmt, int index);

}  // namespace column

}  // namespace quenlith_sqlite
