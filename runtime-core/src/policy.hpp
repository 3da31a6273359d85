#pragma once
// Tuning of the scorer and the tier rule, with the named presets.

#include <optional>
#include <string_view>

#include "quenlith_types.hpp"

namespace quenlith_core::policy {

struct RuntimePolicy {
    double half_life_hours = 168.0;
    double hot_threshold = 2.0;
    double warm_threshold = 0.5;
    double cold_threshold = 0.05;
    double weight_correction = 3.0;
    double weight_decision = 2.0;
    double weight_error = 1.5;
    double weight_user_action = 1.0;
    double weight_observation = 0.7;

    // The default policy, the "balanced" preset.
    static RuntimePolicy balanced();
    static RuntimePolicy coding();
    static RuntimePolicy knowledge();
    static RuntimePolicy assistant();

    // The preset whose name equals `name` byte for byte ("balanced"/"default",
    // "coding"/"code", "knowledge"/"kb", "assistant"/"personal"); nothing for
    // any other text.
    static std::optional<RuntimePolicy> from_name(std::string_view name);

    // The tier rule: a score equal to a threshold earns the higher tier; a
    // NaN fails every comparison and lands in forgotten.
    [[nodiscard]] quenlith_types::MemoryTier tier_for(double salience) const;

    friend bool operator==(const RuntimePolicy&, const RuntimePolicy&) = default;
};

}  // namespace quenlith_core::policy
