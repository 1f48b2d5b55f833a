#include <cstdio>

#include "audio/song_player.h"

// The program as built where the audio libraries are missing: everything
// but the song works.

namespace tap {

bool song_support_built() { return false; }

const char* song_formats() { return "none: this build plays no songs"; }

std::unique_ptr<SongSource> open_song_file(const char*, char* why, std::size_t why_size) {
  std::snprintf(why, why_size, "this build of tap-recorder plays no songs (built without its audio libraries)");
  return nullptr;
}

std::unique_ptr<SongClock> open_song_player(std::unique_ptr<SongSource>, const SongOptions&, SongError& error) {
  error.exit_code = EXIT_NO_AUDIO_OUTPUT;
  std::snprintf(error.text, sizeof error.text,
                "tap-recorder: this build of tap-recorder plays no songs (built without its audio libraries)");
  return nullptr;
}

int list_output_devices(Console& console) {
  console.error_line("tap-recorder: this build of tap-recorder plays no songs (built without its audio libraries)");
  return EXIT_NO_AUDIO_OUTPUT;
}

}  // namespace tap
