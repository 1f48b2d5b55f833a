#include "recorder/command_line.h"

#include <cstdio>
#include <cstring>

#include "recorder/recorder.h"

#ifndef TAP_RECORDER_VERSION
#error "the build gives the project's version as TAP_RECORDER_VERSION"
#endif

namespace tap {
namespace {

// Plain ASCII, so it reads the same whatever the console's encoding.
const char* const USAGE[] = {
    "Usage: tap-recorder [--help | --version]",
    "",
    "Records key taps in time with a song and writes them as a chart text.",
    "",
    "Press ENTER to start the measurement, tap the arrow keys and the space bar",
    "in time with the song, and press ENTER again to stop (a run holds at most",
    "9999 taps). Every tap is answered on the console; any other key is answered",
    "but not recorded. Keys are read from the terminal itself, not from standard",
    "input.",
    "",
    "The chart (five lanes of frame numbers, 1/30 s from the start ENTER) is",
    "written to ved.txt in the current directory, replacing it, and shown on the",
    "console. Press ENTER once more to leave.",
    "",
    "Exit codes:",
    "  0    the run reached the closing prompt",
    "  1    ved.txt could not be opened or written (the chart is shown anyway)",
    "  2    no terminal to read keys from, or the terminal went away",
    "  64   an argument the program does not take",
    "  128+N  ended by signal N (the chart of what was recorded is written first)",
    "",
    "See tap-recorder(1) for the details.",
};

void say_line(Console& console, const char* text) {
  console.write(text);
  console.end_line();
}

}  // namespace

CommandLine parse_command_line(int argc, const char* const* argv) {
  CommandLine command;
  if (argc <= 1) return command;
  const char* first = argv[1];
  if (argc == 2 && (std::strcmp(first, "--help") == 0 || std::strcmp(first, "-h") == 0)) {
    command.action = CommandLineAction::help;
  } else if (argc == 2 && std::strcmp(first, "--version") == 0) {
    command.action = CommandLineAction::version;
  } else {
    command.action = CommandLineAction::refuse;
    bool known =
        std::strcmp(first, "--help") == 0 || std::strcmp(first, "-h") == 0 || std::strcmp(first, "--version") == 0;
    command.refused = known ? argv[2] : first;
  }
  return command;
}

int answer_command_line(const CommandLine& command, Console& console) {
  switch (command.action) {
    case CommandLineAction::record: break;
    case CommandLineAction::help:
      for (const char* line : USAGE) say_line(console, line);
      return EXIT_DONE;
    case CommandLineAction::version: say_line(console, "tap-recorder " TAP_RECORDER_VERSION); return EXIT_DONE;
    case CommandLineAction::refuse: {
      char line[200];
      std::snprintf(line, sizeof line, "tap-recorder: unknown argument '%.120s' (try 'tap-recorder --help')",
                    command.refused);
      console.error_line(line);
      return EXIT_USAGE;
    }
  }
  return EXIT_DONE;
}

}  // namespace tap
