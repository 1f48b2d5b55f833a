#include <cmath>

#include "audio/click_mixer.h"
#include "audio/song_source.h"

namespace tap {
namespace {

constexpr double CLICK_SECONDS = 0.03;
constexpr double PI = 3.14159265358979323846;

class ClickTrack final : public SongSource {
 public:
  ClickTrack(int sample_rate, double first_click_ms, double beat_ms, int beats)
      : rate_(sample_rate),
        first_(std::llround(first_click_ms * sample_rate / 1000.0)),
        beat_(beat_ms * sample_rate / 1000.0),
        beats_(beats) {
    length_ = first_ + std::llround(beat_ * beats);
  }

  int channels() const override { return 2; }
  int sample_rate() const override { return rate_; }
  std::int64_t frames() const override { return length_; }
  bool seek(std::int64_t frame) override {
    if (frame < 0 || frame > length_) return false;
    at_ = frame;
    return true;
  }

  std::int64_t read(float* out, std::int64_t count) override {
    std::int64_t n = 0;
    for (; n < count && at_ < length_; ++n, ++at_) {
      float sample = 0;
      std::int64_t since_first = at_ - first_;
      if (since_first >= 0) {
        int beat = static_cast<int>(static_cast<double>(since_first) / beat_);
        double into = (static_cast<double>(since_first) - std::round(beat * beat_)) / rate_;
        if (beat < beats_ && into >= 0 && into < CLICK_SECONDS) {
          // The first beat of every four is higher, as a metronome's is.
          double pitch = beat % 4 == 0 ? 2000.0 : 1000.0;
          sample = static_cast<float>(0.8 * std::sin(2 * PI * pitch * into) * std::exp(-into / 0.008));
        }
      }
      out[2 * n] = sample;
      out[2 * n + 1] = sample;
    }
    return n;
  }

 private:
  int rate_;
  std::int64_t first_;
  double beat_;
  int beats_;
  std::int64_t length_ = 0;
  std::int64_t at_ = 0;
};

}  // namespace

std::unique_ptr<SongSource> make_click_track(int sample_rate, double first_click_ms, double beat_ms, int beats) {
  return std::make_unique<ClickTrack>(sample_rate, first_click_ms, beat_ms, beats);
}

}  // namespace tap

namespace tap {
namespace {

constexpr double REVIEW_CLICK_SECONDS = 0.025;
// A fifth apart from one lane to the next, all above most songs' weight.
constexpr double VOICE_HZ[CLICK_VOICES] = {1000, 1500, 2250, 3375, 750};

}  // namespace

ClickMixer::ClickMixer(const SongClick* clicks, std::size_t count, double start_seconds, double speed,
                       double output_rate, int channels)
    : length_(std::llround(REVIEW_CLICK_SECONDS * output_rate)), channels_(channels) {
  clicks_.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    double seconds = (clicks[i].song_ms / 1000 - start_seconds) / speed;
    if (seconds < 0) continue;
    clicks_.push_back({std::llround(seconds * output_rate), clicks[i].voice});
  }
  sounds_.resize(static_cast<std::size_t>(CLICK_VOICES * length_));
  for (int voice = 0; voice < CLICK_VOICES; ++voice) {
    for (std::int64_t n = 0; n < length_; ++n) {
      // Half a sample into the tone: its first sample is already loud, so
      // the click is heard from the frame it is placed at.
      double into = (static_cast<double>(n) + 0.5) / output_rate;
      sounds_[static_cast<std::size_t>(voice * length_ + n)] =
          static_cast<float>(0.5 * std::cos(2 * PI * VOICE_HZ[voice] * into) * std::exp(-into / 0.006));
    }
  }
}

void ClickMixer::mix(float* out, std::int64_t first, std::size_t frames) {
  std::int64_t end = first + static_cast<std::int64_t>(frames);
  while (next_ < clicks_.size() && clicks_[next_].frame + length_ <= first) ++next_;
  for (std::size_t i = next_; i < clicks_.size() && clicks_[i].frame < end; ++i) {
    const Placed& click = clicks_[i];
    const float* sound = &sounds_[static_cast<std::size_t>(click.voice * length_)];
    std::int64_t from = click.frame > first ? click.frame : first;
    std::int64_t to = click.frame + length_ < end ? click.frame + length_ : end;
    for (std::int64_t f = from; f < to; ++f) {
      float value = sound[f - click.frame];
      float* frame = out + (f - first) * channels_;
      for (int c = 0; c < channels_; ++c) frame[c] += value;
    }
  }
}

}  // namespace tap
