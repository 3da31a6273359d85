#include "runtime.hpp"

#include <cmath>
#include <memory>

#include <gtest/gtest.h>

#include "lib.hpp"

namespace {

using quenlith_core::clock::FixedClock;
using quenlith_core::policy::RuntimePolicy;
using quenlith_sqlite::runtime::SqliteRuntime;
using quenlith_types::Event;
using quenlith_types::EventKind;
using quenlith_types::Importance;
using quenlith_types::MemoryTier;
using quenlith_types::UtcDateTime;

constexpr UtcDateTime kNow{1'714'566'600, 0};  // 2024-05-01T12:30:00Z

SqliteRuntime open_memory_store(RuntimePolicy policy = RuntimePolicy::balanced(), UtcDateTime now = kNow) {
    auto store = SqliteRuntime::open_with(":memory:", policy, std::make_shared<const FixedClock>(now));
    EXPECT_TRUE(store.ok());
    return std::move(store).value();
}

Event event(EventKind kind, Importance importance, std::string content, std::int64_t age_seconds = 0) {
    Event e = Event::create("agent-1", kind, std::move(content));
    e.importance = importance;
    e.timestamp = UtcDateTime{kNow.seconds - age_seconds, 0};
    return e;
}

TEST(Open, FailuresCarryTheirTexts) {
    const RuntimePolicy policy = RuntimePolicy::balanced();
    EXPECT_EQ(SqliteRuntime::open_with_policy(std::string_view("a\0b", 3), policy).error().display(),
              "storage error: nul byte found in provided data at position: 1");
    EXPECT_EQ(SqliteRuntime::open_with_policy("/no/such/dir/x.db", policy).error().display(),
              "storage error: unable to open database file: /no/such/dir/x.db");
}

TEST(Open, MemoryStoresAreIndependent) {
    auto a = open_memory_store();
    auto b = open_memory_store();
    ASSERT_TRUE(a.record(event(EventKind::Decision, Importance::Normal, "x")).ok());
    EXPECT_EQ(a.count().value(), 1u);
    EXPECT_EQ(b.count().value(), 0u);
}

TEST(Record, ScoresAndTiersNewMemoriesAgainstTheStoreClock) {
    auto store = open_memory_store();
    struct Case {
        EventKind kind;
        Importance importance;
        std::int64_t age;
        double salience;
        MemoryTier tier;
    };
    const Case cases[] = {
        {EventKind::UserAction, Importance::Normal, 0, 1.098612, MemoryTier::Warm},
        {EventKind::Decision, Importance::Normal, 0, 2.197225, MemoryTier::Hot},
        {EventKind::Observation, Importance::Low, 0, 0.384514, MemoryTier::Cold},
        {EventKind::Correction, Importance::Critical, 0, 13.183347, MemoryTier::Hot},
        {EventKind::UserAction, Importance::Normal, 30 * 86400, 0.056327, MemoryTier::Cold},
    };
    int n = 0;
    for (const auto& c : cases) {
        auto salience = store.record(event(c.kind, c.importance, "content " + std::to_string(n++), c.age));
        ASSERT_TRUE(salience.ok());
        EXPECT_NEAR(salience.value(), c.salience, 1e-6);
        EXPECT_EQ(store.policy().tier_for(salience.value()), c.tier);
    }
}

TEST(Record, FailedOverrideLeavesNothingBehind) {
    auto store = open_memory_store();
    Event e = event(EventKind::Decision, Importance::Normal, "x");
    e.overrides = Event::create("s", EventKind::Error, "c").id;  // names no stored event
    EXPECT_EQ(store.record(e).error().display(), "storage error: FOREIGN KEY constraint failed");
    EXPECT_EQ(store.count().value(), 0u);
    EXPECT_TRUE(store.query({}).value().empty());
    // The same event records fine once the dangling override is gone.
    e.overrides.reset();
    EXPECT_TRUE(store.record(e).ok());
    EXPECT_EQ(store.record(e).error().display(), "storage error: UNIQUE constraint failed: events.id");
    EXPECT_EQ(store.count().value(), 1u);
}

TEST(Sweep, StandingClockMovesNothingTheSecondTime) {
    auto store = open_memory_store();
    ASSERT_TRUE(store.record(event(EventKind::Decision, Importance::High, "old", 400 * 3600)).ok());
    ASSERT_TRUE(store.record(event(EventKind::Observation, Importance::Low, "recent", 10 * 3600)).ok());
    auto first = store.sweep().value();
    EXPECT_EQ(first.total_processed, 2u);
    auto second = store.sweep().value();
    EXPECT_EQ(second.total_processed, first.total_processed - first.forgotten);
    EXPECT_EQ(second.promoted + second.demoted + second.forgotten, 0u);
    EXPECT_EQ(store.get_snapshots(100).value().size(), 2u);
}

TEST(Sweep, ThresholdTiesEarnTheHigherTier) {
    // A policy whose warm threshold is exactly the score the memory will get.
    const Event tie = event(EventKind::UserAction, Importance::Normal, "tie", 3600);
    RuntimePolicy policy = RuntimePolicy::balanced();
    policy.hot_threshold = 100.0;
    policy.warm_threshold =
        quenlith_core::salience::HeuristicScorer(std::make_shared<const FixedClock>(kNow), policy).score(tie, 1);
    auto store = open_memory_store(policy);
    ASSERT_TRUE(store.record(tie).ok());
    ASSERT_TRUE(store.sweep().ok());
    auto counts = store.inspect().value();
    EXPECT_EQ(counts.warm, 1u);
    EXPECT_EQ(counts.total_events, 1u);
}

TEST(Sweep, OverriddenMemoryIsRescoredAndCanBePromotedBack) {
    auto store = open_memory_store();
    Event target = event(EventKind::Decision, Importance::Normal, "use model A");
    ASSERT_TRUE(store.record(target).ok());
    Event correction = event(EventKind::Correction, Importance::Normal, "use model B");
    correction.overrides = target.id;
    ASSERT_TRUE(store.record(correction).ok());

    auto demoted = store.query({}).value();
    ASSERT_EQ(demoted.size(), 2u);
    EXPECT_EQ(demoted[1].tier, MemoryTier::Cold);
    EXPECT_NEAR(demoted[1].salience, 2.197225 / 4, 1e-6);
    EXPECT_TRUE(demoted[1].is_overridden);

    auto result = store.sweep().value();
    EXPECT_EQ(result.promoted, 1u);
    auto after = store.query({}).value();
    EXPECT_EQ(after[1].tier, MemoryTier::Hot);
    EXPECT_TRUE(after[1].is_overridden);
}

TEST(Snapshots, LimitAboveSignedRangeFails) {
    auto store = open_memory_store();
    EXPECT_EQ(store.get_snapshots(9223372036854775808ULL).error().display(),
              "storage error: out of range integral type conversion attempted");
    EXPECT_TRUE(store.get_snapshots(9223372036854775807ULL).value().empty());
}

}  // namespace

namespace {

// A clock whose reading fails, as a system clock set before 1970 would.
class BrokenClock final : public quenlith_core::clock::Clock {
public:
    [[nodiscard]] UtcDateTime now() const override { throw quenlith_types::InternalFault("clock broke"); }
};

TEST(Store, AnInternalFaultAbandonsTheLockForGood) {
    auto opened = SqliteRuntime::open_with(":memory:", RuntimePolicy::balanced(), std::make_shared<const BrokenClock>());
    ASSERT_TRUE(opened.ok());
    const SqliteRuntime store = std::move(opened).value();
    EXPECT_THROW((void)store.record(event(EventKind::Decision, Importance::Normal, "x")), quenlith_types::InternalFault);
    try {
        (void)store.count();
        FAIL() << "the store kept working after an internal fault";
    } catch (const quenlith_types::InternalFault& fault) {
        EXPECT_NE(std::string(fault.what()).find("abandoned"), std::string::npos);
    }
}

}  // namespace

namespace {

TEST(Sweep, RefusedBeforeCommitLeavesNothingBehind) {
    auto store = open_memory_store();
    ASSERT_TRUE(store.record(event(EventKind::Decision, Importance::Normal, "x", 400 * 3600)).ok());
    const auto before = store.query({}).value();
    auto refused = store.sweep([](const quenlith_sqlite::runtime::SweepResult& result) {
        EXPECT_EQ(result.total_processed, 1u);
        return false;
    });
    ASSERT_FALSE(refused.ok());
    EXPECT_TRUE(store.get_snapshots(100).value().empty());
    EXPECT_EQ(store.query({}).value()[0].salience, before[0].salience);
    EXPECT_TRUE(store.sweep().ok());
    EXPECT_EQ(store.get_snapshots(100).value().size(), 1u);
}

}  // namespace
