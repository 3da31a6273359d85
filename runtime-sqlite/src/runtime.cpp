#include "runtime.hpp"

#include <algorithm>
#include <chrono>
#include <compare>
#include <limits>
#include <list>
#include <mutex>
#include <new>
#include <unordered_map>
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
// SQLite's default page cache (2 MiB) is smaller than the pages one query of
// a large store touches, so every query would reread them from the operating
// system; 8 MiB holds them and bounds what a sweep keeps in memory.
constexpr const char* kPageCacheSetting = "PRAGMA cache_size = -8192";

// Waiting out another connection's lock. SQLite's own busy timeout sleeps
// ever longer between retries (up to 100 ms at a time), so under sustained
// load a waiter keeps missing the short gaps between other writers'
// transactions and gives up; retrying every millisecond for the same five
// seconds finds them.
struct BusyWait {
    std::chrono::steady_clock::time_point started;
};

int retry_while_busy(void* context, int attempts) noexcept {
    auto& wait = *static_cast<BusyWait*>(context);
    const auto now = std::chrono::steady_clock::now();
    if (attempts == 0) wait.started = now;
    if (now - wait.started >= std::chrono::milliseconds(kBusyTimeoutMs)) return 0;
    sqlite3_sleep(1);
    return 1;
}

struct DbCloser {
    void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
};
using DbHandle = std::unique_ptr<sqlite3, DbCloser>;

// The store's fixed statements. Each is prepared once per connection and
// reused; the connection's cache is keyed by the address of the text.
constexpr std::string_view kInsertEvent =
    "INSERT INTO events (id, timestamp, source, kind, content, metadata, importance)\n"
    "             VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)";
// The extra term lets SQLite seek the (source, content) index directly.
constexpr std::string_view kCountOccurrences = "SELECT COUNT(*) FROM events WHERE content = ?1 AND source = ?2";
constexpr std::string_view kInsertMemory =
    "INSERT OR REPLACE INTO memory_state (event_id, salience, tier, occurrence_count, last_accessed)\n"
    "             VALUES (?1, ?2, ?3, ?4, ?5)";
constexpr std::string_view kLinkOverride = "INSERT OR IGNORE INTO overrides (source_id, target_id) VALUES (?1, ?2)";
constexpr std::string_view kDemoteTarget =
    "UPDATE memory_state SET salience = salience * 0.25, tier = 'cold'\n"
    "                 WHERE event_id = ?1 AND tier != 'forgotten'";
constexpr std::string_view kCountEvents = "SELECT COUNT(*) FROM events";
// Column 11, the override flag, is not used by the sweep, so it is not
// computed; column 12 is the key each memory is written back under.
constexpr std::string_view kSweepSelect =
    "SELECT e.id, e.timestamp, e.source, e.kind, e.content, e.metadata, e.importance,\n"
    "                        m.salience, m.tier, m.occurrence_count, m.last_accessed, 0, m.rowid\n"
    "                 FROM events e\n"
    "                 JOIN memory_state m ON e.id = m.event_id\n"
    "                 WHERE m.tier != 'forgotten'";
constexpr std::string_view kSweepUpdate = "UPDATE memory_state SET salience = ?1, tier = ?2 WHERE rowid = ?3";
constexpr std::string_view kInsertSnapshot =
    "INSERT INTO snapshots (timestamp, hot, warm, cold, forgotten) VALUES (?1, ?2, ?3, ?4, ?5)";
// All counts in one statement, so they describe one state of the file even
// while other connections write. Forgotten memories, the bulk of an old
// store, are not counted one by one: column 4 counts the memories whose tier
// is one of the four (all of them, less the tier texts that are none of the
// four: normally none, and each such range is one index probe), and the
// forgotten ones are those less the three live tiers.
constexpr std::string_view kCountTiers =
    "SELECT (SELECT COUNT(*) FROM events),\n"
    "       (SELECT COUNT(*) FROM memory_state WHERE tier = 'hot'),\n"
    "       (SELECT COUNT(*) FROM memory_state WHERE tier = 'warm'),\n"
    "       (SELECT COUNT(*) FROM memory_state WHERE tier = 'cold'),\n"
    "       (SELECT COUNT(*) FROM memory_state)\n"
    "         - (SELECT COUNT(*) FROM memory_state WHERE tier < 'cold')\n"
    "         - (SELECT COUNT(*) FROM memory_state WHERE tier > 'cold' AND tier < 'forgotten')\n"
    "         - (SELECT COUNT(*) FROM memory_state WHERE tier > 'forgotten' AND tier < 'hot')\n"
    "         - (SELECT COUNT(*) FROM memory_state WHERE tier > 'hot' AND tier < 'warm')\n"
    "         - (SELECT COUNT(*) FROM memory_state WHERE tier > 'warm')";
