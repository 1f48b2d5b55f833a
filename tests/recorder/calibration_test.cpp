#include "recorder/calibration.h"

#include <gtest/gtest.h>

#include <vector>

namespace tap {
namespace {

TEST(Calibration, MeasuresEachTapAgainstTheNearestClick) {
  struct Case {
    std::vector<std::int32_t> taps;  // song milliseconds; clicks at 1000, 1500, ... 8500
    bool measured;
    int used, offset_ms;
    double mean_ms, spread_ms;
  };
  const Case cases[] = {
      {{1020, 1520, 2020, 2520}, true, 4, 20, 20.0, 0.0},
      {{990, 1480, 1970, 2460}, true, 4, -25, -25.0, 11.18},                      // early, spread out
      {{1030, 1250, 2030, 2530, 3030, 400, 9000, 8530}, true, 5, 30, 30.0, 0.0},  // strays off every click
      {{1030, 1530, 2030}, false, 3, 0, 0, 0},                                    // too few to tell
      {{}, false, 0, 0, 0, 0},
      {{1126, 1626, 2125, 2624}, false, 2, 0, 0, 0},  // past a quarter beat is a stray
  };
  for (const Case& c : cases) {
    CalibrationResult result;
    EXPECT_EQ(measure_offset(c.taps.data(), static_cast<int>(c.taps.size()), result), c.measured) << c.taps.size();
    EXPECT_EQ(result.taps, c.used);
    if (!c.measured) continue;
    EXPECT_EQ(result.offset_ms, c.offset_ms);
    EXPECT_NEAR(result.mean_ms, c.mean_ms, 0.01);
    EXPECT_NEAR(result.spread_ms, c.spread_ms, 0.01);
  }
}

}  // namespace
}  // namespace tap
