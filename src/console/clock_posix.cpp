#include <time.h>

#include "console/clock.h"

namespace tap {
namespace {

constexpr std::uint64_t NANOSECONDS_PER_SECOND = 1000000000u;

// CLOCK_MONOTONIC is elapsed time that wall-clock changes do not move; in
// nanoseconds a 64-bit count lasts 584 years.
std::uint64_t monotonic_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * NANOSECONDS_PER_SECOND + static_cast<std::uint64_t>(now.tv_nsec);
}

}  // namespace

TickCounter platform_counter() { return TickCounter{monotonic_ns, NANOSECONDS_PER_SECOND}; }

}  // namespace tap
