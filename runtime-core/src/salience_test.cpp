#include "salience.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include <gtest/gtest.h>

namespace {

using quenlith_core::clock::FixedClock;
using quenlith_core::policy::RuntimePolicy;
using quenlith_core::salience::HeuristicScorer;
using quenlith_types::Event;
using quenlith_types::EventKind;
using quenlith_types::Importance;
using quenlith_types::UtcDateTime;

constexpr UtcDateTime kNow{1'714'566'600, 0};  // 2024-05-01T12:30:00Z

HeuristicScorer scorer_at(UtcDateTime now, RuntimePolicy policy = RuntimePolicy::balanced()) {
    return HeuristicScorer(std::make_shared<const FixedClock>(now), policy);
}

Event event_aged(std::int64_t seconds, std::int64_t nanos = 0, EventKind kind = EventKind::UserAction,
                 Importance importance = Importance::Normal) {
    Event event;
    std::int64_t total = kNow.seconds * 1'000'000'000 - seconds * 1'000'000'000 - nanos;
    event.timestamp = UtcDateTime{total / 1'000'000'000, static_cast<std::uint32_t>(total % 1'000'000'000)};
    if (total % 1'000'000'000 < 0) {
        event.timestamp.seconds -= 1;
        event.timestamp.nanos = static_cast<std::uint32_t>(total % 1'000'000'000 + 1'000'000'000);
    }
    event.kind = kind;
    event.importance = importance;
    return event;
}

struct WorkedValue {
    EventKind kind;
    Importance importance;
    double expected;
};

class WorkedTable : public ::testing::TestWithParam<WorkedValue> {};

TEST_P(WorkedTable, FirstOccurrenceUnderOneMinuteOld) {
    const auto& [kind, importance, expected] = GetParam();
    EXPECT_NEAR(scorer_at(kNow).score(event_aged(0, 0, kind, importance), 1), expected, 1e-6);
}

INSTANTIATE_TEST_SUITE_P(
    BalancedPolicy, WorkedTable,
    ::testing::Values(WorkedValue{EventKind::UserAction, Importance::Low, 0.549306},
                      WorkedValue{EventKind::UserAction, Importance::Normal, 1.098612},
                      WorkedValue{EventKind::UserAction, Importance::High, 2.197225},
                      WorkedValue{EventKind::UserAction, Importance::Critical, 4.394449},
                      WorkedValue{EventKind::Observation, Importance::Low, 0.384514},
                      WorkedValue{EventKind::Observation, Importance::Normal, 0.769029},
                      WorkedValue{EventKind::Observation, Importance::High, 1.538057},
                      WorkedValue{EventKind::Observation, Importance::Critical, 3.076114},
                      WorkedValue{EventKind::Decision, Importance::Low, 1.098612},
                      WorkedValue{EventKind::Decision, Importance::Normal, 2.197225},
                      WorkedValue{EventKind::Decision, Importance::High, 4.394449},
                      WorkedValue{EventKind::Decision, Importance::Critical, 8.788898},
                      WorkedValue{EventKind::Error, Importance::Low, 0.823959},
                      WorkedValue{EventKind::Error, Importance::Normal, 1.647918},
                      WorkedValue{EventKind::Error, Importance::High, 3.295837},
                      WorkedValue{EventKind::Error, Importance::Critical, 6.591674},
                      WorkedValue{EventKind::Correction, Importance::Low, 1.647918},
                      WorkedValue{EventKind::Correction, Importance::Normal, 3.295837},
                      WorkedValue{EventKind::Correction, Importance::High, 6.591674},
                      WorkedValue{EventKind::Correction, Importance::Critical, 13.183347}));

TEST(Salience, HalvesEveryHalfLife) {
    const auto scorer = scorer_at(kNow);
    EXPECT_NEAR(scorer.score(event_aged(168 * 3600), 1), 0.549306, 1e-6);
    EXPECT_NEAR(scorer.score(event_aged(720 * 3600), 1), 0.056327, 1e-6);
}

TEST(Salience, FrequencyIsLog1pOfCountPlusOne) {
    const auto scorer = scorer_at(kNow);
    const Event event = event_aged(0);
    EXPECT_DOUBLE_EQ(scorer.score(event, 0), std::log(2.0));
    EXPECT_NEAR(scorer.score(event, 2), 1.386294, 1e-6);
    EXPECT_NEAR(scorer.score(event, 3), 1.609438, 1e-6);
    EXPECT_DOUBLE_EQ(scorer.score(event, std::numeric_limits<std::uint32_t>::max()), std::log1p(4294967296.0));
}

TEST(Salience, AgeEntersWithMinuteResolutionTruncatedTowardZero) {
    const auto scorer = scorer_at(kNow);
    const double fresh = scorer.score(event_aged(0), 1);
    // Under a minute either way, including a fraction past the minute's end.
    for (auto [seconds, nanos] : {std::pair{59, 999'000'000}, std::pair{-59, -999'000'000}, std::pair{0, 500'000'000},
                                  std::pair{0, -500'000'000}, std::pair{59, 0}, std::pair{-59, 0}}) {
        EXPECT_EQ(scorer.score(event_aged(seconds, nanos), 1), fresh) << seconds << "s " << nanos << "ns";
    }
    // volatile keeps the compiler from folding these with its own (differently
    // rounded) arithmetic; the scorer must match the runtime library bit for bit.
    volatile double minutes = 1.0, count = 1.0;
    const double one_minute = std::exp2((minutes / -60.0) / 168.0) * std::log1p(count + 1.0);
    minutes = 2.0;
    const double two_minutes = std::exp2((minutes / -60.0) / 168.0) * std::log1p(count + 1.0);
    EXPECT_EQ(scorer.score(event_aged(60), 1), one_minute);
    EXPECT_EQ(scorer.score(event_aged(119), 1), one_minute);
    EXPECT_EQ(scorer.score(event_aged(120), 1), two_minutes);
}

TEST(Salience, FutureEventsScoreHigherAndOverflowToInfinity) {
    const auto scorer = scorer_at(kNow);
    const double fresh = scorer.score(event_aged(0), 1);
    EXPECT_GT(scorer.score(event_aged(-60), 1), fresh);
    EXPECT_NEAR(scorer.score(event_aged(-168 * 3600), 1), 2 * fresh, 1e-12);
    EXPECT_EQ(scorer.score(event_aged(-1024LL * 168 * 3600), 1), std::numeric_limits<double>::infinity());
}

TEST(Salience, VeryOldEventsReachZero) {
    const auto scorer = scorer_at(kNow);
    EXPECT_GT(scorer.score(event_aged(1000LL * 168 * 3600), 1), 0.0);
    EXPECT_EQ(scorer.score(event_aged(1076LL * 168 * 3600), 1), 0.0);
}

TEST(Salience, AgesBeyondSixtyFourBitsOfSecondsStillScore) {
    Event ancient = event_aged(0);
    ancient.timestamp = UtcDateTime{std::numeric_limits<std::int64_t>::min(), 0};
    EXPECT_EQ(scorer_at(UtcDateTime{std::numeric_limits<std::int64_t>::max(), 0}).score(ancient, 1), 0.0);
    Event distant_future = event_aged(0);
    distant_future.timestamp = UtcDateTime{std::numeric_limits<std::int64_t>::max(), 999'999'999};
    EXPECT_EQ(scorer_at(UtcDateTime{std::numeric_limits<std::int64_t>::min(), 0}).score(distant_future, 1),
              std::numeric_limits<double>::infinity());
}

TEST(Salience, BitIdenticalForIdenticalInputs) {
    const auto scorer = scorer_at(kNow, RuntimePolicy::coding());
    const Event event = event_aged(12345, 678, EventKind::Error, Importance::High);
    const double a = scorer.score(event, 7);
    const double b = scorer.score(event, 7);
    EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0);
}

TEST(Salience, KindWeightComesFromThePolicy) {
    const Event error = event_aged(0, 0, EventKind::Error);
    EXPECT_DOUBLE_EQ(scorer_at(kNow, RuntimePolicy::coding()).score(error, 1), std::log1p(2.0) * 2.5);
    EXPECT_DOUBLE_EQ(scorer_at(kNow, RuntimePolicy::knowledge()).score(error, 1), std::log1p(2.0) * 1.0);
}

}  // namespace
