#pragma once
// The records every layer exchanges: the three closed enumerations with their
// text forms, the recorded Event, the query filter and a memory as read back.
// Nothing here touches the database or Python.

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "expected.hpp"
#include "timestamp.hpp"
#include "uuid.hpp"

namespace quenlith_types {

enum class EventKind : std::uint8_t { UserAction, Observation, Decision, Error, Correction };
enum class Importance : std::uint8_t { Low, Normal, High, Critical };
enum class MemoryTier : std::uint8_t { Hot, Warm, Cold, Forgotten };

// Text forms in declared order; the enumerators index these arrays.
inline constexpr std::array<std::string_view, 5> kEventKindTexts = {
    "user_action", "observation", "decision", "error", "correction"};
inline constexpr std::array<std::string_view, 4> kImportanceTexts = {
    "low", "normal", "high", "critical"};
inline constexpr std::array<std::string_view, 4> kMemoryTierTexts = {
    "hot", "warm", "cold", "forgotten"};
inline constexpr std::array<std::string_view, 4> kMemoryTierDisplayNames = {
    "Hot", "Warm", "Cold", "Forgotten"};

[[nodiscard]] constexpr std::string_view to_text(EventKind v) {
    return kEventKindTexts[static_cast<std::size_t>(v)];
}
[[nodiscard]] constexpr std::string_view to_text(Importance v) {
    return kImportanceTexts[static_cast<std::size_t>(v)];
}
[[nodiscard]] constexpr std::string_view to_text(MemoryTier v) {
    return kMemoryTierTexts[static_cast<std::size_t>(v)];
}
[[nodiscard]] constexpr std::string_view display_name(MemoryTier v) {
    return kMemoryTierDisplayNames[static_cast<std::size_t>(v)];
}

// Exact, case-sensitive parsing of a text form. The error is the message
// shown to callers, e.g. "unknown tier: 'Hot'. Expected: hot, warm, cold, forgotten".
[[nodiscard]] Expected<EventKind, std::string> parse_event_kind(std::string_view text);
[[nodiscard]] Expected<Importance, std::string> parse_importance(std::string_view text);
[[nodiscard]] Expected<MemoryTier, std::string> parse_memory_tier(std::string_view text);

// One recorded happening. Owns its texts and its JSON value.
struct Event {
    Uuid id;
    UtcDateTime timestamp;
    std::string source;
    EventKind kind = EventKind::Observation;
    std::string content;
    nlohmann::json metadata;  // null unless a caller sets it
    Importance importance = Importance::Normal;
    std::optional<Uuid> overrides;

    // A new event with a fresh version 4 id, the system's current UTC time,
    // null metadata, importance normal and no override. ("new" is a keyword.)
    // Throws InternalFault when the system clock reads before 1970.
    static Event create(std::string source, EventKind kind, std::string content);
};

// A broken invariant (a clock before 1970, an abandoned store lock). Unlike
// ordinary failures these are thrown, and the Python binding turns them into
// its internal-fault exception.
class InternalFault : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The system clock as an instant; throws InternalFault before 1970.
[[nodiscard]] UtcDateTime system_now_or_throw();

// The filter of a memory query; every field optional.
struct MemoryQuery {
    std::optional<std::string> text;
    std::optional<std::string> source;
    std::optional<EventKind> kind;
    std::optional<MemoryTier> tier;
    std::optional<double> min_salience;
    std::optional<std::uint64_t> limit;  // 20 when absent
};

// One memory as a query returns it.
struct ScoredMemory {
    Event event;  // its `overrides` is always absent
    double salience = 0.0;
    MemoryTier tier = MemoryTier::Hot;
    std::uint32_t occurrence_count = 0;
    UtcDateTime last_accessed;
    bool is_overridden = false;
};

}  // namespace quenlith_types
