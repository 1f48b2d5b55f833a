#include "console/clock.h"

#include <gtest/gtest.h>

#include <random>

namespace tap {
namespace {

std::uint64_t fake_ticks = 0;
std::uint64_t read_fake_ticks() { return fake_ticks; }

constexpr std::uint64_t KHZ = 1000;  // one count a millisecond
constexpr std::uint64_t MHZ_10 = 10000000;
constexpr std::uint64_t GHZ_3_2 = 3200000000;
constexpr std::uint64_t WRAP_MS = std::uint64_t{1} << 32;

TEST(MillisecondClock, CountsWholeMillisecondsFromTimeZero) {
  struct Case {
    std::uint64_t frequency, zero, now;
    std::uint32_t expected;
    std::uint64_t enter = 0;  // where the start ENTER moves time zero, if it comes
  };
  const Case cases[] = {
      {KHZ, 1000, 1000, 0},
      {KHZ, 1000, 1034, 34},
      {MHZ_10, 0, MHZ_10 * 5 + 9999, 5000},  // 0.9999 ms more is not yet a millisecond
      {MHZ_10, 7, 7 + 10000, 1},             // truncation counts from time zero
      {GHZ_3_2, 12345, 12345 + GHZ_3_2 / 1000 * 1234 + 3199999, 1234},
      {GHZ_3_2, 0 - GHZ_3_2 / 500, GHZ_3_2 / 1000 * 3, 5},  // the counter wrapped after start
      {MHZ_10, 0, (WRAP_MS + 7) * 10000, 7},                // readings past 2^32 ms wrap
      {GHZ_3_2, 1, 1 + (WRAP_MS - 1) * (GHZ_3_2 / 1000), 0xFFFFFFFFu},
      {KHZ, 0, WRAP_MS * 3 + 2, 2},
      // From the ENTER, truncated once: 1.6 ms then 35.0 ms is 33.4 ms, frame 0, not 35 - 1 = 34 ms, frame 1.
      {MHZ_10, 0, 350000, 33, 16000},
      {GHZ_3_2, 5, 5 + GHZ_3_2 / 1000 * 100 - 1, 99, 5},
  };
  for (const Case& c : cases) {
    MillisecondClock clock(TickCounter{read_fake_ticks, c.frequency});
    fake_ticks = c.zero;
    clock.start_clock();
    if (c.enter != 0) {
      fake_ticks = c.enter;
      EXPECT_EQ(clock.start_capture(), 0u);
    }
    fake_ticks = c.now;
    EXPECT_EQ(clock.elapsed_ms(), c.expected) << c.frequency << " Hz: " << c.zero << " -> " << c.now;
  }
}

TEST(MillisecondClock, TicksToMillisecondsIsExactForEveryCount) {
  std::mt19937_64 random(2026);
  const std::uint64_t frequencies[] = {KHZ, MHZ_10, GHZ_3_2, 1000000000, 2148437, 1};
  for (std::uint64_t frequency : frequencies) {
    for (int i = 0; i < 20000; ++i) {
      std::uint64_t ticks = i < 2 ? ~std::uint64_t{0} - static_cast<std::uint64_t>(i) : random();
      __extension__ using Wide = unsigned __int128;
      auto expected = static_cast<std::uint32_t>(static_cast<Wide>(ticks) * 1000 / frequency);
      ASSERT_EQ(ticks_to_ms(ticks, frequency), expected) << ticks << " at " << frequency << " Hz";
    }
  }
}

TEST(MillisecondClock, DifferencesAcrossTheWrapReadAsSignedIntervals) {
  MillisecondClock clock(TickCounter{read_fake_ticks, KHZ});
  fake_ticks = 0x7FFFFF00u;
  clock.start_clock();
  fake_ticks = 0xFFFFFF00u;
  std::uint32_t start = clock.elapsed_ms();  // 2^31 ms after time zero
  fake_ticks = 0x100000100u;                 // the reading wrapped
  std::uint32_t tap = clock.elapsed_ms();
  EXPECT_EQ(static_cast<std::int32_t>(tap - start), 0x200);
  fake_ticks = 0xFFFFFF00u + 0x80000000u;  // exactly 2^31 ms after start
  EXPECT_LT(static_cast<std::int32_t>(clock.elapsed_ms() - start), 0);
}

TEST(MillisecondClock, ProgramClockStartsNearZeroAndNeverGoesBack) {
  MillisecondClock clock;
  clock.start_clock();
  std::uint32_t first = clock.elapsed_ms();
  EXPECT_LT(first, 50u);
  std::uint32_t previous = first;
  for (int i = 0; i < 100000; ++i) {
    std::uint32_t now = clock.elapsed_ms();
    ASSERT_GE(now, previous);
    previous = now;
  }
}

}  // namespace
}  // namespace tap
