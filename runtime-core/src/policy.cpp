#include "policy.hpp"

namespace quenlith_core::policy {

using quenlith_types::MemoryTier;

RuntimePolicy RuntimePolicy::balanced() { return RuntimePolicy{}; }

RuntimePolicy RuntimePolicy::coding() {
    return RuntimePolicy{72.0, 2.0, 0.5, 0.1, 4.0, 2.0, 2.5, 1.0, 0.5};
}

RuntimePolicy RuntimePolicy::knowledge() {
    return RuntimePolicy{720.0, 1.5, 0.3, 0.02, 4.0, 2.5, 1.0, 0.5, 1.0};
}

RuntimePolicy RuntimePolicy::assistant() {
    return RuntimePolicy{336.0, 2.0, 0.5, 0.05, 3.0, 2.0, 1.0, 1.5, 0.7};
}

std::optional<RuntimePolicy> RuntimePolicy::from_name(std::string_view name) {
    if (name == "balanced" || name == "default") return balanced();
    if (name == "coding" || name == "code") return coding();
    if (name == "knowledge" || name == "kb") return knowledge();
    if (name == "assistant" || name == "personal") return assistant();
    return std::nullopt;
}

MemoryTier RuntimePolicy::tier_for(double salience) const {
    if (salience >= hot_threshold) return MemoryTier::Hot;
    if (salience >= warm_threshold) return MemoryTier::Warm;
    if (salience >= cold_threshold) return MemoryTier::Cold;
    return MemoryTier::Forgotten;
}

}  // namespace quenlith_core::policy
