#include "runtime.hpp"

#include <algorithm>
#include <limits>
#include <mutex>
#include <new>
#include <utility>

#include "json_text.hpp"
#include "lib.hpp"
#include "query_sql.hpp"
#include "row.hpp"
#include "statement.hpp"

namespace quenlith_sqlite::runtime {

using quenlith_core::clock::ClockHandle;
using quenlith_core::clock::SystemClock;
using quenlith_core::error::fail;
using quenlith_core::error::RuntimeError;
using quenlith_core::policy::RuntimePolicy;
using quenlith_core::salience::HeuristicScorer;
using quenlith_types::MemoryTier;
using Kind = RuntimeError::Kind;

namespace {

constexpr int kOpenFlags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX;
constexpr int kBusyTimeoutMs = 5000;

struct DbCloser {
    void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
};
using DbHandle = std::unique_ptr<sqlite3, DbCloser>;

}  // namespace

// The one connection of a store, behind its mutex. An operation that leaves
// by an exception other than std::bad_alloc may have left the connection in
// an undefined state, so the lock counts as abandoned from then on.
// (std::bad_alloc is left out: every write runs inside a transaction that
// the unwinding rolls back, so the connection stays consistent.)
class Connection {
public:
    explicit Connection(DbHandle db) : db_(std::move(db)) {}

    template <class F>
    auto with(F&& operation) -> decltype(operation(static_cast<sqlite3*>(nullptr))) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (abandoned_) {
            throw quenlith_types::InternalFault("the store's lock was abandoned by an earlier internal fault");
        }
        try {
            return operation(db_.get());
        } catch (const std::bad_alloc&) {
            throw;
        } catch (...) {
            abandoned_ = true;
            throw;
        }
    }

private:
    std::mutex mutex_;
    bool abandoned_ = false;
    DbHandle db_;
};

namespace {

// One write transaction. BEGIN IMMEDIATE takes the write lock up front, so a
// writer waiting on another connection goes through the busy timeout instead
// of failing on a lock upgrade. Rolls back unless committed, on every path.
class Transaction {
public:
    static Result<Transaction> begin(sqlite3* db) {
        if (sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
            return fail(last_error(db, Kind::Storage));
        }
        return Transaction(db);
    }
    Transaction(Transaction&& other) noexcept : db_(std::exchange(other.db_, nullptr)) {}
    Transaction& operator=(Transaction&&) = delete;
    ~Transaction() {
        // A failed rollback cannot be reported without hiding the error that
        // caused it; SQLite rolls back by itself when the connection closes.
        if (db_ && !sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }

    Result<void> commit() {
        if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
            return fail(last_error(db_, Kind::Storage));
        }
        db_ = nullptr;
        return {};
    }

private:
    explicit Transaction(sqlite3* db) : db_(db) {}
    sqlite3* db_;
};

RuntimeError storage(std::string detail) { return RuntimeError::storage(std::move(detail)); }

Result<Statement> prepare(sqlite3* db, std::string_view sql) { return Statement::prepare(db, sql, Kind::Storage); }

// Runs a one-row statement and reads column 0 as a count within [0, max].
Result<std::uint64_t> read_count(Statement& statement,
                                 std::uint64_t max = std::numeric_limits<std::int64_t>::max()) {
    auto row = statement.step();
    if (!row) return fail(std::move(row).error());
    if (!row.value()) return fail(storage("query returned no rows"));
    auto value = column::unsigned_int(statement.get(), 0, max);
    if (!value) return fail(storage(std::move(value).error()));
    return value.value();
}

Result<std::uint64_t> count_events(sqlite3* db) {
    auto statement = prepare(db, "SELECT COUNT(*) FROM events");
    if (!statement) return fail(std::move(statement).error());
    return read_count(*statement);
}

// The tiers a sweep can move between, ranked strongest first.
int rank(MemoryTier tier) { return static_cast<int>(tier); }

void count_move(SweepResult& result, MemoryTier from, MemoryTier to) {
    if (from == to) return;
    if (to == MemoryTier::Forgotten) {
        ++result.forgotten;
    } else if (rank(to) < rank(from)) {
        ++result.promoted;
    } else {
        ++result.demoted;
    }
}

}  // namespace

