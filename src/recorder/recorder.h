#pragma once

#include <cstdint>

#include "chart/chart_writer.h"
#include "chart/lanes.h"
#include "chart/press_log.h"
#include "console/console_output.h"
#include "console/key_reader.h"
#include "exit_codes.h"
#include "recorder/messages.h"
#include "recorder/time_source.h"

namespace tap {

/// Tells the user on standard error why keys can no longer be read and
/// returns the exit code for it.
int report_reader_fault(const KeyReaderStatus& status, Console& console);

/// The whole dialogue: prompts, the wait for ENTER, the capture of taps
/// into the press log, the chart, the closing prompt. Owns the press log and
/// the lane lists, sized for the worst case, so a run allocates nothing.
class Recorder {
 public:
  Recorder(KeySource& keys, TimeSource& clock, Console& console, TextEncoding encoding,
           const char* chart_path = CHART_FILE_NAME)
      : keys_(keys), clock_(clock), console_(console), encoding_(encoding), chart_path_(chart_path) {}

  /// The console window closes the moment the program ends (see
  /// console_window_is_own): a chart shown because ved.txt could not be
  /// written then waits for ENTER, so that the taps can be copied.
  void set_own_window(bool own) { own_window_ = own; }

  /// How the keys tell a hold: by their releases (CODE_RELEASED), or, where
  /// the terminal reports none, by the presses a held key repeats.
  enum class HoldsFrom { releases, repeats };
  /// Above 0, a lane key held down at least `threshold_ms` is a hold: its
  /// press and its release go to its lane's freeze line and not to its
  /// lane, and the presses the key repeats while it is down are part of it.
  /// From repeats, a hold is seen once its key repeats (past the
  /// terminal's repeat delay), and its release is placed half a repeat
  /// interval after its last repeat.
  void set_holds(int threshold_ms, HoldsFrom from = HoldsFrom::releases) {
    hold_ms_ = threshold_ms;
    holds_from_ = from;
  }

  /// A grid for the taps, a chart for the take to go into, the lanes it
  /// records: a key of another lane is answered as any other key.
  void set_chart_stage(const ChartStage& stage) { stage_ = stage; }

  /// Runs the dialogue to its end and returns the exit code.
  int run();

  const PressLog& press_log() const { return log_; }

 private:
  void say(Message message);
  void tell_notice();
  bool faulted() const { return keys_.status().fault != ReaderFault::none; }
  void capture();
  void release(KeyCode key);
  bool take_repeat(KeyCode key, int& index);
  void end_holds();

  KeySource& keys_;
  TimeSource& clock_;
  Console& console_;
  TextEncoding encoding_;
  const char* chart_path_;
  bool own_window_ = false;
  int hold_ms_ = 0;
  std::int32_t hold_threshold_ = 0, repeat_gap_ = 0;  // in the clock's milliseconds
  HoldsFrom holds_from_ = HoldsFrom::releases;
  // From repeats: the key of the presses that end the log, one after the
  // other with nothing between (0 after any other key), how many, and the
  // repeats of a hold under way, their time and their intervals' sum.
  KeyCode run_key_ = 0;
  int run_length_ = 0;
  int repeats_ = 0;
  std::uint32_t last_time_ = 0;
  std::uint32_t intervals_ms_ = 0;
  // The slot of each lane's press while its key is down, 0 when it is up.
  int down_[LANE_COUNT] = {};
  ChartStage stage_;
  PressLog log_;
  LaneLists lanes_;
};

}  // namespace tap
