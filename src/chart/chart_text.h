#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "chart/lanes.h"

namespace tap {

/// The chart lines the program writes, in their order: the five lanes,
/// the five freeze lines, then the three it leaves as they are.
constexpr int CHART_LINES = 13;
constexpr int FRAME_LINES = 2 * LANE_COUNT;  // the lanes' and the freezes'
extern const char* const CHART_LABELS[CHART_LINES];
/// What a fresh chart has after the label of each of the last three.
extern const char* const FIXED_VALUES[CHART_LINES - FRAME_LINES];

/// A chart read back from its file, to take a new take: its lines as they
/// stand, the frames of its lane and freeze lines (a freeze line's values
/// are pairs of a press and its release), and which of those a take has
/// changed. A line it does not change is written back byte for byte.
struct ChartText {
  std::string bytes;
  struct Line {
    std::size_t begin, end;  // its text, without its line end
    int which;               // its place among CHART_LABELS, or -1 for the user's own
  };
  std::vector<Line> lines;
  std::array<std::vector<std::int32_t>, FRAME_LINES> frames;
  std::array<bool, FRAME_LINES> changed{};
  bool found = true;  // false: there was no file, and this is an empty chart
};

/// More than this cannot be a chart (twenty thousand notes a lane come to
/// a few hundred kilobytes).
constexpr std::size_t MAX_CHART_BYTES = 8u << 20;

/// Checks `bytes` as a chart and takes it into `chart`; false with `why`
/// set (where, and what is wrong) when it is none: a byte that is not
/// text, a line without '=', a lane or freeze line twice, a value that is
/// not a whole number a frame can be, a freeze line with an odd count.
bool parse_chart(std::string bytes, ChartText& chart, char* why, std::size_t why_size);

/// The chart at `path` for a take to go into: one that is missing is an
/// empty chart. False with `why` set when it is not a chart or cannot be
/// read; the file is only read.
bool read_chart(const char* path, ChartText& chart, char* why, std::size_t why_size);

/// Puts a take into the chart: in each lane `lanes` says (bit 1 << lane),
/// the notes from frame `from` to frame `to` (holds by their press) give
/// way to the take's, and the line is sorted by frame (holds by press).
void merge_take(ChartText& chart, const LaneLists& take, unsigned lanes, std::int32_t from, std::int32_t to);

/// A note as a review plays it: its frame and lane, and whether it is the
/// end of a hold (heard, but no tap of its own).
struct ChartNote {
  std::int32_t frame;
  Lane lane;
  bool hold_end;
};

/// Every note of the chart, a hold's press and its release each, in the
/// order they are played (at one frame, in lane order).
std::vector<ChartNote> chart_notes(const ChartText& chart);

/// Where frame `frame` begins, in milliseconds of the song.
inline double frame_ms(std::int32_t frame) { return frame * 100.0 / 3.0; }

}  // namespace tap
