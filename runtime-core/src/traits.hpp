#pragma once
// The scoring interface. The store holds its HeuristicScorer by value and
// calls it directly; the interface names the contract.

#include <cstdint>

#include "quenlith_types.hpp"

namespace quenlith_core::traits {

class SalienceScorer {
public:
    virtual ~SalienceScorer() = default;
    // How strongly `event` is remembered now, given how many recorded events
    // share its content and source (itself included). Never fails.
    [[nodiscard]] virtual double score(const quenlith_types::Event& event,
                                       std::uint32_t occurrence_count) const = 0;
};

}  // namespace quenlith_core::traits
