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

  tap::start_clock();
  if (!tap::open_key_reader()) return tap::report_reader_fault(tap::key_reader_status(), console);

  tap::TerminalKeys keys;
  tap::ProgramClock clock;
  tap::Recorder recorder(keys, clock, console, tap::console_text_encoding());
  recorder.set_own_window(tap::console_window_is_own());
  int exit_code = recorder.run();

  tap::close_key_reader();
  return exit_code;
}
