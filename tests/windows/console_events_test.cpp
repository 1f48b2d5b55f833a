// The real dialogue on the console this program runs in, with the keys put
// into the console's input buffer and a console control event raised during
// the capture:
//   ctrl_c      raised with GenerateConsoleCtrlEvent, as Windows raises it for
//               a Ctrl+C typed between two reads
//   ctrl_break  the handler called on a thread of its own, as Windows calls
//               it (Wine does not pass a generated Ctrl+Break on)
//   close       the same for a close of the window, which no program can
//               raise; Windows ends the process when the handler returns, or
//               5 seconds after the close
//   holds       no event: with holds, Down held 400 ms (its key-downs
//               repeated meanwhile) and SPACE tapped, by key-down and key-up
//               records
// With SONG, the song plays during the capture and its clock times the taps.
// Writes PASS or FAIL with the reason to DIRECTORY\result.txt, and exits 0
// or 1.
//   console_events_test EVENT DIRECTORY [SONG]

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "audio/song_player.h"
#include "console/console_events_win32.h"
#include "console/console_output.h"
#include "console/key_reader.h"
#include "recorder/recorder.h"
#include "recorder/time_source.h"

namespace {

using Clock = std::chrono::steady_clock;

/// Standard output as the program has it, counting the lines written.
class CountingConsole final : public tap::Console {
 public:
  using Console::write;
  void write(const char* text, std::size_t length) override { out_.write(text, length); }
  void end_line() override {
    out_.end_line();
    lines.fetch_add(1);
  }
  void error_line(const char* text) override {
    errors += text;
    out_.error_line(text);
  }
  std::atomic<int> lines{0};
  std::string errors;