// Counts events and memories per tier on a connection the caller has locked.
Result<TierCounts> count_tiers_inner(sqlite3* db) {
    TierCounts counts;
    auto events = count_events(db);
    if (!events) return fail(std::move(events).error());
    counts.total_events = events.value();

    auto statement = prepare(db, "SELECT COUNT(*) FROM memory_state WHERE tier = ?1");
    if (!statement) return fail(std::move(statement).error());
    std::uint64_t* slots[] = {&counts.hot, &counts.warm, &counts.cold, &counts.forgotten};
    for (std::size_t tier = 0; tier < std::size(slots); ++tier) {
        statement->reset();
        auto bound = statement->bind_text(1, quenlith_types::kMemoryTierTexts[tier]);
        if (!bound) return fail(std::move(bound).error());
        auto count = read_count(*statement);
        if (!count) return fail(std::move(count).error());
        *slots[tier] = count.value();
    }
    return counts;
}

SqliteRuntime::SqliteRuntime(HeuristicScorer scorer, RuntimePolicy policy, std::unique_ptr<Connection> conn)
    : scorer_(std::move(scorer)), policy_(policy), conn_(std::move(conn)) {}

SqliteRuntime::SqliteRuntime(SqliteRuntime&&) noexcept = default;
SqliteRuntime& SqliteRuntime::operator=(SqliteRuntime&&) noexcept = default;
SqliteRuntime::~SqliteRuntime() = default;

Result<SqliteRuntime> SqliteRuntime::open_with_policy(std::string_view path, RuntimePolicy policy) {
    return open_with(path, policy, std::make_shared<const SystemClock>());
}

Result<SqliteRuntime> SqliteRuntime::open_with(std::string_view path, RuntimePolicy policy, ClockHandle clock) {
    const auto nul = path.find('\0');
    if (nul != std::string_view::npos) {
        return fail(storage("nul byte found in provided data at position: " + std::to_string(nul)));
    }
    const std::string c_path(path);
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(c_path.c_str(), &raw, kOpenFlags, nullptr);
    DbHandle db(raw);  // closes a half-opened connection on every failure path
    if (rc != SQLITE_OK) {
        std::string message = raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc);
        if ((rc & 0xff) == SQLITE_CANTOPEN) message.append(": ").append(c_path);
        return fail(storage(std::move(message)));
    }
    sqlite3_extended_result_codes(db.get(), 1);
    sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
    // Debian's SQLite leaves foreign keys off by default; the schema relies on them.
    int enabled = 0;
    if (sqlite3_db_config(db.get(), SQLITE_DBCONFIG_ENABLE_FKEY, 1, &enabled) != SQLITE_OK || !enabled) {
        return fail(last_error(db.get(), Kind::Storage));
    }
    auto initialised = init_db(db.get());
    if (!initialised) return fail(std::move(initialised).error());
    return SqliteRuntime(HeuristicScorer(std::move(clock), policy), policy,
                         std::make_unique<Connection>(std::move(db)));
}

