#pragma once

#include "audio/song_player.h"
#include "chart/lanes.h"
#include "console/console_output.h"

namespace tap {

/// What the command line asks for. With no arguments: the recording session.
enum class CommandLineAction { record, calibrate, list_devices, help, version, refuse };

struct CommandLine {
  CommandLineAction action = CommandLineAction::record;
  const char* refused = nullptr;  // the first argument the program does not take
  const char* song = nullptr;     // the song to play, if any
  SongOptions options;
  int holds_ms = 0;                         // --holds: the least a hold lasts; 0 without it
  bool merge = false;                       // --merge: the take goes into the ved.txt that is there
  bool review = false;                      // --review: ved.txt heard in the song, nothing recorded
  unsigned lanes = (1u << LANE_COUNT) - 1;  // --lanes: those the take records
  BeatGrid grid;                            // --bpm and --snap
  char problem[200] = "";                   // why a value was refused, where one was
};

/// Reads the arguments after the program's name: "--help" ("-h") and
/// "--version" alone, "--list-devices" alone or with "--device", "--calibrate"
/// with "--device", or the options of a session and at most one song (each
/// option's value after it or after '='). Anything else is refused.
CommandLine parse_command_line(int argc, const char* const* argv);

/// Answers the actions that need no terminal: the usage, the version, the
/// outputs, or one line on standard error for a refused command line.
/// Touches neither the terminal's mode nor the chart file. Returns the exit
/// code.
int answer_command_line(const CommandLine& command, Console& console);

}  // namespace tap
