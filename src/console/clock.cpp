#include "console/clock.h"

namespace tap {
namespace {

std::uint64_t no_ticks() { return 0; }

// Reads 0 until start_clock puts the platform's counter in.
MillisecondClock program_clock(TickCounter{no_ticks, 1000});

}  // namespace

std::uint32_t ticks_to_ms(std::uint64_t ticks, std::uint64_t frequency) {
  std::uint64_t seconds = ticks / frequency;
  std::uint64_t rest = ticks % frequency;  // below frequency, so rest * 1000 fits
  return static_cast<std::uint32_t>(seconds * 1000u + rest * 1000u / frequency);
}

void start_clock() {
  program_clock = MillisecondClock(platform_counter());
  program_clock.start();
}

std::uint32_t elapsed_ms() { return program_clock.elapsed(); }

}  // namespace tap
