#pragma once

#include <cstdint>

namespace tap {

/// A monotonic counter that the wall clock does not move: how to read it,
/// and how many of its counts make a second.
struct TickCounter {
  std::uint64_t (*read)();
  std::uint64_t frequency;
};

/// The platform's counter: CLOCK_MONOTONIC in nanoseconds on POSIX, the
/// high-resolution performance counter on Windows (whose tick count only
/// moves in steps of 10 to 16 ms).
TickCounter platform_counter();

/// Whole milliseconds in `ticks` counts at `frequency` counts a second,
/// truncated, modulo 2^32. Exact for every 64-bit count: the product with
/// 1000 is never formed whole, so it cannot overflow.
std::uint32_t ticks_to_ms(std::uint64_t ticks, std::uint64_t frequency);

/// Milliseconds since a time zero that start_clock takes once, during
/// start-up and before any reading; elapsed_ms never blocks and never
/// fails. The counter's difference is taken in 64 bits before it is
/// converted, so a wrap of the counter changes nothing; readings are modulo
/// 2^32, so their differences are right for intervals below 2^31 ms.
class MillisecondClock {
 public:
  explicit MillisecondClock(TickCounter counter = platform_counter()) : counter_(counter) {}

  void start_clock() { zero_ = counter_.read(); }
  /// Time zero moves to the start ENTER, so that a tap's time is one
  /// difference of counter readings truncated once: truncating the start
  /// and the tap apart would put some taps a millisecond, and a frame, late.
  std::uint32_t start_capture() {
    start_clock();
    return 0;
  }
  std::uint32_t elapsed_ms() { return ticks_to_ms(counter_.read() - zero_, counter_.frequency); }

 private:
  TickCounter counter_;
  std::uint64_t zero_ = 0;
};

}  // namespace tap
