#include "chart/chart_writer.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "chart/chart_file.h"
#include "chart/chart_text.h"

namespace tap {
namespace {

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

// Opens the file, says whether it could be, has `body` write the lines to
// the console and the file, and reports how writing and replacing went.
template <typename Body>
ChartResult write_chart_file(Console& console, const char* path, Body body) {
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
  body(file);
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

// A hold list's pairs, flat: a press, then its release.
void write_holds_line(Console& console, ChartFile& file, const FreezeList& holds, int lane) {
  // A lane's holds are picked from all of them: the first pass counts
  // them, and each value is found by walking to it, which stays linear
  // since the values are asked for in order.
  int count = 0;
  for (int k = 0; k < holds.count; ++k) count += static_cast<int>(holds.freezes[k].lane) == lane ? 2 : 0;
  int at = -1;
  write_frames_line(console, file, CHART_LABELS[LANE_COUNT + lane], count, [&holds, &at, lane](int j) {
    if (j % 2 == 0) {
      do ++at;
      while (static_cast<int>(holds.freezes[at].lane) != lane);
    }
    return j % 2 == 0 ? holds.freezes[at].start : holds.freezes[at].end;
  });
}

void write_text_line(Console& console, ChartFile& file, const char* text, std::size_t length) {
  write_both(console, file, text, length);
  console.end_line();
  file.end_line();
}

}  // namespace

ChartResult write_chart(const LaneLists& lanes, Console& console, const char* path) {
  return write_chart_file(console, path, [&](ChartFile& file) {
    for (int lane = 0; lane < LANE_COUNT; ++lane) {
      const LaneList& list = lanes.lanes[lane];
      write_frames_line(console, file, CHART_LABELS[lane], list.count, [&list](int j) { return list.frames[j]; });
    }
    for (int lane = 0; lane < LANE_COUNT; ++lane) write_holds_line(console, file, lanes.holds, lane);
    // The lines a tap recording never fills: all on the console, then all
    // in the file.
    char fixed[CHART_LINES - FRAME_LINES][24];
    for (int k = 0; k < CHART_LINES - FRAME_LINES; ++k) {
      std::snprintf(fixed[k], sizeof fixed[k], "%s%s", CHART_LABELS[FRAME_LINES + k], FIXED_VALUES[k]);
      console.write(fixed[k]);
      console.end_line();
    }
    for (const char* line : fixed) {
      file.write(line, std::strlen(line));
      file.end_line();
    }
  });
}

ChartResult write_chart(const ChartText& chart, Console& console, const char* path) {
  std::array<bool, CHART_LINES> present{};
  for (const ChartText::Line& line : chart.lines) {
    if (line.which >= 0) present[static_cast<std::size_t>(line.which)] = true;
  }
  return write_chart_file(console, path, [&](ChartFile& file) {
    auto write_line = [&](int which, const char* text, std::size_t length) {
      if (which >= 0 && which < FRAME_LINES && chart.changed[static_cast<std::size_t>(which)]) {
        const std::vector<std::int32_t>& frames = chart.frames[static_cast<std::size_t>(which)];
        write_frames_line(console, file, CHART_LABELS[which], static_cast<int>(frames.size()),
                          [&frames](int j) { return frames[static_cast<std::size_t>(j)]; });
      } else {
        write_text_line(console, file, text, length);
      }
    };
    // A line of a chart the file lacks stands where a fresh chart has it:
    // after the one before it, or first.
    auto write_missing_after = [&](int which) {
      for (int next = which + 1; next < CHART_LINES && !present[static_cast<std::size_t>(next)]; ++next) {
        char fresh[24];
        int length = std::snprintf(fresh, sizeof fresh, "%s%s", CHART_LABELS[next],
                                   next >= FRAME_LINES ? FIXED_VALUES[next - FRAME_LINES] : "");
        write_line(next, fresh, static_cast<std::size_t>(length));
        present[static_cast<std::size_t>(next)] = true;
      }
    };
    write_missing_after(-1);
    for (const ChartText::Line& line : chart.lines) {
      write_line(line.which, chart.bytes.data() + line.begin, line.end - line.begin);
      if (line.which >= 0) write_missing_after(line.which);
    }
  });
}

namespace {

// Per lane, how far the grid moved the taps: a wrong BPM or first beat
// moves most of them by a third of a step or more, a right one little.
void report_snap(const LaneLists& lanes, const BeatGrid& grid, Console& console) {
  char line[200];
  std::snprintf(line, sizeof line, "Snapped to 1/%d beat at %g BPM from %g ms (every %.1f ms):", grid.division,
                grid.bpm, grid.first_beat_ms, grid.step_ms());
  console.write_line(line);
  int count = 0, far_off = 0;
  for (int lane = 0; lane < LANE_COUNT; ++lane) {
    const SnapMoves& moves = lanes.moves[static_cast<std::size_t>(lane)];
    count += moves.count;
    far_off += moves.far_off;
    if (moves.count == 0)
      std::snprintf(line, sizeof line, "  %s: no taps", LANE_NAMES[lane]);
    else
      std::snprintf(line, sizeof line, "  %s: %d moved %.1f ms on average, %.1f ms at most", LANE_NAMES[lane],
                    moves.count, moves.total_ms / moves.count, moves.largest_ms);
    console.write_line(line);
  }
  if (count > 0 && far_off * 2 > count) {
    std::snprintf(line, sizeof line,
                  "Most taps moved %.1f ms (a third of the grid) or more: is the BPM or the first beat wrong?",
                  grid.step_ms() / 3);
    console.write_line(line);
  }
}

}  // namespace

ChartResult run_chart_stage(const PressLog& log, LaneLists& lanes, Console& console, const char* path,
                            const ChartStage& stage) {
  build_lane_lists(log, lanes, stage.grid);
  ChartResult result;
  if (stage.merge_into != nullptr) {
    auto since_start = static_cast<std::int32_t>(static_cast<std::uint32_t>(log.ended - log.slots[0].timestamp));
    merge_take(*stage.merge_into, lanes, stage.lanes, to_frame(stage.take_from_ms), to_frame(since_start));
    result = write_chart(*stage.merge_into, console, path);
  } else {
    result = write_chart(lanes, console, path);
  }
  if (stage.grid.bpm > 0) report_snap(lanes, stage.grid, console);
  return result;
}

}  // namespace tap
