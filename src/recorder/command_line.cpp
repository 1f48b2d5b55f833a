#include "recorder/command_line.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "recorder/recorder.h"

#ifndef TAP_RECORDER_VERSION
#error "the build gives the project's version as TAP_RECORDER_VERSION"
#endif

namespace tap {
namespace {

// Plain ASCII, so it reads the same whatever the console's encoding.
const char* const USAGE[] = {
    "Usage: tap-recorder [OPTION]... [SONG]",
    "       tap-recorder --calibrate [--device NAME]",
    "       tap-recorder --list-devices | --help | --version",
    "",
    "Records key taps in time with a song and writes them as a chart text.",
    "",
    "Tap along to the song: with SONG (WAV, FLAC, Ogg Vorbis, Opus or MP3) the",
    "program plays it from the start ENTER and times every tap on the song's",
    "own clock, from the moment its first sample leaves the audio output.",
    "Without SONG, start the song yourself and press ENTER on its first beat.",
    "",
    "Press ENTER to start, tap the arrow keys and the space bar in time with",
    "the song, and press ENTER again to stop (a run holds at most 9999 taps).",
    "Every tap is answered on the console; any other key is answered but not",
    "recorded. Keys are read from the terminal itself, not from standard input.",
    "",
    "The chart (five lanes of frame numbers, 1/30 s of the song) is written to",
    "ved.txt in the current directory, replacing it, and shown on the console.",
    "Press ENTER once more to leave.",
    "",
    "Options:",
    "  --rate R        play at R times the speed (0.25 to 2), keeping the pitch;",
    "                  the chart is still the song's at full speed",
    "  --start TIME    begin playback at TIME (seconds, or m:ss.sss); frames",
    "                  still count from the song's beginning",
    "  --offset MS     take MS milliseconds off every tap (your own latency)",
    "  --device NAME   play through NAME, as --list-devices shows it",
    "  --list-devices  list the audio outputs",
    "  --calibrate     play 16 clicks at 120 BPM, tap SPACE on each, and get",
    "                  the --offset that suits you (writes no chart)",
    "",
    "Exit codes:",
    "  0    the run reached the closing prompt",
    "  1    ved.txt could not be opened or written (the chart is shown anyway)",
    "  2    no terminal to read keys from, or the terminal went away",
    "  64   an argument the program does not take, or a value out of range",
    "  65   --calibrate: too few taps near the clicks to tell an offset",
    "  66   the song is missing, unreadable or not audio",
    "  69   no audio output, or no output of that name",
    "  73   standard output is ved.txt, where the chart goes",
    "  128+N  ended by signal N (the chart of what was recorded is written first)",
    "",
    "See tap-recorder(1) for the details.",
};

void say_line(Console& console, const char* text) {
  console.write(text);
  console.end_line();
}

bool is(const char* argument, const char* name) { return std::strcmp(argument, name) == 0; }

bool parse_number(const char* text, double& value) {
  char* end = nullptr;
  value = std::strtod(text, &end);
  return end != text && *end == '\0' && std::isfinite(value);
}

// Seconds ("75.5") or minutes and seconds ("1:15.5").
bool parse_time(const char* text, double& seconds) {
  const char* colon = std::strchr(text, ':');
  if (colon == nullptr) return parse_number(text, seconds) && seconds >= 0;
  char* end = nullptr;
  long minutes = std::strtol(text, &end, 10);
  if (end != colon || colon == text || minutes < 0 || text[0] == '-' || text[0] == '+') return false;
  double rest = 0;
  if (!parse_number(colon + 1, rest) || rest < 0 || rest >= 60 || colon[1] == '+') return false;
  seconds = static_cast<double>(minutes) * 60 + rest;
  return true;
}

// The value of an option: after '=' in the same argument, else the next
// argument. nullptr when there is none.
const char* option_value(const char* argument, const char* name, int argc, const char* const* argv, int& i) {
  std::size_t length = std::strlen(name);
  if (std::strncmp(argument, name, length) != 0) return nullptr;
  if (argument[length] == '=') return argument + length + 1;
  if (argument[length] != '\0' || i + 1 >= argc) return nullptr;
  return argv[++i];
}

bool refuse_value(CommandLine& command, const char* option, const char* value, const char* wanted) {
  command.action = CommandLineAction::refuse;
  std::snprintf(command.problem, sizeof command.problem, "tap-recorder: %s takes %s (not '%.60s')", option, wanted,
                value);
  return false;
}

// One option of a session; false when it was refused.
bool take_option(CommandLine& command, int argc, const char* const* argv, int& i, bool& taken) {
  const char* argument = argv[i];
  const char* value = nullptr;
  taken = true;
  double number = 0;
  if ((value = option_value(argument, "--rate", argc, argv, i)) != nullptr) {
    if (!parse_number(value, number) || number < 0.25 || number > 2.0)
      return refuse_value(command, "--rate", value, "a speed from 0.25 to 2");
    command.options.rate = number;
  } else if ((value = option_value(argument, "--start", argc, argv, i)) != nullptr) {
    if (!parse_time(value, number)) return refuse_value(command, "--start", value, "seconds or m:ss.sss");
    command.options.start_seconds = number;
  } else if ((value = option_value(argument, "--offset", argc, argv, i)) != nullptr) {
    if (!parse_number(value, number) || std::fabs(number) > 10000)
      return refuse_value(command, "--offset", value, "milliseconds from -10000 to 10000");
    command.options.offset_ms = number;
  } else if ((value = option_value(argument, "--device", argc, argv, i)) != nullptr) {
    command.options.device = value;
  } else {
    taken = false;
  }
  return true;
}

}  // namespace

CommandLine parse_command_line(int argc, const char* const* argv) {
  CommandLine command;
  if (argc <= 1) return command;
  const char* first = argv[1];
  if (argc == 2 && (is(first, "--help") || is(first, "-h"))) {
    command.action = CommandLineAction::help;
    return command;
  }
  if (argc == 2 && is(first, "--version")) {
    command.action = CommandLineAction::version;
    return command;
  }
  if (is(first, "--help") || is(first, "-h") || is(first, "--version")) {
    command.action = CommandLineAction::refuse;
    command.refused = argv[2];
    return command;
  }
  bool session_options = false, device = false;
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    bool taken = false;
    if (!take_option(command, argc, argv, i, taken)) return command;
    if (taken) {
      bool is_device = std::strncmp(argument, "--device", 8) == 0;
      device = device || is_device;
      session_options = session_options || !is_device;
    } else if (is(argument, "--calibrate") && command.action == CommandLineAction::record) {
      command.action = CommandLineAction::calibrate;
    } else if (is(argument, "--list-devices") && command.action == CommandLineAction::record) {
      command.action = CommandLineAction::list_devices;
    } else if (argument[0] != '-' && argument[0] != '\0' && command.song == nullptr) {
      command.song = argument;
    } else {
      command.action = CommandLineAction::refuse;
      command.refused = argument;
      return command;
    }
  }
  // The calibration and the list play no song of the user's, so the
  // session's options would say nothing there.
  if (command.action != CommandLineAction::record && (session_options || command.song != nullptr)) {
    std::snprintf(command.problem, sizeof command.problem, "tap-recorder: %s takes no song and no option but --device",
                  command.action == CommandLineAction::calibrate ? "--calibrate" : "--list-devices");
    command.action = CommandLineAction::refuse;
  } else if (command.action == CommandLineAction::record && (session_options || device) && command.song == nullptr) {
    std::snprintf(command.problem, sizeof command.problem,
                  "tap-recorder: --rate, --start, --offset and --device need a song to play");
    command.action = CommandLineAction::refuse;
  }
  return command;
}

int answer_command_line(const CommandLine& command, Console& console) {
  switch (command.action) {
    case CommandLineAction::record: break;
    case CommandLineAction::calibrate: break;
    case CommandLineAction::list_devices: return list_output_devices(console);
    case CommandLineAction::help:
      for (const char* line : USAGE) say_line(console, line);
      return EXIT_DONE;
    case CommandLineAction::version: say_line(console, "tap-recorder " TAP_RECORDER_VERSION); return EXIT_DONE;
    case CommandLineAction::refuse: {
      if (command.problem[0] != '\0') {
        console.error_line(command.problem);
        return EXIT_USAGE;
      }
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
