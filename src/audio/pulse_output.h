#pragma once

// The song through a PulseAudio server, or PipeWire's PulseAudio server:
// the stream's own account of what its sink played is the clock.

#include <memory>

#include "audio/song_clock.h"

namespace tap {

enum class PulseAnswer { no_server, no_such_sink, refused, opened };

/// Opens a stream on the sink --device names (by its description, as
/// listed, or its name), or on the server's default sink with nullptr.
/// nullptr with `answer` saying why; `error` is set only where the server
/// refused a stream it should have taken.
std::unique_ptr<AudioOutput> open_pulse_output(const SongSource& source, const char* device, PulseAnswer& answer,
                                               SongError& error);

/// Adds the server's sinks to `list`, the default marked where
/// `mark_default`; false when no server answers.
bool find_pulse_outputs(OutputList& list, bool mark_default);

}  // namespace tap