constexpr std::string_view kReadSnapshots =
    "SELECT timestamp, hot, warm, cold, forgotten FROM snapshots ORDER BY id DESC LIMIT ?1";
constexpr std::string_view kReadSalience =
    "SELECT salience FROM memory_state WHERE tier != 'forgotten' ORDER BY salience DESC";
constexpr std::string_view kCountSourceUpTo = "SELECT COUNT(*) FROM (SELECT 1 FROM events WHERE source = ?1 LIMIT ?2)";

// A source with at least this many events is searched down the salience
// index (about limit * memories / this many rows visited at worst); below
// it, its events are found through the source index and sorted.
constexpr std::int64_t kSourceSortCap = 4000;

}  // namespace

// The one connection of a store, behind its mutex, with its cache of
// prepared statements. An operation that leaves by an exception other than
// std::bad_alloc may have left the connection in an undefined state, so the
// lock counts as abandoned from then on. (std::bad_alloc is left out: every
// write runs inside a transaction that the unwinding rolls back.)
class Connection {
public:
    Connection(DbHandle db, std::unique_ptr<BusyWait> busy_wait)
        : busy_wait_(std::move(busy_wait)), db_(std::move(db)) {}

    template <class F>
    auto with(F&& operation) -> decltype(operation(std::declval<Connection&>())) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (abandoned_) {
            throw quenlith_types::InternalFault("the store's lock was abandoned by an earlier internal fault");
        }
        try {
            return operation(*this);
        } catch (const std::bad_alloc&) {
            throw;
        } catch (...) {
            abandoned_ = true;
            throw;
        }
    }

    [[nodiscard]] sqlite3* db() const noexcept { return db_.get(); }

    // One of the fixed statements above, prepared on first use.
    [[nodiscard]] Result<StatementLease> cached(std::string_view sql, Kind kind = Kind::Storage) {
        auto found = cache_.find(sql.data());
        if (found == cache_.end()) {
            auto prepared = Statement::prepare(db(), sql, kind);
            if (!prepared) return fail(std::move(prepared).error());
            found = cache_.emplace(sql.data(), std::move(prepared).value()).first;
        }
        return StatementLease(found->second);
    }

    // A memory query's statement, whose text carries its filter values.
    // Agents tend to repeat the same few queries, and preparing the join
    // costs more than running it for a small limit, so the most recently
    // used texts stay prepared.
    [[nodiscard]] Result<StatementLease> cached_query(std::string sql) {
        auto found = std::find_if(recent_queries_.begin(), recent_queries_.end(),
                                  [&](const RecentQuery& recent) { return recent.sql == sql; });
        if (found == recent_queries_.end()) {
            auto prepared = Statement::prepare(db(), sql, Kind::Query);
            if (!prepared) return fail(std::move(prepared).error());
            if (recent_queries_.size() == kRecentQueries) recent_queries_.pop_back();
            recent_queries_.push_front(RecentQuery{std::move(sql), std::move(prepared).value()});
        } else {
            recent_queries_.splice(recent_queries_.begin(), recent_queries_, found);
        }
        return StatementLease(recent_queries_.front().statement);
    }

private:
    struct RecentQuery {
        std::string sql;
        Statement statement;
    };
    static constexpr std::size_t kRecentQueries = 16;

    std::mutex mutex_;
    bool abandoned_ = false;
    std::unique_ptr<BusyWait> busy_wait_;  // outlives db_, whose busy handler uses it
    DbHandle db_;
    // Declared after db_ so that every statement is finalized before the close.
    std::unordered_map<const char*, Statement> cache_;
    std::list<RecentQuery> recent_queries_;  // most recently used first
};