Result<double> SqliteRuntime::record(const quenlith_types::Event& event) const {
    return conn_->with([&](sqlite3* db) -> Result<double> {
        const std::string id = event.id.to_hyphenated();
        const std::string timestamp = quenlith_types::format_rfc3339(event.timestamp);

        auto transaction = Transaction::begin(db);
        if (!transaction) return fail(std::move(transaction).error());

        auto insert = prepare(db,
                              "INSERT INTO events (id, timestamp, source, kind, content, metadata, importance)\n"
                              "             VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)");
        if (!insert) return fail(std::move(insert).error());
        for (auto bound : {insert->bind_text(1, id), insert->bind_text(2, timestamp),
                           insert->bind_text(3, event.source), insert->bind_text(4, to_text(event.kind)),
                           insert->bind_text(5, event.content),
                           insert->bind_text(6, quenlith_types::write_json_compact(event.metadata)),
                           insert->bind_text(7, to_text(event.importance))}) {
            if (!bound) return fail(std::move(bound).error());
        }
        if (auto done = insert->run(); !done) return fail(std::move(done).error());

        auto occurrences = prepare(db, "SELECT COUNT(*) FROM events WHERE content = ?1 AND source = ?2");
        if (!occurrences) return fail(std::move(occurrences).error());
        if (auto b = occurrences->bind_text(1, event.content); !b) return fail(std::move(b).error());
        if (auto b = occurrences->bind_text(2, event.source); !b) return fail(std::move(b).error());
        auto count = read_count(*occurrences, std::numeric_limits<std::uint32_t>::max());
        if (!count) return fail(std::move(count).error());

        const auto occurrence_count = static_cast<std::uint32_t>(count.value());
        const double salience = scorer_.score(event, occurrence_count);
        const MemoryTier tier = policy_.tier_for(salience);

        auto memory = prepare(db,
                              "INSERT OR REPLACE INTO memory_state (event_id, salience, tier, occurrence_count, "
                              "last_accessed)\n             VALUES (?1, ?2, ?3, ?4, ?5)");
        if (!memory) return fail(std::move(memory).error());
        for (auto bound : {memory->bind_text(1, id), memory->bind_double(2, salience),
                           memory->bind_text(3, to_text(tier)), memory->bind_int64(4, occurrence_count),
                           memory->bind_text(5, timestamp)}) {
            if (!bound) return fail(std::move(bound).error());
        }
        if (auto done = memory->run(); !done) return fail(std::move(done).error());

        if (event.overrides) {
            const std::string target = event.overrides->to_hyphenated();
            auto link = prepare(db, "INSERT OR IGNORE INTO overrides (source_id, target_id) VALUES (?1, ?2)");
            if (!link) return fail(std::move(link).error());
            if (auto b = link->bind_text(1, id); !b) return fail(std::move(b).error());
            if (auto b = link->bind_text(2, target); !b) return fail(std::move(b).error());
            if (auto done = link->run(); !done) return fail(std::move(done).error());

            auto demote = prepare(db,
                                  "UPDATE memory_state SET salience = salience * 0.25, tier = 'cold'\n"
                                  "                 WHERE event_id = ?1 AND tier != 'forgotten'");
            if (!demote) return fail(std::move(demote).error());
            if (auto b = demote->bind_text(1, target); !b) return fail(std::move(b).error());
            if (auto done = demote->run(); !done) return fail(std::move(done).error());
        }

        if (auto committed = transaction->commit(); !committed) return fail(std::move(committed).error());
        return salience;
    });
}

Result<std::vector<quenlith_types::ScoredMemory>> SqliteRuntime::query(const quenlith_types::MemoryQuery& query) const {
    return conn_->with([&](sqlite3* db) -> Result<std::vector<quenlith_types::ScoredMemory>> {
        auto sql = build_query_sql(query);
        if (!sql) return fail(std::move(sql).error());
        auto statement = Statement::prepare(db, sql.value(), Kind::Query);
        if (!statement) return fail(std::move(statement).error());

        std::vector<quenlith_types::ScoredMemory> memories;
        for (;;) {
            auto row = statement->step();
            if (!row) return fail(std::move(row).error());
            if (!row.value()) break;
            auto raw = read_raw_row(statement->get());
            if (!raw) return fail(RuntimeError::query(std::move(raw).error()));
            auto memory = std::move(raw).value().into_scored_memory();
            if (!memory) return fail(std::move(memory).error());
            memories.push_back(std::move(memory).value());
        }
        return memories;
    });
}

Result<std::uint64_t> SqliteRuntime::count() const {
    return conn_->with([](sqlite3* db) { return count_events(db); });
}

