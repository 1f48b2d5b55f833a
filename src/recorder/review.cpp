#include "recorder/review.h"

#include "console/virtual_keys.h"
#include "recorder/messages.h"
#include "recorder/recorder.h"

namespace tap {
namespace {

// The line of each lane's tap: its key is a quarter turn from its lane.
constexpr Message LANE_MESSAGES[LANE_COUNT] = {Message::down_pressed, Message::right_pressed, Message::left_pressed,
                                               Message::up_pressed, Message::space_pressed};

// The longest a wait for a key may put off a note's line, and the
// dialogue's answer to one.
constexpr int LONGEST_WAIT_MS = 100;

}  // namespace

std::vector<SongClick> review_clicks(const std::vector<ChartNote>& notes) {
  std::vector<SongClick> clicks;
  clicks.reserve(notes.size());
  for (const ChartNote& note : notes) clicks.push_back({frame_ms(note.frame), static_cast<int>(note.lane)});
  return clicks;
}

int run_review(KeySource& keys, TimeSource& clock, Console& console, TextEncoding encoding,
               const std::vector<ChartNote>& notes, std::int32_t from_ms) {
  auto say = [&](Message message) { console.write_line(message_text(message, encoding)); };
  auto tell_notice = [&] {
    if (const char* notice = clock.take_notice()) console.error_line(notice);
  };
  say(Message::start_prompt);
  say(Message::end_hint);
  if (!wait_for_enter(keys)) return report_reader_fault(keys.status(), console);

  std::uint32_t zero = clock.start_capture();
  say(Message::capture_started);
  std::size_t next = 0;
  auto skip_unshown = [&] {
    while (next < notes.size() && (notes[next].hold_end || frame_ms(notes[next].frame) < from_ms)) ++next;
  };
  skip_unshown();
  for (;;) {
    // Song milliseconds since the start, as a tap's would be read.
    auto now = static_cast<std::int32_t>(clock.elapsed_ms() - zero);
    while (next < notes.size() && frame_ms(notes[next].frame) <= now) {
      tell_notice();
      say(LANE_MESSAGES[static_cast<int>(notes[next].lane)]);
      ++next;
      skip_unshown();
    }
    int wait = LONGEST_WAIT_MS;
    if (next < notes.size()) {
      double until = (frame_ms(notes[next].frame) - now) / clock.rate();
      if (until < wait) wait = until < 1 ? 1 : static_cast<int>(until);
    }
    if (!keys.key_ready(wait)) continue;
    int code = keys.read_key();
    if (code == CODE_ENTER) {
      say(Message::enter_pressed);
      break;
    }
    if (code == CODE_EXTENDED) code = keys.read_key();
    if (code == -1 && keys.status().fault != ReaderFault::none) break;
  }
  clock.stop_capture();
  tell_notice();
  if (keys.status().fault != ReaderFault::none) return report_reader_fault(keys.status(), console);
  say(Message::closing_prompt);
  if (!wait_for_enter(keys)) return report_reader_fault(keys.status(), console);
  say(Message::finished);
  return EXIT_DONE;
}

}  // namespace tap
