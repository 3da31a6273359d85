#include "quenlith_types.hpp"


namespace quenlith_types {
namespace {

template <class Enum, std::size_t N>
Expected<Enum, std::string> parse_exact(std::string_view text,
                                        const std::array<std::string_view, N>& forms,
                                        std::string_view noun) {
    for (std::size_t i = 0; i < N; ++i) {
        if (forms[i] == text) return static_cast<Enum>(i);
    }
    std::string message = "unknown ";
    message.append(noun).append(": '").append(text).append("'. Expected: ");
    for (std::size_t i = 0; i < N; ++i) {
        if (i) message.append(", ");
        message.append(forms[i]);
    }
    return fail(std::move(message));
}

}  // namespace

Expected<EventKind, std::string> parse_event_kind(std::string_view text) {
    return parse_exact<EventKind>(text, kEventKindTexts, "event kind");
}
Expected<Importance, std::string> parse_importance(std::string_view text) {
    return parse_exact<Importance>(text, kImportanceTexts, "importance");
}
Expected<MemoryTier, std::string> parse_memory_tier(std::string_view text) {
    return parse_exact<MemoryTier>(text, kMemoryTierTexts, "tier");
}

UtcDateTime system_now_or_throw() {
    UtcDateTime now;
    if (!system_now(now)) throw InternalFault("system time before Unix epoch");
    return now;
}

Event Event::create(std::string source, EventKind kind, std::string content) {
    Event event;
    event.id = Uuid::new_v4();
    event.timestamp = system_now_or_throw();
    event.source = std::move(source);
    event.kind = kind;
    event.content = std::move(content);
    event.metadata = nullptr;
    event.importance = Importance::Normal;
    return event;
}

}  // namespace quenlith_types
