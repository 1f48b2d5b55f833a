#pragma once

#include <SoundTouch.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "audio/click_mixer.h"
#include "audio/song_source.h"
#include "audio/spsc_ring.h"

namespace tap {

/// How much of each of a song's channels (`speakers`) goes into each of the
/// output's (1 or 2): `weights[channel * out_channels + out]`. Left and right
/// as they are, the centre and the surrounds 3 dB down into both sides or
/// their own, the LFE left out; scaled down where the sum could clip.
void mix_weights(const Speaker* speakers, int channels, int out_channels, float* weights);

/// How far a beat's attack comes out of the stretch from its place at
/// `rate`, in milliseconds of the song (early is negative); the feeder
/// moves the song by as much the other way.
double stretch_attack_ms(double rate);

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

  /// Before playback: clicks to mix into the song as it is played.
  void set_clicks(std::unique_ptr<ClickMixer> clicks) { clicks_ = std::move(clicks); }

  /// Any thread: the song goes silent at once.
  void mute() { muted_.store(true, std::memory_order_relaxed); }

  /// The song frame the output's first frame stands for: negative, the
  /// silence before the song.
  std::int64_t first_frame() const { return first_frame_; }

 private:
  bool feed_step();
  std::int64_t read_source(float* out, std::int64_t count);

  SongSource& source_;
  int channels_;
  std::unique_ptr<soundtouch::SoundTouch> stretch_;
  std::unique_ptr<SpscRing<float>> ring_;
  std::vector<float> source_buffer_, chunk_, weights_;
  bool source_done_ = false;
  // Output frames of silence put ahead of the stretched song, or (negative)
  // of its beginning left out, so that its attacks are heard in place.
  std::int64_t lead_ = 0;
  std::atomic<bool> finished_{false};
  std::atomic<bool> stop_{false};
  // The decoder sleeps until the output has taken a share of the ring:
  // waiting at a prompt, with nothing played, costs no wake-ups.
  std::mutex wake_mutex_;
  std::condition_variable wake_;
  std::size_t wake_room_ = 0;  // values
  std::thread thread_;
  const std::int64_t first_frame_;
  // Output thread.
  std::int64_t played_;
  std::atomic<bool> muted_{false};
  std::unique_ptr<ClickMixer> clicks_;
};

}  // namespace tap
