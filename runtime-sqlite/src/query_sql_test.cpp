#include "query_sql.hpp"

#include <limits>

#include <gtest/gtest.h>

namespace {

using quenlith_sqlite::build_query_sql;
using quenlith_sqlite::format_plain_decimal;
using quenlith_types::MemoryQuery;

constexpr std::string_view kBase =
    "SELECT e.id, e.timestamp, e.source, e.kind, e.content, e.metadata, e.importance,\n"
    "                    m.salience, m.tier, m.occurrence_count, m.last_accessed,\n"
    "                    CASE WHEN EXISTS(SELECT 1 FROM overrides o WHERE o.target_id = e.id) THEN 1 ELSE 0 END "
    "AS is_overridden\n"
    "             FROM events e\n"
    "             JOIN memory_state m ON e.id = m.event_id\n"
    "             WHERE m.tier != 'forgotten'";

TEST(QuerySql, NoFilterUsesTheDefaultLimit) {
    EXPECT_EQ(kBase.size(), 403u);
    EXPECT_EQ(build_query_sql(MemoryQuery{}).value(), std::string(kBase) + " ORDER BY m.salience DESC LIMIT 20");
}

TEST(QuerySql, FragmentsComeInFixedOrderWithQuotesDoubled) {
    MemoryQuery query;
    query.text = "O'Brien";
    query.source = "agent";
    query.kind = quenlith_types::EventKind::Decision;
    query.min_salience = 0.5;
    query.tier = quenlith_types::MemoryTier::Hot;
    query.limit = 5;
    EXPECT_EQ(build_query_sql(query).value(),
              std::string(kBase) +
                  " AND e.source = 'agent' AND e.kind = 'decision' AND m.salience >= 0.5 AND m.tier = 'hot'"
                  " AND e.content LIKE '%O''Brien%' ORDER BY m.salience DESC LIMIT 5");
}

TEST(QuerySql, EmptyValuesStillAddTheirFragment) {
    MemoryQuery query;
    query.text = "";
    query.source = "";
    query.limit = std::numeric_limits<std::uint64_t>::max();
    EXPECT_EQ(build_query_sql(query).value(), std::string(kBase) +
                                                  " AND e.source = '' AND e.content LIKE '%%'"
                                                  " ORDER BY m.salience DESC LIMIT 18446744073709551615");
}

TEST(QuerySql, NulInATextValueIsRefused) {
    MemoryQuery query;
    query.text = std::string("ab\0cd", 5);
    auto sql = build_query_sql(query);
    ASSERT_FALSE(sql.ok());
    EXPECT_EQ(sql.error().display(), "query error: nul byte found in provided data at position: 2");
    query.text.reset();
    query.source = std::string("\0", 1);
    EXPECT_EQ(build_query_sql(query).error().display(), "query error: nul byte found in provided data at position: 0");
}

TEST(QuerySql, MinimumSalienceInShortestPlainNotation) {
    const std::pair<double, const char*> cases[] = {
        {2.0, "2"},
        {0.05, "0.05"},
        {1e-7, "0.0000001"},
        {1e20, "100000000000000000000"},
        {-0.0, "-0"},
        {0.1 + 0.2, "0.30000000000000004"},
        {std::numeric_limits<double>::quiet_NaN(), "NaN"},
        {std::numeric_limits<double>::infinity(), "inf"},
        {-std::numeric_limits<double>::infinity(), "-inf"},
    };
    for (const auto& [value, text] : cases) EXPECT_EQ(format_plain_decimal(value), text);
    EXPECT_EQ(format_plain_decimal(5e-324).size(), 326u);
}

}  // namespace
