#include "chart/chart_writer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "chart/chart_file.h"

namespace tap {
namespace {

const char* const LANE_LABELS[LANE_COUNT] = {
    "&left_data=", "&down_data=", "&up_data=", "&right_data=", "&space_data=",
};

// Each lane's holds: pairs of the frames of a press and of its release.
const char* const FREEZE_LABELS[LANE_COUNT] = {
    "&frzLeft_data=", "&frzDown_data=", "&frzUp_data=", "&frzRight_data=", "&frzSpace_data=",
};

// The keys the chart format carries but a tap recording never fills.
const char* const FIXED_LINES[] = {"&stop_data=", "&speed_data=", "&tuning=Name"};

// Plain decimal, a leading '-' for negatives; no locale is involved.
int format_frame(std::int32_t value, char* out) {
  char digits[12];
  int n = 0;
  std::uint32_t magnitude = value < 0 ? 0u - static_cast<std::uint32_t>(value) : static_cast<std::uint32_t>(value);
  do {
    digits[n++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  int length = 0;
  if (value < 0) out[length++] = '-';
  while (n > 0) out[length++] = digits[--n];
  return length;
}

// Each piece goes to the console first, then to the file.
void write_both(Console& console, ChartFile& file, const char* text, std::size_t length) {
  console.write(text, length);
  file.write(text, length);
}

// One line of frames, each after a comma but the first: its label, then
// the values `count` gives and `value` reads.
template <typename Value>
void write_frames_line(Console& console, ChartFile& file, const char* label, int count, Value value) {
  write_both(console, file, label, std::strlen(label));
  for (int j = 0; j < count; ++j) {
    if (j != 0) write_both(console, file, ",", 1);
    char number[12];
    write_both(console, file, number, static_cast<std::size_t>(format_frame(value(j), number)));
  }
  console.end_line();
  file.end_line();
}

// In the dialogue, and on standard error for output sent elsewhere.
void report_failure(Console& console, const char* what, const char* path, int error) {
  char line[4400];
  std::snprintf(line, sizeof line, "Could not %s %s (%s)", what, path, std::strerror(error));
  console.write_line(line);
  std::snprintf(line, sizeof line, "tap-recorder: cannot %s %s: %s", what, path, std::strerror(error));
  console.error_line(line);
}

}  // namespace

ChartResult write_chart(const LaneLists& lanes, Console& console, const char* path) {
  ChartFile file(path);
  // Without the file the lines still go to the console, so the taps can be
  // copied from there; standard error says why, for output sent elsewhere.
  console.write(file.is_open() ? "Can Open File" : "Don't open");
  console.end_line();
  if (!file.is_open()) {
    char line[256];
    std::snprintf(line, sizeof line, "tap-recorder: cannot open %s: %s", path, std::strerror(file.open_error()));
    console.error_line(line);
  }

  for (int lane = 0; lane < LANE_COUNT; ++lane) {
    const LaneList& list = lanes.lanes[lane];
    write_frames_line(console, file, LANE_LABELS[lane], list.count, [&list](int j) { return list.frames[j]; });
  }
  // A lane's holds are picked from all of them: the first pass counts
  // them, and each value is found by walking to it, which stays linear
  // since the values are asked for in order.
  const FreezeList& holds = lanes.holds;
  for (int lane = 0; lane < LANE_COUNT; ++lane) {
    int count = 0;
    for (int k = 0; k < holds.count; ++k) count += static_cast<int>(holds.freezes[k].lane) == lane ? 2 : 0;
    int at = -1;
    write_frames_line(console, file, FREEZE_LABELS[lane], count, [&holds, &at, lane](int j) {
      if (j % 2 == 0) {
        do ++at;
        while (static_cast<int>(holds.freezes[at].lane) != lane);
      }
      return j % 2 == 0 ? holds.freezes[at].start : holds.freezes[at].end;
    });
  }

  for (const char* line : FIXED_LINES) {
    console.write(line);
    console.end_line();
  }
  for (const char* line : FIXED_LINES) {
    file.write(line, std::strlen(line));
    file.end_line();
  }

  if (!file.is_open()) return ChartResult::not_opened;
  if (!file.close()) {
    report_failure(console, "write", path, file.error());
    return ChartResult::write_failed;
  }
  if (file.replaced_previous() && file.kept_error() != 0) {
    report_failure(console, "keep the previous chart as", file.kept_as(), file.kept_error());
  } else if (file.replaced_previous()) {
    char line[4400];
    std::snprintf(line, sizeof line, "Previous chart kept as %s", file.kept_as());
    console.write_line(line);
  }
  return ChartResult::opened;
}

ChartResult run_chart_stage(const PressLog& log, LaneLists& lanes, Console& console, const char* path) {
  build_lane_lists(log, lanes);
  return write_chart(lanes, console, path);
}

}  // namespace tap
