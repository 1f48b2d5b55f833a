#include "recorder/calibration.h"

#include <cmath>
#include <cstdio>

#include "console/virtual_keys.h"
#include "recorder/recorder.h"

namespace tap {
namespace {

double from_nearest_click(double tap_ms) {
  double beat = std::round((tap_ms - CALIBRATION_FIRST_CLICK_MS) / CALIBRATION_BEAT_MS);
  if (beat < 0) beat = 0;
  if (beat > CALIBRATION_BEATS - 1) beat = CALIBRATION_BEATS - 1;
  return tap_ms - (CALIBRATION_FIRST_CLICK_MS + beat * CALIBRATION_BEAT_MS);
}

}  // namespace

bool measure_offset(const std::int32_t* tap_ms, int count, CalibrationResult& result) {
  double sum = 0, squares = 0;
  int used = 0;
  for (int i = 0; i < count; ++i) {
    double off = from_nearest_click(tap_ms[i]);
    if (std::fabs(off) > CALIBRATION_BEAT_MS / 4) continue;
    sum += off;
    squares += off * off;
    ++used;
  }
  result = CalibrationResult{};
  result.taps = used;
  if (used < 4) return false;
  result.mean_ms = sum / used;
  result.spread_ms = std::sqrt(std::fmax(0.0, squares / used - result.mean_ms * result.mean_ms));
  result.offset_ms = static_cast<int>(std::lround(result.mean_ms));
  return true;
}

int run_calibration(KeySource& keys, TimeSource& clicks, Console& console) {
  console.write_line("Calibration: 16 clicks at 120 BPM. Press ENTER, then tap SPACE on every click,");
  console.write_line("and press ENTER again once the clicks have stopped.");
  if (!wait_for_enter(keys)) return report_reader_fault(keys.status(), console);
  clicks.start_capture();

  std::int32_t taps[CALIBRATION_MAX_TAPS];
  int count = 0;
  char line[200];
  for (;;) {
    int code = keys.read_key();
    if (code == CODE_ENTER) break;
    if (code == CODE_EXTENDED) code = keys.read_key() == -1 ? -1 : 0;  // an arrow or another such key
    if (code == -1 && keys.status().fault != ReaderFault::none) break;
    // Every key is answered, as in the capture, so none seems lost.
    if (code != CODE_SPACE) {
      console.write_line("not a tap: tap SPACE on the clicks");
      continue;
    }
    if (count == CALIBRATION_MAX_TAPS) {
      std::snprintf(line, sizeof line, "not a tap: %d taps are all it keeps", CALIBRATION_MAX_TAPS);
      console.write_line(line);
      continue;
    }
    taps[count] = static_cast<std::int32_t>(clicks.elapsed_ms());
    std::snprintf(line, sizeof line, "tap %d: %+.0f ms", count + 1, from_nearest_click(taps[count]));
    ++count;
    console.write_line(line);
  }
  clicks.stop_capture();
  if (const char* notice = clicks.take_notice()) console.error_line(notice);
  if (keys.status().fault != ReaderFault::none) return report_reader_fault(keys.status(), console);

  CalibrationResult result;
  if (!measure_offset(taps, count, result)) {
    std::snprintf(line, sizeof line,
                  "Too few taps near the clicks (%d of %d) to tell an offset: run --calibrate again.", result.taps,
                  CALIBRATION_BEATS);
    console.write_line(line);
    return EXIT_TOO_FEW_TAPS;
  }
  std::snprintf(line, sizeof line, "Your taps come %.1f ms %s the clicks on average (spread %.1f ms over %d taps).",
                std::fabs(result.mean_ms), result.mean_ms < 0 ? "before" : "after", result.spread_ms, result.taps);
  console.write_line(line);
  // Past this the mean says more about the scatter than about a latency.
  if (result.spread_ms >= CALIBRATION_MAX_SPREAD_MS) {
    std::snprintf(line, sizeof line,
                  "A spread of %.0f ms or more is too wide to tell an offset: run --calibrate again, tapping "
                  "along with the clicks.",
                  CALIBRATION_MAX_SPREAD_MS);
    console.write_line(line);
    return EXIT_TOO_FEW_TAPS;
  }
  std::snprintf(line, sizeof line, "Use --offset %d", result.offset_ms);
  console.write_line(line);
  return EXIT_DONE;
}

}  // namespace tap
