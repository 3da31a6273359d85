#include "salience.hpp"

#include <cmath>

namespace quenlith_core::salience {

using quenlith_types::EventKind;
using quenlith_types::Importance;

double importance_weight(Importance importance) {
    switch (importance) {
        case Importance::Low: return 0.5;
        case Importance::Normal: return 1.0;
        case Importance::High: return 2.0;
        case Importance::Critical: return 4.0;
    }
    return 1.0;
}

namespace {

double kind_weight(const policy::RuntimePolicy& policy, EventKind kind) {
    switch (kind) {
        case EventKind::UserAction: return policy.weight_user_action;
        case EventKind::Observation: return policy.weight_observation;
        case EventKind::Decision: return policy.weight_decision;
        case EventKind::Error: return policy.weight_error;
        case EventKind::Correction: return policy.weight_correction;
    }
    return 1.0;
}

// Whole minutes from `then` to `now`, truncated toward zero. Ages are taken as
// whole seconds (truncated toward zero) first, so -0.5 s is 0 s, not -1 s.
// The difference of two instants can exceed 64 bits (a stored timestamp
// hundreds of billions of years back), so it is taken in 128; in minutes it
// always fits 64 again.
std::int64_t whole_minutes_between(const quenlith_types::UtcDateTime& then,
                                   const quenlith_types::UtcDateTime& now) {
    __extension__ using Wide = __int128;
    Wide seconds = Wide{now.seconds} - Wide{then.seconds};
    std::int64_t nanos = static_cast<std::int64_t>(now.nanos) - static_cast<std::int64_t>(then.nanos);
    seconds += nanos / 1'000'000'000;
    nanos %= 1'000'000'000;
    if (seconds > 0 && nanos < 0) {
        seconds -= 1;
    } else if (seconds < 0 && nanos > 0) {
        seconds += 1;
    }
    return static_cast<std::int64_t>(seconds / 60);
}

}  // namespace

double HeuristicScorer::score(const quenlith_types::Event& event, std::uint32_t occurrence_count) const {
    return score_at(event, occurrence_count, clock->now());
}

double HeuristicScorer::score_at(const quenlith_types::Event& event, std::uint32_t occurrence_count,
                                 const quenlith_types::UtcDateTime& now) const {
    const std::int64_t minutes = whole_minutes_between(event.timestamp, now);
    const double exponent = (static_cast<double>(minutes) / -60.0) / policy.half_life_hours;
    const double recency = std::exp2(exponent);
    const double frequency = std::log1p(static_cast<double>(occurrence_count) + 1.0);
    return ((recency * frequency) * importance_weight(event.importance)) * kind_weight(policy, event.kind);
}

}  // namespace quenlith_core::salience
