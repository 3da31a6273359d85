#include "policy.hpp"

#include <gtest/gtest.h>

#include "error.hpp"

namespace {

using quenlith_core::policy::RuntimePolicy;
using quenlith_types::MemoryTier;

TEST(Policy, EightNamesReachFourPresets) {
    EXPECT_EQ(RuntimePolicy::from_name("balanced"), RuntimePolicy::balanced());
    EXPECT_EQ(RuntimePolicy::from_name("default"), RuntimePolicy::balanced());
    EXPECT_EQ(RuntimePolicy::from_name("coding"), RuntimePolicy::coding());
    EXPECT_EQ(RuntimePolicy::from_name("code"), RuntimePolicy::coding());
    EXPECT_EQ(RuntimePolicy::from_name("knowledge"), RuntimePolicy::knowledge());
    EXPECT_EQ(RuntimePolicy::from_name("kb"), RuntimePolicy::knowledge());
    EXPECT_EQ(RuntimePolicy::from_name("assistant"), RuntimePolicy::assistant());
    EXPECT_EQ(RuntimePolicy::from_name("personal"), RuntimePolicy::assistant());
    EXPECT_EQ(RuntimePolicy::coding().half_life_hours, 72.0);
    EXPECT_EQ(RuntimePolicy::knowledge().cold_threshold, 0.02);
    EXPECT_EQ(RuntimePolicy::assistant().weight_user_action, 1.5);
}

TEST(Policy, OtherNamesGiveNothing) {
    for (const char* name : {"", "Balanced", "balanced ", "CODE", "kb\n", "assist"}) {
        EXPECT_FALSE(RuntimePolicy::from_name(name).has_value()) << '"' << name << '"';
    }
}

TEST(Policy, TierRuleGivesTiesTheHigherTierAndNaNForgotten) {
    const auto policy = RuntimePolicy::balanced();
    EXPECT_EQ(policy.tier_for(2.0), MemoryTier::Hot);
    EXPECT_EQ(policy.tier_for(1.999), MemoryTier::Warm);
    EXPECT_EQ(policy.tier_for(0.5), MemoryTier::Warm);
    EXPECT_EQ(policy.tier_for(0.05), MemoryTier::Cold);
    EXPECT_EQ(policy.tier_for(0.0499), MemoryTier::Forgotten);
    EXPECT_EQ(policy.tier_for(std::numeric_limits<double>::quiet_NaN()), MemoryTier::Forgotten);
    EXPECT_EQ(policy.tier_for(std::numeric_limits<double>::infinity()), MemoryTier::Hot);
}

TEST(Enumerations, ParseExactFormsOnly) {
    EXPECT_EQ(quenlith_types::parse_memory_tier("hot").value(), MemoryTier::Hot);
    EXPECT_EQ(quenlith_types::parse_memory_tier("Hot").error(),
              "unknown tier: 'Hot'. Expected: hot, warm, cold, forgotten");
    EXPECT_EQ(quenlith_types::parse_event_kind("Decision").error(),
              "unknown event kind: 'Decision'. Expected: user_action, observation, decision, error, correction");
    EXPECT_EQ(quenlith_types::parse_importance("urgent").error(),
              "unknown importance: 'urgent'. Expected: low, normal, high, critical");
    EXPECT_EQ(quenlith_types::parse_importance("critical").value(), quenlith_types::Importance::Critical);
}

TEST(Errors, DisplayTexts) {
    using quenlith_core::error::RuntimeError;
    EXPECT_EQ(RuntimeError::storage("x").display(), "storage error: x");
    EXPECT_EQ(RuntimeError::query("no such column: NaN").display(), "query error: no such column: NaN");
}

TEST(Events, CreateGivesFreshIdsNullMetadataNormalImportance) {
    auto a = quenlith_types::Event::create("agent-1", quenlith_types::EventKind::Decision, "use the small model");
    auto b = quenlith_types::Event::create("agent-1", quenlith_types::EventKind::Decision, "use the small model");
    EXPECT_NE(a.id, b.id);
    EXPECT_TRUE(a.metadata.is_null());
    EXPECT_EQ(a.importance, quenlith_types::Importance::Normal);
    EXPECT_FALSE(a.overrides.has_value());
    EXPECT_EQ((a.id.bytes[6] >> 4), 4);
}

}  // namespace