 private:
  tap::StandardConsole out_;
};

INPUT_RECORD key_down(WORD virtual_key, char character, BOOL down = TRUE) {
  INPUT_RECORD record{};
  record.EventType = KEY_EVENT;
  record.Event.KeyEvent.bKeyDown = down;
  record.Event.KeyEvent.wRepeatCount = 1;
  record.Event.KeyEvent.wVirtualKeyCode = virtual_key;
  record.Event.KeyEvent.uChar.AsciiChar = character;
  return record;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

bool chart_is_whole(const std::string& chart) {
  return chart.find("&up_data=") != std::string::npos && chart.find("&space_data=") != std::string::npos &&
         chart.size() > 14 && chart.compare(chart.size() - 14, 14, "&tuning=Name\r\n") == 0 &&
         chart.find("&up_data=\r\n") == std::string::npos && chart.find("&space_data=\r\n") == std::string::npos;
}

std::string result_path;

int report(const std::string& line, int code) {
  std::ofstream(result_path, std::ios::binary) << line << "\n";
  return code;
}

int fail(const std::string& why) { return report("FAIL: " + why, 1); }

// Down held 400 ms, its key-downs repeated as the console repeats them, and
// SPACE tapped: a hold in the left lane's freeze line, 12 or 13 frames long,
// and one tap.
int record_holds(tap::KeyReader& keys, tap::TimeSource& clock, HANDLE input, const std::string& chart_path) {
  if (!keys.report_releases()) return fail("the console reader reports no releases");
  std::thread typist([input] {
    auto type = [input](std::initializer_list<INPUT_RECORD> records) {
      DWORD written = 0;
      WriteConsoleInputA(input, records.begin(), static_cast<DWORD>(records.size()), &written);
    };
    type({key_down(VK_RETURN, '\r'), key_down(VK_RETURN, '\r', FALSE)});
    Sleep(200);
    type({key_down(VK_DOWN, 0)});
    for (int k = 0; k < 8; ++k) {
      Sleep(50);
      type({key_down(VK_DOWN, 0)});
    }
    type({key_down(VK_DOWN, 0, FALSE), key_down(VK_SPACE, ' '), key_down(VK_SPACE, ' ', FALSE)});
    Sleep(100);
    type({key_down(VK_RETURN, '\r'), key_down(VK_RETURN, '\r', FALSE), key_down(VK_RETURN, '\r')});
  });
  CountingConsole console;
  auto recorder =
      std::make_unique<tap::Recorder>(keys, clock, console, tap::console_text_encoding(), chart_path.c_str());
  recorder->set_holds(250, tap::Recorder::HoldsFrom::releases);
  int exit_code = recorder->run();
  typist.join();
  std::string chart = read_file(chart_path);
  std::size_t at = chart.find("&frzLeft_data=");
  int start = 0, end = 0;
  if (exit_code != 0 || at == std::string::npos ||
      std::sscanf(chart.c_str() + at, "&frzLeft_data=%d,%d", &start, &end) != 2)
    return fail("no hold: exit code " + std::to_string(exit_code) + ", chart " + chart);
  if (end - start < 12 || end - start > 14) return fail("the hold lasts " + std::to_string(end - start) + " frames");
  if (chart.find("&left_data=\r\n") == std::string::npos || chart.find("&space_data=\r\n") != std::string::npos)
    return fail("the hold is a tap too, or the tap is lost: " + chart);
  return report("PASS: holds from key-up records: " + std::to_string(start) + "," + std::to_string(end), 0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) return 2;
  const std::string event = argv[1];
  const std::string chart_path = std::string(argv[2]) + "\\ved.txt";
  result_path = std::string(argv[2]) + "\\result.txt";
  if (event != "ctrl_c" && event != "ctrl_break" && event != "close" && event != "holds")
    return fail("unknown event " + event);

  tap::MillisecondClock counter;
  counter.start_clock();
  tap::ProgramTime program_time(counter);
  tap::TimeSource* clock = &program_time;
  std::unique_ptr<tap::TimeSource> song;
  if (argc == 4) {
    char why[200] = "";
    std::unique_ptr<tap::SongSource> source = tap::open_song_file(argv[3], why, sizeof why);
    if (source == nullptr) return fail(std::string("song: ") + why);
    tap::SongError error;
    std::unique_ptr<tap::SongClock> player = tap::open_song_player(std::move(source), tap::SongOptions{}, error);
    if (player == nullptr) return fail(error.text);
    song = std::make_unique<tap::SongTime>(std::move(player), 1.0);
    clock = song.get();
  }
  auto program_keys = std::make_unique<tap::KeyReader>(tap::console_text_encoding());
  if (!program_keys->is_open()) return fail("no console");
  HANDLE input = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  if (event == "holds") return record_holds(*program_keys, *clock, input, chart_path);
  INPUT_RECORD keys[] = {key_down(VK_RETURN, '\r'), key_down(VK_SPACE, ' '), key_down(VK_LEFT, 0)};
  DWORD written = 0;
  if (!WriteConsoleInputA(input, keys, 3, &written) || written != 3) return fail("cannot type into the console");

  CountingConsole console;
  std::atomic<bool> chart_whole_at_return{false};
  std::atomic<long long> handler_ms{-1};
  // The two opening lines, "計測開始！" and the two taps' answers.
  const int lines_before_event = 5;
  std::thread raiser([&] {
    auto deadline = Clock::now() + std::chrono::seconds(20);
    while (console.lines.load() < lines_before_event && Clock::now() < deadline) Sleep(5);
    Sleep(100);  // the next read is waiting by now
    if (event == "ctrl_c") {
      GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    } else if (event == "ctrl_break") {
      tap::on_console_event(CTRL_BREAK_EVENT);
    } else {
      auto start = Clock::now();
      tap::on_console_event(CTRL_CLOSE_EVENT);
      handler_ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
      chart_whole_at_return = chart_is_whole(read_file(chart_path));
    }
  });

  auto recorder =
      std::make_unique<tap::Recorder>(*program_keys, *clock, console, tap::console_text_encoding(), chart_path.c_str());
  int exit_code = recorder->run();
  program_keys.reset();  // as the program's reader goes at its end
  raiser.join();
  recorder.reset();
  song.reset();  // the song stops, and its decoder is released, before the end

  std::string chart = read_file(chart_path);
  if (!chart_is_whole(chart)) return fail("chart not whole: " + chart);
  if (event == "close") {
    if (exit_code != 2) return fail("exit code " + std::to_string(exit_code) + " after a close");
    if (!chart_whole_at_return) return fail("the close handler returned before the chart was written");
    if (handler_ms >= 5000) return fail("the close handler held on " + std::to_string(handler_ms) + " ms");
  } else {
    const char* name = event == "ctrl_c" ? "Ctrl+C" : "Ctrl+Break";
    if (exit_code != 130) return fail("exit code " + std::to_string(exit_code) + " after " + name);
    if (console.errors != std::string("tap-recorder: stopped by ") + name) return fail("message: " + console.errors);
  }
  return report("PASS: " + event + " during the capture: chart written, exit code " + std::to_string(exit_code), 0);
}
