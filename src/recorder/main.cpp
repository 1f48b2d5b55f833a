#include "console/clock.h"
#include "console/console_output.h"
#include "console/key_reader.h"
#include "recorder/command_line.h"
#include "recorder/recorder.h"

int main(int argc, char** argv) {
  tap::claim_standard_streams();
  tap::StandardConsole console;
  tap::CommandLine command = tap::parse_command_line(argc, argv);
  if (command.action != tap::CommandLineAction::record) return tap::answer_command_line(command, console);

  tap::MillisecondClock clock;
  clock.start_clock();
  tap::TextEncoding encoding = tap::console_text_encoding();
  tap::KeyReader keys(encoding);  // the console is put back when it goes
  if (!keys.is_open()) return tap::report_reader_fault(keys.status(), console);

  tap::Recorder recorder(keys, clock, console, encoding);
  recorder.set_own_window(tap::console_window_is_own());
  return recorder.run();
}
