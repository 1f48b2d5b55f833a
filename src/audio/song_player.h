#pragma once

#include <cstddef>
#include <memory>

#include "audio/song_source.h"
#include "console/clock.h"
#include "console/console_output.h"

namespace tap {

/// Exit codes of a song that cannot be played, as sysexits has them.
constexpr int EXIT_SONG_UNREADABLE = 66;  // EX_NOINPUT: missing, unreadable, not audio
constexpr int EXIT_NO_AUDIO_OUTPUT = 69;  // EX_UNAVAILABLE: no output, no such device

struct SongOptions {
  double rate = 1.0;             // playback speed; the pitch stays
  double start_seconds = 0;      // where playback begins, from the song's beginning
  double offset_ms = 0;          // taken off every tap: the user's own latency
  const char* device = nullptr;  // an output as listed, or the default
};

/// Why a song could not be set up: the line for the user and the exit code.
struct SongError {
  int exit_code = 0;
  char text[320] = "";
};

/// True where the program was built with the audio libraries.
bool song_support_built();

/// Opens the audio output for `source` and fills the first buffers, so
/// that the start is instant; nothing plays before start_capture. The
/// returned time source starts the song at start_capture, reads every tap
/// as the song's position (milliseconds from the song's beginning, at full
/// speed, less the offset) from the output's own reports, and stops the
/// song at stop_capture. Playback and decoding run on threads of their
/// own; reading the time neither allocates nor waits on them. nullptr with
/// `error` set when the output cannot be had.
std::unique_ptr<TimeSource> open_song_player(std::unique_ptr<SongSource> source, const SongOptions& options,
                                             SongError& error);

/// Writes the outputs --device takes, one a line, the default marked;
/// returns the exit code.
int list_output_devices(Console& console);

}  // namespace tap
