#pragma once

#include "console/console_output.h"

namespace tap {

/// Exit code for an argument the program does not take (sysexits' EX_USAGE):
/// apart from the codes a run can end with.
constexpr int EXIT_USAGE = 64;

/// What the command line asks for. With no arguments: the recording session.
enum class CommandLineAction { record, help, version, refuse };

struct CommandLine {
  CommandLineAction action = CommandLineAction::record;
  const char* refused = nullptr;  // the first argument the program does not take
};

/// Reads the arguments after the program's name. Only "--help" ("-h") and
/// "--version" are taken, alone; anything else is refused.
CommandLine parse_command_line(int argc, const char* const* argv);

/// Answers every action but record: the usage or the version on standard
/// output, or one line on standard error for a refused argument. Touches
/// neither the terminal's mode nor the chart file. Returns the exit code.
int answer_command_line(const CommandLine& command, Console& console);

}  // namespace tap
