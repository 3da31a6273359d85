#include "clock.hpp"

namespace quenlith_core::clock {

quenlith_types::UtcDateTime SystemClock::now() const { return quenlith_types::system_now_or_throw(); }

}  // namespace quenlith_core::clock
