#include "console/clock.h"

#include <gtest/gtest.h>

namespace tap {
namespace {

std::uint32_t fake_ticks = 0;
std::uint32_t read_fake_ticks() { return fake_ticks; }

TEST(MillisecondClock, CountsFromTimeZeroAcrossAWrapOfTheTickCount) {
  struct Case {
    std::uint32_t zero, now, expected;
  };
  const Case cases[] = {
      {1000, 1000, 0},
      {1000, 1034, 34},
      {0xFFFFFFF0u, 0x10u, 0x20u},             // the tick count wrapped after start
      {0, 0xFFFFFFFFu, 0xFFFFFFFFu},           // the reading itself about to wrap
      {5, 4, 0xFFFFFFFFu},                     // 2^32 - 1 ms later
  };
  for (const Case& c : cases) {
    MillisecondClock clock(read_fake_ticks);
    fake_ticks = c.zero;
    clock.start();
    fake_ticks = c.now;
    EXPECT_EQ(clock.elapsed(), c.expected) << c.zero << " -> " << c.now;
  }
}

TEST(MillisecondClock, DifferencesAcrossTheWrapReadAsSignedIntervals) {
  MillisecondClock clock(read_fake_ticks);
  fake_ticks = 0x7FFFFF00u;
  clock.start();
  fake_ticks = 0xFFFFFF00u;
  std::uint32_t start = clock.elapsed();  // 2^31 ms after time zero
  fake_ticks = 0x00000100u;               // the tick count wrapped
  std::uint32_t tap = clock.elapsed();
  EXPECT_EQ(static_cast<std::int32_t>(tap - start), 0x200);
  fake_ticks = 0xFFFFFF00u + 0x80000000u;  // exactly 2^31 ms after start
  EXPECT_LT(static_cast<std::int32_t>(clock.elapsed() - start), 0);
}

TEST(MillisecondClock, ProgramClockStartsNearZeroAndNeverGoesBack) {
  start_clock();
  std::uint32_t first = elapsed_ms();
  EXPECT_LT(first, 50u);
  std::uint32_t previous = first;
  for (int i = 0; i < 100000; ++i) {
    std::uint32_t now = elapsed_ms();
    ASSERT_GE(now, previous);
    previous = now;
  }
}

}  // namespace
}  // namespace tap
