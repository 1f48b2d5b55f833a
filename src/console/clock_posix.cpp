#include <time.h>

#include "console/clock.h"

namespace tap {

// CLOCK_MONOTONIC is elapsed time that wall-clock changes do not move.
std::uint32_t platform_tick_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  std::uint64_t ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(ms);
}

}  // namespace tap
