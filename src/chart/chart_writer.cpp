#include "chart/chart_writer.h"

#include <cstdio>

namespace tap {
namespace {

const char* const LANE_LABELS[LANE_COUNT] = {
    "&left_data=", "&down_data=", "&up_data=", "&right_data=", "&space_data=",
};

// The keys the chart format carries but a tap recording never fills.
const char* const FIXED_LINES[] = {
    "&frzLeft_data=", "&frzDown_data=",  "&frzUp_data=", "&frzRight_data=",
    "&frzSpace_data=", "&stop_data=", "&speed_data=", "&tuning=Name",
};

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

// The file's side of every piece: written in binary so CR LF is exactly
// what lands on every platform.
void file_write(std::FILE* file, const char* text, std::size_t length) { std::fwrite(text, 1, length, file); }

void file_end_line(std::FILE* file) {
  std::fwrite("\r\n", 1, 2, file);
  std::fflush(file);
}

void write_both(Console& console, std::FILE* file, const char* text, std::size_t length) {
  console.write(text, length);
  file_write(file, text, length);
}

}  // namespace

ChartResult write_chart(const LaneLists& lanes, Console& console, const char* path) {
  std::FILE* file = std::fopen(path, "wb");
  if (file == nullptr) {
    console.write("Don't open");
    console.end_line();
    return ChartResult::not_opened;
  }
  console.write("Can Open File");
  console.end_line();

  for (int lane = 0; lane < LANE_COUNT; ++lane) {
    write_both(console, file, LANE_LABELS[lane], std::strlen(LANE_LABELS[lane]));
    const LaneList& list = lanes.lanes[lane];
    for (int j = 0; j < list.count; ++j) {
      if (j != 0) write_both(console, file, ",", 1);
      char number[12];
      write_both(console, file, number, static_cast<std::size_t>(format_frame(list.frames[j], number)));
    }
    console.end_line();
    file_end_line(file);
  }

  for (const char* line : FIXED_LINES) {
    console.write(line);
    console.end_line();
  }
  for (const char* line : FIXED_LINES) {
    file_write(file, line, std::strlen(line));
    file_end_line(file);
  }
  std::fclose(file);
  return ChartResult::opened;
}

ChartResult run_chart_stage(const PressLog& log, LaneLists& lanes, Console& console, const char* path) {
  build_lane_lists(log, lanes);
  return write_chart(lanes, console, path);
}

}  // namespace tap
