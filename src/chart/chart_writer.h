#pragma once

#include "chart/chart_text.h"
#include "chart/lanes.h"
#include "chart/press_log.h"
#include "console/console_output.h"

namespace tap {

constexpr const char* CHART_FILE_NAME = "ved.txt";

enum class ChartResult { opened, not_opened, write_failed };

/// Writes the thirteen chart lines to the file at `path` (replacing it once
/// the new one is whole; CR LF line ends) and echoes each to the console
/// after "Can Open File". When the file cannot be opened the console shows
/// "Don't open" and then the lines all the same; when writing or closing it
/// fails, the lines are followed by one line that says so. Either failure
/// also gets one line on standard error with the reason.
ChartResult write_chart(const LaneLists& lanes, Console& console, const char* path = CHART_FILE_NAME);

/// A chart read back, with a take merged into it: the lines it had, in
/// their place, those the take did not change byte for byte, and any line
/// of a chart it lacked where a fresh chart has it.
ChartResult write_chart(const ChartText& chart, Console& console, const char* path = CHART_FILE_NAME);

/// What a run asks of its chart beyond the taps.
struct ChartStage {
  BeatGrid grid;                            // moves every tap to it, when set
  ChartText* merge_into = nullptr;          // the chart the take goes into, read before the start
  unsigned lanes = (1u << LANE_COUNT) - 1;  // the lanes the take records
  std::int32_t take_from_ms = 0;            // where the take's playback began
};

/// The chart stage of a run: the press log's taps into lanes, then the
/// chart, fresh or with the take merged in over the time it covered (to
/// the log's end), then how far a grid moved the taps.
ChartResult run_chart_stage(const PressLog& log, LaneLists& lanes, Console& console, const char* path = CHART_FILE_NAME,
                            const ChartStage& stage = {});

}  // namespace tap
