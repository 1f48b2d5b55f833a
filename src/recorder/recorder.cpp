#include "recorder/recorder.h"

#include <cstdio>

#include "console/termination.h"
#include "console/virtual_keys.h"

namespace tap {

int report_reader_fault(const KeyReaderStatus& status, Console& console) {
  char line[160];
  int code = EXIT_NO_TERMINAL;
  switch (status.fault) {
    case ReaderFault::none: return EXIT_DONE;
    case ReaderFault::no_terminal:
      std::snprintf(line, sizeof line, "tap-recorder: no terminal to read keys from (%s)", status.detail);
      break;
    case ReaderFault::terminal_lost:
      std::snprintf(line, sizeof line, "tap-recorder: the terminal was lost (%s)", status.detail);
      break;
    case ReaderFault::signal:
      std::snprintf(line, sizeof line, "tap-recorder: stopped by %s", status.detail);
      code = EXIT_SIGNAL_BASE + status.signal_number;
      break;
  }
  console.error_line(line);
  return code;
}

// The song can stop while a read waits; the user hears of it with the next
// key, and the capture goes on.
void Recorder::tell_notice() {
  if (const char* notice = clock_.take_notice()) console_.error_line(notice);
}

void Recorder::say(Message message) { console_.write_line(message_text(message, encoding_)); }

// A press held long enough is a hold; a release with no press (the key was
// down before the start) is nothing.
void Recorder::release(KeyCode key) {
  int& slot = down_[static_cast<int>(lane_of(key))];
  if (slot == 0) return;
  PressSlot& press = log_.slots[slot];
  slot = 0;
  std::uint32_t now = clock_.elapsed_ms();
  if (static_cast<std::int32_t>(now - press.timestamp) < hold_threshold_) return;
  press.held = true;
  press.released = now;
}

// A key held down repeats its press every 30 to 40 ms once the terminal's
// repeat delay (200 ms or more) has passed: a press that comes within
// REPEAT_GAP_MS of the one before, of the same key with nothing between, is
// a repeat, and so was the one before it, after the delay. Nobody taps one
// key that fast.
constexpr int REPEAT_GAP_MS = 60;

bool Recorder::take_repeat(KeyCode key, int& index) {
  if (key != run_key_ || (repeats_ == 0 && run_length_ < 2)) return false;
  std::uint32_t now = clock_.elapsed_ms();
  std::int32_t gap = static_cast<std::int32_t>(now - (repeats_ > 0 ? last_time_ : log_.slots[index - 1].timestamp));
  if (gap < 0 || gap > repeat_gap_) return false;
  if (repeats_ == 0) --index;  // the delay's repeat, answered as a tap before it was known
  ++repeats_;
  last_time_ = now;
  intervals_ms_ += static_cast<std::uint32_t>(gap);
  PressSlot& press = log_.slots[index - 1];
  std::uint32_t released = now + intervals_ms_ / static_cast<std::uint32_t>(repeats_) / 2;
  press.held = static_cast<std::int32_t>(released - press.timestamp) >= hold_threshold_;
  press.released = released;
  return true;
}

// Keys still down when the capture ends are released then.
void Recorder::end_holds() {
  for (int lane = 0; lane < LANE_COUNT; ++lane) {
    if (down_[lane] != 0) release(log_.slots[down_[lane]].key);
  }
}

void Recorder::capture() {
  // The user's milliseconds, in the clock's: a hold at --rate 0.5 lasts
  // half as much of the song.
  hold_threshold_ = static_cast<std::int32_t>(hold_ms_ * clock_.rate());
  repeat_gap_ = static_cast<std::int32_t>(REPEAT_GAP_MS * clock_.rate());
  const bool by_releases = hold_ms_ > 0 && holds_from_ == HoldsFrom::releases;
  const bool by_repeats = hold_ms_ > 0 && holds_from_ == HoldsFrom::repeats;
  int index = 1;
  for (;;) {
    int code = keys_.read_key();
    if (hold_ms_ > 0 && code > CODE_RELEASED) {
      release(static_cast<KeyCode>(code - CODE_RELEASED));
      continue;
    }
    KeyCode key = 0;
    Message message = Message::other_key_pressed;
    if (code == CODE_EXTENDED) {
      int second = keys_.read_key();
      // clang-format off
      switch (second) {
        case SECOND_CODE_LEFT: message = Message::left_pressed; key = KEY_LEFT; break;
        case SECOND_CODE_DOWN: message = Message::down_pressed; key = KEY_DOWN; break;
        case SECOND_CODE_UP: message = Message::up_pressed; key = KEY_UP; break;
        case SECOND_CODE_RIGHT: message = Message::right_pressed; key = KEY_RIGHT; break;
        default:
          if (second == -1 && faulted()) code = -1;
          break;
      }
      // clang-format on
    } else if (code == CODE_SPACE) {
      message = Message::space_pressed;
      key = KEY_SPACE;
    } else if (code == CODE_ENTER) {
      say(Message::enter_pressed);
      break;
    }
    // The terminal is gone or a signal asked to stop: keep what was
    // recorded and go on to the chart.
    if (code == -1 && faulted()) break;
    if (key != 0 && (stage_.lanes & (1u << static_cast<int>(lane_of(key)))) == 0) {
      key = 0;
      message = Message::other_key_pressed;
    }
    int& down = down_[static_cast<int>(lane_of(key))];
    // A key that repeats while it is held is one hold, not taps.
    if (key != 0 && by_releases && down != 0) continue;
    if (key != 0 && by_repeats && take_repeat(key, index)) continue;
    tell_notice();
    say(message);
    if (key != 0) {
      // The time is read after the acknowledgement is out, so it includes
      // the cost of writing it.
      if (by_releases) down = index;
      PressSlot& slot = log_.slots[index++];
      slot.timestamp = clock_.elapsed_ms();
      slot.key = key;
    }
    run_length_ = key != 0 && key == run_key_ && repeats_ == 0 ? run_length_ + 1 : 1;
    run_key_ = key;
    repeats_ = 0;
    intervals_ms_ = 0;
    if (index == MAX_PRESS_SLOTS) break;
  }
  log_.count = index;
  // Where a take ends, for a chart it goes into.
  if (stage_.merge_into != nullptr) log_.ended = clock_.elapsed_ms();
  end_holds();
}

int Recorder::run() {
  say(Message::start_prompt);
  say(Message::end_hint);
  if (!wait_for_enter(keys_)) return report_reader_fault(keys_.status(), console_);

  // The start time is taken before "計測開始！" is written.
  log_.slots[0].timestamp = clock_.start_capture();
  log_.count = 1;
  // From here until ved.txt is closed, no request to end the program may
  // cost a tap or cut the file short.
  set_taps_at_stake(true);
  say(Message::capture_started);
  capture();
  clock_.stop_capture();
  tell_notice();

  // A console that is being closed may block a write instead of failing it:
  // the chart then goes to the file alone.
  NullConsole nowhere;
  Console& chart_console = keys_.status().console_closed ? nowhere : console_;
  ChartResult chart = run_chart_stage(log_, lanes_, chart_console, chart_path_, stage_);
  set_taps_at_stake(false);
  if (chart != ChartResult::opened) {
    if (own_window_ && !faulted()) {
      say(Message::closing_prompt);
      wait_for_enter(keys_);
    }
    return EXIT_CHART_NOT_WRITTEN;
  }
  if (faulted()) return report_reader_fault(keys_.status(), console_);

  say(Message::thats_all);
  say(Message::closing_prompt);
  if (!wait_for_enter(keys_)) return report_reader_fault(keys_.status(), console_);
  say(Message::finished);
  return EXIT_DONE;
}

}  // namespace tap