namespace {

RuntimeError storage(std::string detail) { return RuntimeError::storage(std::move(detail)); }

// Steps a one-row statement and reads column 0 as a count within [0, max].
Result<std::uint64_t> read_count(Statement& statement, std::uint64_t max = std::numeric_limits<std::int64_t>::max(),
                                 Kind kind = Kind::Storage) {
    auto row = statement.step();
    if (!row) return fail(std::move(row).error());
    if (!row.value()) return fail(RuntimeError::storage("query returned no rows"));
    auto value = column::unsigned_int(statement.get(), 0, max);
    if (!value) {
        return fail(kind == Kind::Query ? RuntimeError::query(std::move(value).error()) : storage(std::move(value).error()));
    }
    return value.value();
}

Result<std::uint64_t> count_events(sqlite3* db) {
    auto statement = Statement::prepare(db, kCountEvents, Kind::Storage);
    if (!statement) return fail(std::move(statement).error());
    return read_count(*statement);
}

// Tiers are ranked strongest first, in declaration order.
void count_move(SweepResult& result, MemoryTier from, MemoryTier to) {
    if (from == to) return;
    if (to == MemoryTier::Forgotten) {
        ++result.forgotten;
    } else if (static_cast<int>(to) < static_cast<int>(from)) {
        ++result.promoted;
    } else {
        ++result.demoted;
    }
}

// What the sweep keeps of each memory between reading and writing.
struct Rescored {
    std::int64_t key;
    double old_salience;
    double salience;
    MemoryTier tier;
};

// Writing back in the order of the old salience walks both salience indexes
// from one end to the other instead of jumping about in them: a quarter
// less time for a large store, where the update dominates the sweep.
void order_for_writing(std::vector<Rescored>& rescored) {
    // strong_order: a total order even over infinities and NaN.
    std::sort(rescored.begin(), rescored.end(), [](const Rescored& a, const Rescored& b) {
        return std::strong_order(a.old_salience, b.old_salience) < 0;
    });
}

// Runs one of the fixed statements that returns no rows.
template <class... Values>
Result<void> run_cached(Connection& conn, std::string_view sql, const Values&... values) {
    auto statement = conn.cached(sql);
    if (!statement) return fail(std::move(statement).error());
    auto bound = (*statement)->bind_all(values...);
    if (!bound) return bound;
    return (*statement)->run();
}

// Runs one of the fixed counting statements; the count must lie in [0, max].
template <class... Values>
Result<std::uint64_t> count_cached(Connection& conn, std::string_view sql, Kind kind, std::uint64_t max,
                                   const Values&... values) {
    auto statement = conn.cached(sql, kind);
    if (!statement) return fail(std::move(statement).error());
    if (auto bound = (*statement)->bind_all(values...); !bound) return fail(std::move(bound).error());
    return read_count(**statement, max, kind);
}

}  // namespace

Result<TierCounts> count_tiers_inner(sqlite3* db) {
    auto statement = Statement::prepare(db, kCountTiers, Kind::Storage);
    if (!statement) return fail(std::move(statement).error());
    auto row = statement->step();
    if (!row) return fail(std::move(row).error());
    if (!row.value()) return fail(storage("query returned no rows"));

    std::uint64_t values[5] = {};
    for (int index = 0; index < 5; ++index) {
        auto count = column::unsigned_int(statement->get(), index, std::numeric_limits<std::int64_t>::max());
        if (!count) return fail(storage(std::move(count).error()));
        values[index] = count.value();
    }
    const auto [total_events, hot, warm, cold, with_known_tier] = values;
    return TierCounts{total_events, hot, warm, cold, with_known_tier - hot - warm - cold};
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
    auto busy_wait = std::make_unique<BusyWait>();  // declared first: it outlives the connection
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(c_path.c_str(), &raw, kOpenFlags, nullptr);
    DbHandle db(raw);  // closes a half-opened connection on every failure path
    if (rc != SQLITE_OK) {
        std::string message = raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc);
        if ((rc & 0xff) == SQLITE_CANTOPEN) message.append(": ").append(c_path);
        return fail(storage(std::move(message)));
    }
    sqlite3_extended_result_codes(db.get(), 1);
    sqlite3_busy_handler(db.get(), retry_while_busy, busy_wait.get());
    if (auto sized = execute(db.get(), kPageCacheSetting); !sized) return fail(std::move(sized).error());
    // Debian's SQLite leaves foreign keys off by default; the schema relies on them.
    int enabled = 0;
    if (sqlite3_db_config(db.get(), SQLITE_DBCONFIG_ENABLE_FKEY, 1, &enabled) != SQLITE_OK || !enabled) {
        return fail(last_error(db.get(), Kind::Storage));
    }
    auto initialised = init_db(db.get());
    if (!initialised) return fail(std::move(initialised).error());
    if (auto plain = check_no_foreign_objects(db.get()); !plain) return fail(std::move(plain).error());
    upgrade_indexes(db.get());
    return SqliteRuntime(HeuristicScorer(std::move(clock), policy), policy,
                         std::make_unique<Connection>(std::move(db), std::move(busy_wait)));
}

