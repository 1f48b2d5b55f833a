#pragma once

#include <cstdint>

#include "console/console_output.h"
#include "console/key_reader.h"
#include "exit_codes.h"
#include "recorder/time_source.h"

namespace tap {

/// The clicks: 16 at 120 BPM, the first a second in, so the user is ready.
constexpr int CALIBRATION_BEATS = 16;
constexpr double CALIBRATION_BEAT_MS = 500;
constexpr double CALIBRATION_FIRST_CLICK_MS = 1000;
constexpr int CALIBRATION_MAX_TAPS = 64;
/// Taps scattered this much (standard deviation) tell no offset.
constexpr double CALIBRATION_MAX_SPREAD_MS = 30;

struct CalibrationResult {
  int taps = 0;          // taps near a click
  double mean_ms = 0;    // how late the taps came, on average (early is negative)
  double spread_ms = 0;  // their standard deviation
  int offset_ms = 0;     // what --offset takes: the mean, rounded
};

/// Measures each tap (song milliseconds) against the nearest click; a tap
/// more than a quarter beat from every click is a stray and left out. False
/// when fewer than four taps are left.
bool measure_offset(const std::int32_t* tap_ms, int count, CalibrationResult& result);

/// The calibration's dialogue on the click track's time source: ENTER
/// starts the clicks, every SPACE is a tap, ENTER ends; then the result.
/// Writes no chart. Returns the exit code.
int run_calibration(KeySource& keys, TimeSource& clicks, Console& console);

}  // namespace tap
