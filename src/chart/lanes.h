#pragma once

#include <array>
#include <cstdint>

#include "chart/press_log.h"

namespace tap {

/// The chart's note columns, in chart order.
enum class Lane { left, down, up, right, space };
constexpr int LANE_COUNT = 5;
// A lane can take every tap of a full press log.
constexpr int LANE_CAPACITY = MAX_PRESS_SLOTS;

struct LaneList {
  std::array<std::int32_t, LANE_CAPACITY> frames;
  int count = 0;
};

/// A hold: the frames of its press and of its release, in its lane.
struct Freeze {
  std::int32_t start;
  std::int32_t end;
  Lane lane;
};

/// Every hold of a run, in the order of their presses; a lane's freeze
/// line takes its own from them.
struct FreezeList {
  std::array<Freeze, MAX_PRESS_SLOTS> freezes;
  int count = 0;
};

/// A beat grid taps are moved to: the nearest 1/`division` of a beat, at
/// `bpm` beats a minute, of a grid whose first beat is at `first_beat_ms`.
struct BeatGrid {
  double bpm = 0;  // 0: no grid
  double first_beat_ms = 0;
  int division = 1;
  double step_ms() const { return 60000.0 / (bpm * division); }
};

/// How far a grid moved a lane's taps and hold ends, in milliseconds, and
/// how many of them by a third of its step or more.
struct SnapMoves {
  int count = 0;
  double total_ms = 0;
  double largest_ms = 0;
  int far_off = 0;
};

struct LaneLists {
  std::array<LaneList, LANE_COUNT> lanes;
  FreezeList holds;
  std::array<SnapMoves, LANE_COUNT> moves;
  LaneList& operator[](Lane lane) { return lanes[static_cast<int>(lane)]; }
  const LaneList& operator[](Lane lane) const { return lanes[static_cast<int>(lane)]; }
};

/// The lane of a recorded key: the arrows turned a quarter turn clockwise
/// (down to Left, right to Down, left to Up, up to Right), space to Space.
Lane lane_of(KeyCode key);

/// Milliseconds to thirtieths of a second, exactly as x87 extended precision
/// computes (ms * 0.001L) * 30 and truncates: the constant nearest 0.001
/// lies a little below it, so some multiples of 100 ms come out one frame
/// short (1000 ms is frame 29). Done in integers, so every compiler agrees.
std::int32_t to_frame(std::int32_t elapsed_ms);

/// Fills the lane lists from slots 1 to count - 1 of the log, in log order,
/// with each tap's time since slot 0 taken as a signed 32-bit difference so
/// a wrap of the clock in between does no harm. A held press goes to the
/// holds, with its release converted the same way, and not to its lane.
/// With a grid, each time is first moved to it, and the moves counted.
void build_lane_lists(const PressLog& log, LaneLists& lanes, const BeatGrid& grid = {});

/// The lanes by the names their chart lines have: "left" to "space".
extern const char* const LANE_NAMES[LANE_COUNT];

}  // namespace tap
