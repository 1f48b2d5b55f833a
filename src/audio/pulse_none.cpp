// Where the program is built without libpulse: no PulseAudio server is
// ever found, and PortAudio plays the song.

#include "audio/pulse_output.h"

namespace tap {

std::unique_ptr<AudioOutput> open_pulse_output(const SongSource&, const char*, PulseAnswer& answer, SongError&) {
  answer = PulseAnswer::no_server;
  return nullptr;
}

bool find_pulse_outputs(OutputList&, bool) { return false; }

}  // namespace tap
