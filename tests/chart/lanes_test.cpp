#include "chart/lanes.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <vector>

#include "test_support.h"

namespace tap {
namespace {

TEST(ToFrame, TellingValues) {
  const std::pair<std::int32_t, std::int32_t> cases[] = {
      {0, 0},       {33, 0},       {34, 1},         {100, 2},   {101, 3},   {700, 21},
      {999, 29},    {1000, 29},    {1001, 30},      {1034, 31}, {2000, 59}, {2500, 75},
      {10000, 300}, {60000, 1799}, {600000, 18000}, {-34, -1},  {-100, -2}, {-1, 0},
  };
  for (const auto& [ms, frame] : cases) EXPECT_EQ(to_frame(ms), frame) << ms << " ms";
}

TEST(ToFrame, MultiplesOfAHundredComeOutExactOrOneShort) {
  int short_by_one = 0;
  for (std::int32_t ms = 0; ms <= 300000; ms += 100) {
    std::int32_t exact = ms / 100 * 3;
    std::int32_t frame = to_frame(ms);
    ASSERT_TRUE(frame == exact || frame == exact - 1) << ms;
    if (frame == exact - 1) ++short_by_one;
  }
  EXPECT_EQ(short_by_one, 1721);
}

TEST(ToFrame, FloorOfThreeHundredthsOffTheMultiplesOfAHundred) {
  for (std::int32_t ms = 0; ms < 400000; ++ms) {
    if (ms % 100 == 0) continue;
    ASSERT_EQ(to_frame(ms), static_cast<std::int32_t>(3LL * ms / 100)) << ms;
  }
}

TEST(ToFrame, NegativeIsTheNegationOfTheMagnitude) {
  const std::int32_t samples[] = {1, 34, 99, 100, 1000, 60000, 123456789, INT32_MAX};
  for (std::int32_t ms : samples) EXPECT_EQ(to_frame(-ms), -to_frame(ms)) << ms;
  // -2^31 has no positive twin: 2^31 * 0.03 truncated.
  EXPECT_EQ(to_frame(INT32_MIN), -64424509);
  EXPECT_EQ(to_frame(INT32_MAX), 64424509);
}

#if LDBL_MANT_DIG == 64
TEST(ToFrame, MatchesNativeExtendedPrecisionOnAPseudoRandomSample) {
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  for (int i = 0; i < 3000000; ++i) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    // Half the draws anywhere in 32 bits, half within an hour of zero where
    // charts live.
    std::int32_t ms = (i & 1) ? static_cast<std::int32_t>(static_cast<std::uint32_t>(state))
                              : static_cast<std::int32_t>(state % 7200001) - 3600000;
    ASSERT_EQ(to_frame(ms), testing::extended_precision_frame(ms)) << ms;
  }
}
#endif

PressLog make_log(std::uint32_t start, const std::vector<std::pair<std::uint32_t, KeyCode>>& taps) {
  PressLog log;
  log.slots[0].timestamp = start;
  log.count = 1;
  for (const auto& [time, key] : taps) log.slots[log.count++] = {time, key};
  return log;
}

std::vector<std::int32_t> frames_of(const LaneLists& lanes, Lane lane) {
  const LaneList& list = lanes[lane];
  return std::vector<std::int32_t>(list.frames.begin(), list.frames.begin() + list.count);
}

TEST(BuildLaneLists, ArrowsTurnAQuarterClockwiseAndKeepTapOrder) {
  static LaneLists lanes;
  PressLog log = make_log(5000, {{5100, KEY_DOWN},
                                 {5234, KEY_RIGHT},
                                 {5367, KEY_LEFT},
                                 {5401, KEY_UP},
                                 {5550, KEY_SPACE},
                                 {6034, KEY_DOWN},
                                 {6040, KEY_DOWN},  // same frame as the tap before
                                 {7000, KEY_SPACE}});
  build_lane_lists(log, lanes);
  EXPECT_EQ(frames_of(lanes, Lane::left), (std::vector<std::int32_t>{2, 31, 31}));
  EXPECT_EQ(frames_of(lanes, Lane::down), (std::vector<std::int32_t>{7}));
  EXPECT_EQ(frames_of(lanes, Lane::up), (std::vector<std::int32_t>{11}));
  EXPECT_EQ(frames_of(lanes, Lane::right), (std::vector<std::int32_t>{12}));
  EXPECT_EQ(frames_of(lanes, Lane::space), (std::vector<std::int32_t>{16, 59}));
}

TEST(BuildLaneLists, AHeldPressIsAHoldInItsLaneAndNoTap) {
  static LaneLists lanes;
  PressLog log = make_log(5000, {{5100, KEY_DOWN}, {5234, KEY_DOWN}, {5300, KEY_SPACE}, {9000, KEY_LEFT}});
  log.slots[2].held = true;
  log.slots[2].released = 6500;
  log.slots[4].held = true;
  log.slots[4].released = 9901;
  lanes.holds.count = 2;  // left over from an earlier use
  build_lane_lists(log, lanes);
  EXPECT_EQ(frames_of(lanes, Lane::left), (std::vector<std::int32_t>{2}));
  EXPECT_EQ(frames_of(lanes, Lane::space), (std::vector<std::int32_t>{8}));
  EXPECT_EQ(lanes[Lane::up].count, 0);
  ASSERT_EQ(lanes.holds.count, 2);
  EXPECT_EQ(lanes.holds.freezes[0].lane, Lane::left);
  EXPECT_EQ(lanes.holds.freezes[0].start, 7);
  EXPECT_EQ(lanes.holds.freezes[0].end, to_frame(1500));
  EXPECT_EQ(lanes.holds.freezes[1].lane, Lane::up);
  EXPECT_EQ(lanes.holds.freezes[1].start, to_frame(4000));
  EXPECT_EQ(lanes.holds.freezes[1].end, 147);
}

TEST(BuildLaneLists, NoTapsLeavesEveryLaneEmpty) {
  static LaneLists lanes;
  lanes[Lane::up].count = 3;  // left over from an earlier use
  build_lane_lists(make_log(42, {}), lanes);
  for (const LaneList& list : lanes.lanes) EXPECT_EQ(list.count, 0);
}

TEST(BuildLaneLists, ClockWrapDuringTheRunKeepsTimesRight) {
  static LaneLists lanes;
  build_lane_lists(make_log(0xFFFFFF00u, {{0xFFFFFF64u, KEY_SPACE}, {0x00000100u, KEY_SPACE}}), lanes);
  EXPECT_EQ(frames_of(lanes, Lane::space), (std::vector<std::int32_t>{2, 15}));
}

TEST(BuildLaneLists, FullLogFillsOneLane) {
  static PressLog log;
  static LaneLists lanes;
  log.slots[0].timestamp = 0;
  for (int j = 1; j < MAX_PRESS_SLOTS; ++j) log.slots[j] = {static_cast<std::uint32_t>(j * 10), KEY_LEFT};
  log.count = MAX_PRESS_SLOTS;
  build_lane_lists(log, lanes);
  EXPECT_EQ(lanes[Lane::up].count, 9999);
  EXPECT_EQ(lanes[Lane::up].frames[9998], to_frame(99990));
}

}  // namespace
}  // namespace tap
