#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include "chart/chart_text.h"
#include "console/console_output.h"
#include "console/key_reader.h"
#include "recorder/calibration.h"
#include "recorder/command_line.h"
#include "recorder/recorder.h"
#include "recorder/review.h"
#include "recorder/song_session.h"
#include "recorder/time_source.h"

int main(int argc, char** argv) {
  tap::claim_standard_streams();
  tap::StandardConsole console;
  tap::CommandLine command = tap::parse_command_line(argc, argv);
  bool calibrate = command.action == tap::CommandLineAction::calibrate;
  // Whatever touches the audio libraries, for the whole run.
  if (command.song != nullptr || calibrate || command.action == tap::CommandLineAction::list_devices) {
    tap::keep_others_off_standard_error();
  }
  if (command.action != tap::CommandLineAction::record && !calibrate) return tap::answer_command_line(command, console);
  if (!calibrate && tap::standard_output_is(tap::CHART_FILE_NAME)) {
    console.error_line("tap-recorder: standard output is ved.txt, where the chart goes; send it elsewhere");
    return tap::EXIT_OUTPUT_IS_CHART;
  }

  // The chart a take goes into, or that is played back, is read before
  // anything plays, and a file that is no chart is left as it is.
  tap::ChartText chart;
  char why[200], line[400];
  if ((command.merge || command.review) && !tap::read_chart(tap::CHART_FILE_NAME, chart, why, sizeof why)) {
    std::snprintf(line, sizeof line,
                  command.merge ? "tap-recorder: %s is no chart to merge into (%s); it is left as it is"
                                : "tap-recorder: %s is no chart to play back (%s)",
                  tap::CHART_FILE_NAME, why);
    console.error_line(line);
    return tap::EXIT_NOT_A_CHART;
  }
  std::vector<tap::ChartNote> notes;
  std::vector<tap::SongClick> clicks;
  if (command.review) {
    if (!chart.found) {
      console.error_line("tap-recorder: there is no ved.txt here to play back");
      return tap::EXIT_NO_CHART;
    }
    notes = tap::chart_notes(chart);
    clicks = tap::review_clicks(notes);
    command.options.clicks = clicks.data();
    command.options.click_count = clicks.size();
  }

  // A song that cannot be played is told before the terminal is touched.
  std::unique_ptr<tap::TimeSource> song;
  if (command.song != nullptr || calibrate) {
    int exit_code = 0;
    song = tap::open_song_session(command, console, exit_code);
    if (song == nullptr) return exit_code;
  }

  tap::MillisecondClock clock;
  clock.start_clock();
  tap::TextEncoding encoding = tap::console_text_encoding();
  tap::KeyReader keys(encoding);  // the console is put back when it goes
  if (!keys.is_open()) return tap::report_reader_fault(keys.status(), console);
  if (calibrate) return tap::run_calibration(keys, *song, console);
  auto from_ms = static_cast<std::int32_t>(std::lround(command.options.start_seconds * 1000));
  if (command.review) {
    auto shown = std::count_if(notes.begin(), notes.end(), [](const tap::ChartNote& note) { return !note.hold_end; });
    std::snprintf(line, sizeof line, "Review: %ld notes of %s, each heard as a click in the song; nothing is recorded",
                  static_cast<long>(shown), tap::CHART_FILE_NAME);
    console.write_line(line);
    return tap::run_review(keys, *song, console, encoding, notes, from_ms);
  }

  tap::ProgramTime program_time(clock);
  tap::Recorder recorder(keys, song != nullptr ? *song : static_cast<tap::TimeSource&>(program_time), console,
                         encoding);
  recorder.set_own_window(tap::console_window_is_own());
  tap::ChartStage stage;
  stage.grid = command.grid;
  stage.lanes = command.lanes;
  stage.merge_into = command.merge ? &chart : nullptr;
  stage.take_from_ms = from_ms;
  recorder.set_chart_stage(stage);
  if (command.holds_ms > 0) {
    bool releases = keys.report_releases();
    console.write_line(releases ? "Holds: from key releases"
                                : "Holds: from key repeats (this terminal reports no releases: a hold shows once "
                                  "its key repeats, and its end to half a repeat interval)");
    recorder.set_holds(command.holds_ms,
                       releases ? tap::Recorder::HoldsFrom::releases : tap::Recorder::HoldsFrom::repeats);
  }
  return recorder.run();
}
