#pragma once
// The salience formula: recency halves every half-life (minute resolution),
// frequency is log1p(n + 1), weighted by importance and by the kind's weight.

#include <cstdint>

#include "clock.hpp"
#include "policy.hpp"
#include "traits.hpp"

namespace quenlith_core::salience {

class HeuristicScorer final : public traits::SalienceScorer {
public:
    HeuristicScorer(clock::ClockHandle clock, policy::RuntimePolicy policy)
        : clock(std::move(clock)), policy(policy) {}

    // Reads the clock once. Bit-identical for identical inputs and readings.
    [[nodiscard]] double score(const quenlith_types::Event& event,
                               std::uint32_t occurrence_count) const override;

    // The formula itself against a given instant.
    [[nodiscard]] double score_at(const quenlith_types::Event& event, std::uint32_t occurrence_count,
                                  const quenlith_types::UtcDateTime& now) const;

    clock::ClockHandle clock;
    policy::RuntimePolicy policy;
};

[[nodiscard]] double importance_weight(quenlith_types::Importance importance);

}  // namespace quenlith_core::salience
