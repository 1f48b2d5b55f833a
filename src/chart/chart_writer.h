#pragma once

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

/// The chart stage of a run: the press log's taps into lanes, then the chart.
ChartResult run_chart_stage(const PressLog& log, LaneLists& lanes, Console& console,
                            const char* path = CHART_FILE_NAME);

}  // namespace tap
