#include <cmath>

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
