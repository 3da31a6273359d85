#pragma once
// SqliteRuntime: the memory store over one SQLite connection.
//
// Thread safety: every operation takes the store's mutex for its whole run,
// so one store may be shared between threads. If an operation is ever
// abandoned by an internal fault while holding the mutex, the store counts as
// poisoned and every later operation throws quenlith_types::InternalFault.
//
// Errors: every operation returns its value or a RuntimeError. Only internal
// faults and std::bad_alloc are thrown.

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include <sqlite3.h>

#include "clock.hpp"
#include "error.hpp"
#include "policy.hpp"
#include "quenlith_types.hpp"
#include "salience.hpp"

namespace quenlith_sqlite::runtime {

using quenlith_core::error::Result;

struct SweepResult {
    std::uint64_t total_processed = 0;
    std::uint64_t promoted = 0;
    std::uint64_t demoted = 0;
    std::uint64_t forgotten = 0;
};

struct TierCounts {
    std::uint64_t total_events = 0;
    std::uint64_t hot = 0;
    std::uint64_t warm = 0;
    std::uint64_t cold = 0;
    std::uint64_t forgotten = 0;
};

struct Snapshot {
    std::string timestamp;  // as stored, not parsed
    std::uint64_t hot = 0;
    std::uint64_t warm = 0;
    std::uint64_t cold = 0;
    std::uint64_t forgotten = 0;
};

class Connection;  // the guarded sqlite3 handle, defined in runtime.cpp

// Counts events and memories per tier on a connection whose store lock the
// caller already holds (the sweep and `inspect`).
[[nodiscard]] Result<TierCounts> count_tiers_inner(sqlite3* db);

class SqliteRuntime {
public:
    // Opens `path` with a new SystemClock.
    [[nodiscard]] static Result<SqliteRuntime> open_with_policy(std::string_view path,
                                                                quenlith_core::policy::RuntimePolicy policy);
    // Opens (creating when missing) the database at `path` and runs the
    // schema script. On failure nothing is left open.
    [[nodiscard]] static Result<SqliteRuntime> open_with(std::string_view path,
                                                         quenlith_core::policy::RuntimePolicy policy,
                                                         quenlith_core::clock::ClockHandle clock);

    SqliteRuntime(SqliteRuntime&&) noexcept;
    SqliteRuntime& operator=(SqliteRuntime&&) noexcept;
    SqliteRuntime(const SqliteRuntime&) = delete;
    SqliteRuntime& operator=(const SqliteRuntime&) = delete;
    ~SqliteRuntime();  // closes the connection; a failure to close is ignored

    // Stores the event and its memory, links and demotes an overridden
    // target, all in one transaction. Returns the new memory's salience.
    [[nodiscard]] Result<double> record(const quenlith_types::Event& event) const;
    // Live memories matching the filter, highest stored salience first.
    [[nodiscard]] Result<std::vector<quenlith_types::ScoredMemory>> query(
        const quenlith_types::MemoryQuery& query) const;
    // Rows of `events`.
    [[nodiscard]] Result<std::uint64_t> count() const;
    // Rescores every live memory and appends a snapshot, in one transaction.
    // `before_commit`, when given, sees the result while the transaction is
    // still open (for a caller that must prepare what it hands on before the
    // change becomes final); if it returns false the sweep is rolled back and
    // fails.
    [[nodiscard]] Result<SweepResult> sweep(const std::function<bool(const SweepResult&)>& before_commit = {}) const;
    [[nodiscard]] Result<TierCounts> inspect() const;
    // The newest `limit` snapshots, oldest first.
    [[nodiscard]] Result<std::vector<Snapshot>> get_snapshots(std::uint64_t limit) const;
    // Salience of every live memory, largest first.
    [[nodiscard]] Result<std::vector<double>> get_salience_distribution() const;

    [[nodiscard]] const quenlith_core::policy::RuntimePolicy& policy() const noexcept { return policy_; }

private:
    SqliteRuntime(quenlith_core::salience::HeuristicScorer scorer, quenlith_core::policy::RuntimePolicy policy,
                  std::unique_ptr<Connection> conn);

    quenlith_core::salience::HeuristicScorer scorer_;
    quenlith_core::policy::RuntimePolicy policy_;
    std::unique_ptr<Connection> conn_;
};

}  // namespace quenlith_sqlite::runtime
