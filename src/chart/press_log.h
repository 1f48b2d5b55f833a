#pragma once

#include <array>
#include <cstdint>

namespace tap {

// The Recorder fills the press log and the chart stage reads it, so it lives
// with the chart, below the Recorder.

/// The key of a recorded tap, stored as the digit itself.
using KeyCode = char;
constexpr KeyCode KEY_LEFT = '1';
constexpr KeyCode KEY_DOWN = '2';
constexpr KeyCode KEY_UP = '3';
constexpr KeyCode KEY_RIGHT = '4';
constexpr KeyCode KEY_SPACE = '9';

constexpr int MAX_PRESS_SLOTS = 10000;

/// A press the key was held down for is a hold: `released` is when the key
/// came up, on the same clock as `timestamp`.
struct PressSlot {
  std::uint32_t timestamp;
  KeyCode key;
  bool held = false;
  std::uint32_t released = 0;
};

/// Slot 0 holds the start time (its key is never used); taps fill slots 1,
/// 2, ... in the order read, so a run holds at most 9999 taps. `count`
/// includes slot 0.
struct PressLog {
  std::array<PressSlot, MAX_PRESS_SLOTS> slots;
  int count = 0;
  std::uint32_t ended = 0;  // when the capture ended, on the slots' clock
};

}  // namespace tap
