#pragma once

#include <cstdint>

namespace tap {

/// The platform's monotonic millisecond count, truncated to 32 bits so it
/// wraps modulo 2^32 like GetTickCount. Never the wall clock.
std::uint32_t platform_tick_ms();

/// Milliseconds since a time zero taken once. Readings and their
/// differences are modulo 2^32, so a wrap of the tick count in between
/// changes nothing for intervals below 2^31 ms.
class MillisecondClock {
 public:
  using TickSource = std::uint32_t (*)();

  explicit MillisecondClock(TickSource ticks = platform_tick_ms) : ticks_(ticks) {}

  void start() { zero_ = ticks_(); }
  std::uint32_t elapsed() const { return static_cast<std::uint32_t>(ticks_() - zero_); }

 private:
  TickSource ticks_;
  std::uint32_t zero_ = 0;
};

/// The program's clock: start_clock fixes time zero during start-up;
/// elapsed_ms never blocks and never fails.
void start_clock();
std::uint32_t elapsed_ms();

}  // namespace tap