Result<double> SqliteRuntime::record(const quenlith_types::Event& event) const {
    return conn_->with([&](Connection& conn) -> Result<double> {
        const std::string id = event.id.to_hyphenated();
        const std::string timestamp = quenlith_types::format_rfc3339(event.timestamp);
        const std::string metadata = quenlith_types::write_json_compact(event.metadata);

        auto transaction = Transaction::begin(conn.db());
        if (!transaction) return fail(std::move(transaction).error());

        auto inserted = run_cached(conn, kInsertEvent, id, timestamp, event.source, to_text(event.kind), event.content,
                                   metadata, to_text(event.importance));
        if (!inserted) return fail(std::move(inserted).error());

        auto count = count_cached(conn, kCountOccurrences, Kind::Storage, std::numeric_limits<std::uint32_t>::max(),
                                  event.content, event.source);
        if (!count) return fail(std::move(count).error());
        const auto occurrence_count = static_cast<std::uint32_t>(count.value());
        const double salience = scorer_.score(event, occurrence_count);
        const MemoryTier tier = policy_.tier_for(salience);

        auto written = run_cached(conn, kInsertMemory, id, salience, to_text(tier), occurrence_count, timestamp);
        if (!written) return fail(std::move(written).error());

        if (event.overrides) {
            const std::string target = event.overrides->to_hyphenated();
            auto linked = run_cached(conn, kLinkOverride, id, target);
            if (!linked) return fail(std::move(linked).error());
            auto demoted = run_cached(conn, kDemoteTarget, target);
            if (!demoted) return fail(std::move(demoted).error());
        }

        if (auto committed = transaction->commit(); !committed) return fail(std::move(committed).error());
        return salience;
    });
}

Result<std::vector<quenlith_types::ScoredMemory>> SqliteRuntime::query(const quenlith_types::MemoryQuery& query) const {
    return conn_->with([&](Connection& conn) -> Result<std::vector<quenlith_types::ScoredMemory>> {
        SourcePlan plan = SourcePlan::IndexThenSort;
        // With a tier filter the tier index serves the order; otherwise pick
        // by how many events the source has, counting no further than needed.
        if (query.source && !query.tier) {
            auto matches = count_cached(conn, kCountSourceUpTo, Kind::Query, std::numeric_limits<std::int64_t>::max(),
                                        *query.source, kSourceSortCap);
            if (!matches) return fail(std::move(matches).error());
            if (matches.value() >= static_cast<std::uint64_t>(kSourceSortCap)) plan = SourcePlan::SalienceOrder;
        }
        auto sql = build_query_sql(query, plan);
        if (!sql) return fail(std::move(sql).error());
        auto statement = conn.cached_query(std::move(sql).value());
        if (!statement) return fail(std::move(statement).error());

        std::vector<quenlith_types::ScoredMemory> memories;
        for (;;) {
            auto row = (*statement)->step();
            if (!row) return fail(std::move(row).error());
            if (!row.value()) break;
            auto raw = read_raw_row((*statement)->get());
            if (!raw) return fail(RuntimeError::query(std::move(raw).error()));
            auto memory = std::move(raw).value().into_scored_memory();
            if (!memory) return fail(std::move(memory).error());
            memories.push_back(std::move(memory).value());
        }
        return memories;
    });
}

