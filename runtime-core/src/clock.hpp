#pragma once
// The time source the scorer measures ages against. Tests put in a fixed
// clock; the store otherwise uses the system's.

#include <memory>

#include "quenlith_types.hpp"

namespace quenlith_core::clock {

class Clock {
public:
    virtual ~Clock() = default;
    // The current instant in UTC. May throw quenlith_types::InternalFault.
    [[nodiscard]] virtual quenlith_types::UtcDateTime now() const = 0;
};

// Shared, atomically reference-counted; the clock lives until its last holder lets go.
using ClockHandle = std::shared_ptr<const Clock>;

class SystemClock final : public Clock {
public:
    [[nodiscard]] quenlith_types::UtcDateTime now() const override;
};

// A clock that always reads the same instant; for reproducible scoring.
class FixedClock final : public Clock {
public:
    explicit FixedClock(quenlith_types::UtcDateTime instant) : instant_(instant) {}
    [[nodiscard]] quenlith_types::UtcDateTime now() const override { return instant_; }

private:
    quenlith_types::UtcDateTime instant_;
};

}  // namespace quenlith_core::clock