Result<SweepResult> SqliteRuntime::sweep() const {
    return conn_->with([&](sqlite3* db) -> Result<SweepResult> {
        auto transaction = Transaction::begin(db);
        if (!transaction) return fail(std::move(transaction).error());

        // Read every live memory first, then write: the SELECT is finished
        // before the first UPDATE runs.
        std::vector<RawRow> rows;
        {
            auto select = prepare(db,
                                  "SELECT e.id, e.timestamp, e.source, e.kind, e.content, e.metadata, e.importance,\n"
                                  "                        m.salience, m.tier, m.occurrence_count, m.last_accessed,\n"
                                  "                        CASE WHEN EXISTS(SELECT 1 FROM overrides o WHERE "
                                  "o.target_id = e.id) THEN 1 ELSE 0 END\n"
                                  "                 FROM events e\n"
                                  "                 JOIN memory_state m ON e.id = m.event_id\n"
                                  "                 WHERE m.tier != 'forgotten'");
            if (!select) return fail(std::move(select).error());
            for (;;) {
                auto row = select->step();
                if (!row) return fail(std::move(row).error());
                if (!row.value()) break;
                auto raw = read_raw_row(select->get());
                if (!raw) return fail(storage(std::move(raw).error()));
                rows.push_back(std::move(raw).value());
            }
        }

        auto update = prepare(db, "UPDATE memory_state SET salience = ?1, tier = ?2 WHERE event_id = ?3");
        if (!update) return fail(std::move(update).error());
        SweepResult result;
        for (RawRow& raw : rows) {
            // Written back under the key it was read with, whatever UUID text
            // form another writer stored it in.
            const std::string key = raw.id;
            auto memory = std::move(raw).into_scored_memory();
            if (!memory) return fail(std::move(memory).error());
            const double salience = scorer_.score(memory->event, memory->occurrence_count);
            const MemoryTier tier = policy_.tier_for(salience);
            count_move(result, memory->tier, tier);

            update->reset();
            for (auto bound : {update->bind_double(1, salience), update->bind_text(2, to_text(tier)),
                               update->bind_text(3, key)}) {
                if (!bound) return fail(std::move(bound).error());
            }
            if (auto done = update->run(); !done) return fail(std::move(done).error());
            ++result.total_processed;
        }

        auto counts = count_tiers_inner(db);
        if (!counts) return fail(std::move(counts).error());
        auto snapshot = prepare(db,
                                "INSERT INTO snapshots (timestamp, hot, warm, cold, forgotten) VALUES (?1, ?2, ?3, "
                                "?4, ?5)");
        if (!snapshot) return fail(std::move(snapshot).error());
        const std::string now = quenlith_types::format_rfc3339(quenlith_types::system_now_or_throw());
        for (auto bound : {snapshot->bind_text(1, now), snapshot->bind_int64(2, static_cast<std::int64_t>(counts->hot)),
                           snapshot->bind_int64(3, static_cast<std::int64_t>(counts->warm)),
                           snapshot->bind_int64(4, static_cast<std::int64_t>(counts->cold)),
                           snapshot->bind_int64(5, static_cast<std::int64_t>(counts->forgotten))}) {
            if (!bound) return fail(std::move(bound).error());
        }
        if (auto done = snapshot->run(); !done) return fail(std::move(done).error());

        if (auto committed = transaction->commit(); !committed) return fail(std::move(committed).error());
        return result;
    });
}

Result<TierCounts> SqliteRuntime::inspect() const {
    return conn_->with([](sqlite3* db) { return count_tiers_inner(db); });
}

Result<std::vector<Snapshot>> SqliteRuntime::get_snapshots(std::uint64_t limit) const {
    return conn_->with([&](sqlite3* db) -> Result<std::vector<Snapshot>> {
        auto statement =
            prepare(db, "SELECT timestamp, hot, warm, cold, forgotten FROM snapshots ORDER BY id DESC LIMIT ?1");
        if (!statement) return fail(std::move(statement).error());
        if (limit > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return fail(storage("out of range integral type conversion attempted"));
        }
        if (auto b = statement->bind_int64(1, static_cast<std::int64_t>(limit)); !b) return fail(std::move(b).error());

        std::vector<Snapshot> snapshots;
        for (;;) {
            auto row = statement->step();
            if (!row) return fail(std::move(row).error());
            if (!row.value()) break;
            sqlite3_stmt* stmt = statement->get();
            Snapshot snapshot;
            auto timestamp = column::text(stmt, 0);
            if (!timestamp) return fail(storage(std::move(timestamp).error()));
            snapshot.timestamp = std::move(timestamp).value();
            std::uint64_t* counts[] = {&snapshot.hot, &snapshot.warm, &snapshot.cold, &snapshot.forgotten};
            for (int i = 0; i < 4; ++i) {
                auto value = column::unsigned_int(stmt, i + 1, std::numeric_limits<std::int64_t>::max());
                if (!value) return fail(storage(std::move(value).error()));
                *counts[i] = value.value();
            }
            snapshots.push_back(std::move(snapshot));
        }
        std::reverse(snapshots.begin(), snapshots.end());
        return snapshots;
    });
}

Result<std::vector<double>> SqliteRuntime::get_salience_distribution() const {
    return conn_->with([](sqlite3* db) -> Result<std::vector<double>> {
        auto statement =
            prepare(db, "SELECT salience FROM memory_state WHERE tier != 'forgotten' ORDER BY salience DESC");
        if (!statement) return fail(std::move(statement).error());
        std::vector<double> values;
        for (;;) {
            auto row = statement->step();
            if (!row) return fail(std::move(row).error());
            if (!row.value()) break;
            auto value = column::real(statement->get(), 0);
            if (!value) return fail(storage(std::move(value).error()));
            values.push_back(value.value());
        }
        return values;
    });
}

}  // namespace quenlith_sqlite::runtime