Result<std::uint64_t> SqliteRuntime::count() const {
    return conn_->with([](Connection& conn) { return count_events(conn.db()); });
}

Result<SweepResult> SqliteRuntime::sweep(const std::function<bool(const SweepResult&)>& before_commit) const {
    return conn_->with([&](Connection& conn) -> Result<SweepResult> {
        auto transaction = Transaction::begin(conn.db());
        if (!transaction) return fail(std::move(transaction).error());

        // Every live memory is read and rescored first, keeping only its key,
        // new salience and tier, then written back once the SELECT is done.
        SweepResult result;
        std::vector<Rescored> rescored;
        {
            auto select = conn.cached(kSweepSelect);
            if (!select) return fail(std::move(select).error());
            for (;;) {
                auto row = (*select)->step();
                if (!row) return fail(std::move(row).error());
                if (!row.value()) break;
                sqlite3_stmt* stmt = (*select)->get();
                auto raw = read_raw_row(stmt);
                if (!raw) return fail(storage(std::move(raw).error()));
                const std::int64_t key = sqlite3_column_int64(stmt, 12);
                auto memory = std::move(raw).value().into_scored_memory();
                if (!memory) return fail(std::move(memory).error());
                const double salience = scorer_.score(memory->event, memory->occurrence_count);
                const MemoryTier tier = policy_.tier_for(salience);
                count_move(result, memory->tier, tier);
                rescored.push_back(Rescored{key, memory->salience, salience, tier});
            }
        }
        order_for_writing(rescored);

        auto update = conn.cached(kSweepUpdate);
        if (!update) return fail(std::move(update).error());
        for (const Rescored& memory : rescored) {
            (*update)->reset();
            auto written = (*update)->bind_all(memory.salience, to_text(memory.tier), memory.key);
            if (written) written = (*update)->run();
            if (!written) return fail(std::move(written).error());
            ++result.total_processed;
        }

        auto counts = count_tiers_inner(conn.db());
        if (!counts) return fail(std::move(counts).error());
        auto snapshot = conn.cached(kInsertSnapshot);
        if (!snapshot) return fail(std::move(snapshot).error());
        const std::string now = quenlith_types::format_rfc3339(quenlith_types::system_now_or_throw());
        auto appended = (*snapshot)->bind_all(now, counts->hot, counts->warm, counts->cold, counts->forgotten);
        if (appended) appended = (*snapshot)->run();
        if (!appended) return fail(std::move(appended).error());

        if (before_commit && !before_commit(result)) return fail(storage("the sweep's result could not be delivered"));
        if (auto committed = transaction->commit(); !committed) return fail(std::move(committed).error());
        return result;
    });
}

Result<TierCounts> SqliteRuntime::inspect() const {
    return conn_->with([](Connection& conn) { return count_tiers_inner(conn.db()); });
}

Result<std::vector<Snapshot>> SqliteRuntime::get_snapshots(std::uint64_t limit) const {
    return conn_->with([&](Connection& conn) -> Result<std::vector<Snapshot>> {
        if (limit > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return fail(storage("out of range integral type conversion attempted"));
        }
        auto statement = conn.cached(kReadSnapshots);
        if (!statement) return fail(std::move(statement).error());
        if (auto bound = (*statement)->bind_all(limit); !bound) return fail(std::move(bound).error());

        std::vector<Snapshot> snapshots;
        for (;;) {
            auto row = (*statement)->step();
            if (!row) return fail(std::move(row).error());
            if (!row.value()) break;
            sqlite3_stmt* stmt = (*statement)->get();
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
    return conn_->with([](Connection& conn) -> Result<std::vector<double>> {
        auto statement = conn.cached(kReadSalience);
        if (!statement) return fail(std::move(statement).error());
        std::vector<double> values;
        for (;;) {
            auto row = (*statement)->step();
            if (!row) return fail(std::move(row).error());
            if (!row.value()) break;
            auto value = column::real((*statement)->get(), 0);
            if (!value) return fail(storage(std::move(value).error()));
            values.push_back(value.value());
        }
        return values;
    });
}

}  // namespace quenlith_sqlite::runtime
