// The song as every platform plays it: its output found and opened, the
// song moved to where playback begins, and the clock that reads it.

#include "audio/song_player.h"

#include <cstdio>
#include <utility>

#include "audio/song_clock.h"

namespace tap {

bool song_support_built() { return true; }

std::unique_ptr<SongClock> open_song_player(std::unique_ptr<SongSource> source, const SongOptions& options,
                                            SongError& error) {
  std::unique_ptr<AudioOutput> output = open_audio_output(*source, options.device, error);
  double start_seconds = 0;
  if (output == nullptr || !seek_to_start(*source, options, start_seconds, error)) return nullptr;
  auto playback = std::make_shared<SongPlayback>(std::move(source), output->channels(), output->rate(), options.rate);
  if (options.click_count > 0)
    playback->feeder().set_clicks(std::make_unique<ClickMixer>(options.clicks, options.click_count, start_seconds,
                                                               options.rate, output->rate(), output->channels()));
  if (!output->attach(playback)) {
    song_error(error, EXIT_NO_AUDIO_OUTPUT, "cannot open the audio output", "it takes no sound");
    return nullptr;
  }
  return std::make_unique<PlaybackClock>(std::move(output), std::move(playback), options, start_seconds);
}

int list_output_devices(Console& console) {
  OutputList list;
  find_audio_outputs(list);
  if (list.failure == nullptr && list.count == 0) list.failure = "no output device found";
  if (list.failure != nullptr) {
    char line[300];
    std::snprintf(line, sizeof line, "tap-recorder: no audio output: %s", list.failure);
    console.error_line(line);
    return EXIT_NO_AUDIO_OUTPUT;
  }
  for (int i = 0; i < list.count; ++i) {
    console.write(list.names[i]);
    if (i == list.chosen) console.write(" (default)");
    if (list.notes[i] != nullptr) {
      console.write(" (");
      console.write(list.notes[i]);
      console.write(")");
    }
    console.end_line();
  }
  return EXIT_DONE;
}

}  // namespace tap
