#include "row.hpp"

#include <limits>

#include "json_text.hpp"
#include "statement.hpp"

namespace quenlith_sqlite {

using quenlith_core::error::fail;
using quenlith_core::error::Result;
using quenlith_core::error::RuntimeError;
using quenlith_types::Expected;

namespace {

// Assigns a successful read to `out`, or returns its detail text.
template <class T>
bool take(Expected<T, std::string>&& read, T& out, std::string& error) {
    if (!read) {
        error = std::move(read).error();
        return false;
    }
    out = std::move(read).value();
    return true;
}

template <class Enum, std::size_t N>
Expected<Enum, std::string> read_enum(const std::string& stored, const std::array<std::string_view, N>& forms) {
    auto index = quenlith_types::read_json_variant(stored, forms);
    if (!index) return fail(std::move(index).error());
    return static_cast<Enum>(index.value());
}

}  // namespace

Expected<RawRow, std::string> read_raw_row(sqlite3_stmt* stmt) {
    RawRow row;
    std::string error;
    std::uint64_t occurrences = 0;
    const bool ok = take(column::text(stmt, 0), row.id, error) && take(column::text(stmt, 1), row.timestamp, error) &&
                    take(column::text(stmt, 2), row.source, error) && take(column::text(stmt, 3), row.kind, error) &&
                    take(column::text(stmt, 4), row.content, error) &&
                    take(column::text(stmt, 5), row.metadata, error) &&
                    take(column::text(stmt, 6), row.importance, error) &&
                    take(column::real(stmt, 7), row.salience, error) && take(column::text(stmt, 8), row.tier, error) &&
                    take(column::unsigned_int(stmt, 9, std::numeric_limits<std::uint32_t>::max()), occurrences,
                         error) &&
                    take(column::text(stmt, 10), row.last_accessed, error);
    if (!ok) return fail(std::move(error));
    row.occurrence_count = static_cast<std::uint32_t>(occurrences);
    row.is_overridden = column::flag(stmt, 11);
    return row;
}

Result<quenlith_types::ScoredMemory> RawRow::into_scored_memory() && {
    using namespace quenlith_types;
    auto storage = [](std::string detail) { return fail(RuntimeError::storage(std::move(detail))); };

    auto parsed_id = parse_uuid(id);
    if (!parsed_id) return storage(std::move(parsed_id).error());
    auto parsed_timestamp = parse_rfc3339(timestamp, YearForm::FourDigitsOrSigned);
    if (!parsed_timestamp) return storage(std::move(parsed_timestamp).error());
    auto parsed_kind = read_enum<EventKind>(kind, kEventKindTexts);
    if (!parsed_kind) return storage(std::move(parsed_kind).error());
    auto parsed_metadata = read_json_value(metadata);
    if (!parsed_metadata) return storage(std::move(parsed_metadata).error());
    auto parsed_importance = read_enum<Importance>(importance, kImportanceTexts);
    if (!parsed_importance) return storage(std::move(parsed_importance).error());
    auto parsed_tier = read_enum<MemoryTier>(tier, kMemoryTierTexts);
    if (!parsed_tier) return storage(std::move(parsed_tier).error());
    auto parsed_last_accessed = parse_rfc3339(last_accessed, YearForm::FourDigitsOrSigned);
    if (!parsed_last_accessed) return storage(std::move(parsed_last_accessed).error());

    ScoredMemory memory;
    memory.event.id = parsed_id.value();
    memory.event.timestamp = parsed_timestamp.value();
    memory.event.source = std::move(source);
    memory.event.kind = parsed_kind.value();
    memory.event.content = std::move(content);
    memory.event.metadata = std::move(parsed_metadata).value();
    memory.event.importance = parsed_importance.value();
    memory.salience = salience;
    memory.tier = parsed_tier.value();
    memory.occurrence_count = occurrence_count;
    memory.last_accessed = parsed_last_accessed.value();
    memory.is_overridden = is_overridden;
    return memory;
}

}  // namespace quenlith_sqlite
