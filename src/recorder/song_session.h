#pragma once

#include <memory>

#include "console/console_output.h"
#include "recorder/command_line.h"
#include "recorder/time_source.h"

namespace tap {

/// The song the command line names (or, for --calibrate, the clicks) with
/// its audio output open and its first buffers filled, before the terminal
/// or the chart file is touched; one line names it and its length. When it
/// cannot be played: nullptr, one line on standard error and `exit_code`.
std::unique_ptr<TimeSource> open_song_session(const CommandLine& command, Console& console, int& exit_code);

}  // namespace tap
