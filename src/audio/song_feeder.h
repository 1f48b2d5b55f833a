#pragma once

#include <SoundTouch.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "audio/song_player.h"
#include "audio/song_source.h"
#include "audio/spsc_ring.h"

namespace tap {

/// The song decoded ahead of the output on a thread of its own, stretched
/// when its speed changes or the output runs at another rate: the output
/// takes its frames from a lock-free ring and waits on nothing.
class SongFeeder {
 public:
  /// `channels` (1 or 2) and `output_rate` are the output's; `rate` the
  /// playback speed, the pitch kept.
  SongFeeder(SongSource& source, int channels, double output_rate, double rate);
  ~SongFeeder();
  SongFeeder(const SongFeeder&) = delete;
  SongFeeder& operator=(const SongFeeder&) = delete;

  /// Fills the ring, so the start is instant, then decodes on its thread.
  void start();

  /// Output thread: the next `frames` frames the output plays, into `out`:
  /// silence before the song's first frame, the song, and after its end
  /// silence that still counts as song time (taps after it get their
  /// frames); a decoder that fell behind gives silence that does not.
  /// Returns the song frames played before them (negative while the
  /// silence before the song lasts). Takes no lock and allocates nothing.
  std::int64_t play(float* out, std::size_t frames);

  /// Any thread: the song goes silent at once.
  void mute() { muted_.store(true, std::memory_order_relaxed); }

 private:
  bool feed_step();
  std::int64_t read_source(float* out, std::int64_t count);

  SongSource& source_;
  int channels_;
  std::unique_ptr<soundtouch::SoundTouch> stretch_;
  std::unique_ptr<SpscRing<float>> ring_;
  std::vector<float> source_buffer_, chunk_;
  bool source_done_ = false;
  std::atomic<bool> finished_{false};
  std::atomic<bool> stop_{false};
  std::thread thread_;
  // Output thread.
  std::int64_t played_;
  std::atomic<bool> muted_{false};
};

/// Moves `source` to where --start asks and gives that place in seconds;
/// false with `error` set when it is past the end or cannot be reached.
bool seek_to_start(SongSource& source, const SongOptions& options, double& start_seconds, SongError& error);

/// "tap-recorder: WHAT: DETAIL" (or without the detail) and the exit code;
/// returns false.
bool song_error(SongError& error, int exit_code, const char* what, const char* detail);

}  // namespace tap
