#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "audio/click_mixer.h"
#include "audio/song_source.h"
#include "console/console_output.h"
#include "exit_codes.h"

namespace tap {

struct SongOptions {
  double rate = 1.0;                  // playback speed; the pitch stays
  double start_seconds = 0;           // where playback begins, from the song's beginning
  double offset_ms = 0;               // taken off every tap: the user's own latency, in wall time
  const char* device = nullptr;       // an output as listed, or the default
  const SongClick* clicks = nullptr;  // --review: the chart's notes, heard in the song
  std::size_t click_count = 0;
};

/// Why a song could not be set up: the line for the user and the exit code.
struct SongError {
  int exit_code = 0;
  char text[320] = "";
};

/// The song as a clock: it starts playing at start_capture, every reading
/// is the song position heard then (milliseconds from the song's
/// beginning, at full speed, less the offset, modulo 2^32), and it goes
/// silent at stop_capture. Reading it neither allocates nor waits.
class SongClock {
 public:
  virtual ~SongClock() = default;
  /// Starts the song; returns the reading that stands for time zero (0:
  /// readings are song positions already).
  virtual std::uint32_t start_capture() = 0;
  virtual std::uint32_t elapsed_ms() = 0;
  virtual void stop_capture() = 0;
  /// Once, after the output stopped playing: the line for the user; else
  /// nullptr.
  virtual const char* take_notice() = 0;
};

/// True where the program was built with the audio libraries.
bool song_support_built();

/// Opens the audio output for `source` and fills the first buffers, so
/// that the start is instant; nothing plays before start_capture. Playback
/// and decoding run on threads of their own. nullptr with `error` set when
/// the output cannot be had.
std::unique_ptr<SongClock> open_song_player(std::unique_ptr<SongSource> source, const SongOptions& options,
                                            SongError& error);

/// Writes the outputs --device takes, one a line, the default marked;
/// returns the exit code.
int list_output_devices(Console& console);

}  // namespace tap
