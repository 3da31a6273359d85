#include "query_sql.hpp"

#include <charconv>
#include <cmath>
#include <system_error>

namespace quenlith_sqlite {

using quenlith_core::error::fail;
using quenlith_core::error::Result;
using quenlith_core::error::RuntimeError;

namespace {

constexpr std::string_view kQueryBase =
    "SELECT e.id, e.timestamp, e.source, e.kind, e.content, e.metadata, e.importance,\n"
    "                    m.salience, m.tier, m.occurrence_count, m.last_accessed,\n"
    "                    CASE WHEN EXISTS(SELECT 1 FROM overrides o WHERE o.target_id = e.id) THEN 1 ELSE 0 END "
    "AS is_overridden\n"
    "             FROM events e\n"
    "             JOIN memory_state m ON e.id = m.event_id\n"
    "             WHERE m.tier != 'forgotten'";

// Appends `value` as the body of a single-quoted SQL literal.
void append_quoted(std::string& sql, std::string_view value) {
    for (char c : value) {
        if (c == '\'') sql.push_back('\'');
        sql.push_back(c);
    }
}

Result<void> check_no_nul(std::string_view value) {
    const auto position = value.find('\0');
    if (position == std::string_view::npos) return {};
    return fail(RuntimeError::query("nul byte found in provided data at position: " + std::to_string(position)));
}

}  // namespace

std::string format_plain_decimal(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    // Fixed notation without a precision is the shortest text that reads back
    // as the same double; the largest doubles need a little over 300 digits.
    char buffer[400];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    return std::string(buffer, result.ec == std::errc{} ? result.ptr : buffer);
}

Result<std::string> build_query_sql(const quenlith_types::MemoryQuery& query, SourcePlan source_plan) {
    std::string sql;
    sql.reserve(kQueryBase.size() + 128);
    sql.append(kQueryBase);
    if (query.source) {
        auto ok = check_no_nul(*query.source);
        if (!ok) return fail(std::move(ok).error());
        // A unary plus keeps SQLite from using the source index for the term.
        sql.append(source_plan == SourcePlan::SalienceOrder ? " AND +e.source = '" : " AND e.source = '");
        append_quoted(sql, *query.source);
        sql.push_back('\'');
    }
    if (query.kind) {
        sql.append(" AND e.kind = '").append(quenlith_types::to_text(*query.kind)).push_back('\'');
    }
    if (query.min_salience) {
        sql.append(" AND m.salience >= ").append(format_plain_decimal(*query.min_salience));
    }
    if (query.tier) {
        sql.append(" AND m.tier = '").append(quenlith_types::to_text(*query.tier)).push_back('\'');
    }
    if (query.text) {
        auto ok = check_no_nul(*query.text);
        if (!ok) return fail(std::move(ok).error());
        sql.append(" AND e.content LIKE '%");
        append_quoted(sql, *query.text);
        sql.append("%'");
    }
    sql.append(" ORDER BY m.salience DESC LIMIT ").append(std::to_string(query.limit.value_or(kDefaultQueryLimit)));
    return sql;
}

}  // namespace quenlith_sqlite
