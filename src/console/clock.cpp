#include "console/clock.h"

namespace tap {

std::uint32_t ticks_to_ms(std::uint64_t ticks, std::uint64_t frequency) {
  std::uint64_t seconds = ticks / frequency;
  std::uint64_t rest = ticks % frequency;  // below frequency, so rest * 1000 fits
  return static_cast<std::uint32_t>(seconds * 1000u + rest * 1000u / frequency);
}

}  // namespace tap
