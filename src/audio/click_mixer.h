#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tap {

/// A click to be heard in the song's own stream: where (milliseconds of
/// the song, at full speed) and in which of CLICK_VOICES pitches.
struct SongClick {
  double song_ms;
  int voice;
};
constexpr int CLICK_VOICES = 5;

/// Mixes clicks into the frames an output plays, each at the output frame
/// its song position is played at: a note is heard where the song has it,
/// whatever the output's latency, since the click travels with the song.
/// Built before playback; mixing takes no lock and allocates nothing.
class ClickMixer {
 public:
  /// `clicks` in song order; the song's output begins at `start_seconds`,
  /// played at `speed`, at `output_rate` frames a second in `channels`.
  /// A click before the start is not heard.
  ClickMixer(const SongClick* clicks, std::size_t count, double start_seconds, double speed, double output_rate,
             int channels);

  /// Adds the clicks that sound in output frames `first` to `first +
  /// frames` to `out`. Calls come in the order of their frames.
  void mix(float* out, std::int64_t first, std::size_t frames);

  /// The output frame each click begins at, in order.
  std::int64_t frame_of(std::size_t i) const { return clicks_[i].frame; }
  std::size_t size() const { return clicks_.size(); }

 private:
  struct Placed {
    std::int64_t frame;
    int voice;
  };
  std::vector<Placed> clicks_;
  std::vector<float> sounds_;  // CLICK_VOICES sounds of length_ samples each
  std::int64_t length_;
  int channels_;
  std::size_t next_ = 0;  // the first click not yet wholly played
};

}  // namespace tap
