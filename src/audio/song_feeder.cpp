#include "audio/song_feeder.h"

#include <algorithm>
#include <cmath>

namespace tap {
namespace {

constexpr int CHUNK_FRAMES = 2048;
constexpr double RING_SECONDS = 0.5;
// Silence before the song's first frame: a sound server may connect the
// stream to its output a few milliseconds after the first buffers (JACK
// does), and those must not be the song's.
constexpr double PREROLL_SECONDS = 0.05;

// How far a beat's attack comes out of the stretch from its place, in
// milliseconds of the song (early is negative), at each speed with the
// settings below: slowed down, an attack is copied into the sequence before
// its own; sped up, the part of it that falls between two sequences is
// skipped. Measured on clicks, the mean over 40 places against the
// sequences; a click's own place varies about it by up to 1.6 ms below
// full speed, 2 ms at 1.25, 3.5 at 1.5 and 8 at 2.
struct Attack {
  double rate, lead_ms;
};
constexpr Attack STRETCH_ATTACK[] = {{0.25, -16.24}, {0.33, -13.78}, {0.5, -8.90}, {0.6, -6.60},
                                     {0.75, -3.71},  {0.9, -1.33},   {1.0, 0},     {1.1, 1.27},
                                     {1.25, 2.81},   {1.5, 4.22},    {1.75, 6.04}, {2.0, 8.15}};

}  // namespace

double stretch_attack_ms(double rate) {
  const Attack* below = &STRETCH_ATTACK[0];
  if (rate <= below->rate) return below->lead_ms;
  for (const Attack& above : STRETCH_ATTACK) {
    if (rate <= above.rate)
      return below->lead_ms + (above.lead_ms - below->lead_ms) * (rate - below->rate) / (above.rate - below->rate);
    below = &above;
  }
  return below->lead_ms;
}

void mix_weights(const Speaker* speakers, int channels, int out_channels, float* weights) {
  constexpr float DOWN_3DB = 0.70710678f;
  std::vector<float> left(static_cast<std::size_t>(channels)), right(left.size());
  float left_sum = 0, right_sum = 0;
  for (int c = 0; c < channels; ++c) {
    float l = 0, r = 0;
    switch (speakers[c]) {
      case Speaker::left: l = 1; break;
      case Speaker::right: r = 1; break;
      case Speaker::lfe: break;
      case Speaker::back_left:
      case Speaker::side_left: l = DOWN_3DB; break;
      case Speaker::back_right:
      case Speaker::side_right: r = DOWN_3DB; break;
      case Speaker::back_centre: l = r = 0.5f; break;
      case Speaker::centre:
      case Speaker::other: l = r = DOWN_3DB; break;
    }
    if (channels == 1) l = r = 1;  // a mono song on both sides, as it is
    left[static_cast<std::size_t>(c)] = l;
    right[static_cast<std::size_t>(c)] = r;
    left_sum += l;
    right_sum += r;
  }
  float peak = left_sum > right_sum ? left_sum : right_sum;
  float scale = peak > 1 ? 1 / peak : 1;
  for (int c = 0; c < channels; ++c) {
    float l = left[static_cast<std::size_t>(c)] * scale, r = right[static_cast<std::size_t>(c)] * scale;
    if (out_channels == 1) {
      weights[c] = channels == 1 ? 1 : (l + r) / 2;
    } else {
      weights[c * out_channels] = l;
      weights[c * out_channels + 1] = r;
    }
  }
}

SongFeeder::SongFeeder(SongSource& source, int channels, double output_rate, double rate)
    : source_(source),
      channels_(channels),
      first_frame_(-static_cast<std::int64_t>(output_rate * PREROLL_SECONDS)),
      played_(first_frame_) {
  if (rate != 1.0 || output_rate != source_.sample_rate()) {
    stretch_ = std::make_unique<soundtouch::SoundTouch>();
    stretch_->setSampleRate(static_cast<unsigned>(source_.sample_rate()));
    stretch_->setChannels(static_cast<unsigned>(channels_));
    stretch_->setTempo(rate);
    stretch_->setRate(source_.sample_rate() / output_rate);
    // Short sequences keep a beat's attack within a few milliseconds of
    // where it belongs (at rate 0.5 about 8 ms of song time early, against
    // about 30 with the library's defaults), at some cost in smoothness.
    stretch_->setSetting(SETTING_SEQUENCE_MS, 20);
    stretch_->setSetting(SETTING_SEEKWINDOW_MS, 10);
    stretch_->setSetting(SETTING_OVERLAP_MS, 6);
    // The song's attacks where they belong: an early one delayed by silence
    // ahead of the stretched song, a late one brought forward by leaving
    // out the stretch's first frames (the song's first few milliseconds,
    // at its start).
    lead_ = std::llround(-stretch_attack_ms(rate) / 1000 / rate * output_rate);
  }
  ring_ = std::make_unique<SpscRing<float>>(static_cast<std::size_t>(output_rate * RING_SECONDS) *
                                            static_cast<std::size_t>(channels_));
  wake_room_ = ring_->capacity() / 4;
  source_buffer_.resize(static_cast<std::size_t>(CHUNK_FRAMES * source_.channels()));
  chunk_.resize(static_cast<std::size_t>(CHUNK_FRAMES * channels_));
  std::vector<Speaker> speakers(static_cast<std::size_t>(source_.channels()));
  source_.speakers(speakers.data());
  weights_.resize(speakers.size() * static_cast<std::size_t>(channels_));
  mix_weights(speakers.data(), source_.channels(), channels_, weights_.data());
}

SongFeeder::~SongFeeder() {
  {
    std::lock_guard<std::mutex> lock(wake_mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void SongFeeder::start() {
  for (std::size_t i = 0; i < chunk_.size(); ++i) chunk_[i] = 0;
  for (std::int64_t left = lead_; left > 0;) {
    std::int64_t n = left < CHUNK_FRAMES ? left : CHUNK_FRAMES;
    ring_->push(chunk_.data(), static_cast<std::size_t>(n * channels_));
    left -= n;
  }
  while (feed_step()) {
  }
  thread_ = std::thread([this] {
    while (!stop_ && !finished_) {
      if (feed_step()) continue;
      std::unique_lock<std::mutex> lock(wake_mutex_);
      wake_.wait(lock, [this] { return stop_ || ring_->free_space() >= wake_room_; });
    }
  });
}

// The song's frames as the output takes them, in its one or two channels.
std::int64_t SongFeeder::read_source(float* out, std::int64_t count) {
  int channels = source_.channels();
  std::int64_t got = source_.read(source_buffer_.data(), count);
  const float* weights = weights_.data();
  for (std::int64_t i = 0; i < got; ++i) {
    const float* frame = &source_buffer_[static_cast<std::size_t>(i * channels)];
    for (int o = 0; o < channels_; ++o) {
      float sum = 0;
      for (int c = 0; c < channels; ++c) sum += frame[c] * weights[c * channels_ + o];
      out[i * channels_ + o] = sum;
    }
  }
  return got;
}

// One step of decoding; false when the ring is full or the song is all in.
bool SongFeeder::feed_step() {
  std::size_t room = ring_->free_space() / static_cast<std::size_t>(channels_);
  if (room == 0 || finished_) return false;
  std::int64_t want = static_cast<std::int64_t>(room < CHUNK_FRAMES ? room : CHUNK_FRAMES);
  if (stretch_ == nullptr) {
    std::int64_t got = read_source(chunk_.data(), want);
    if (got <= 0) {
      finished_ = true;
      return false;
    }
    ring_->push(chunk_.data(), static_cast<std::size_t>(got * channels_));
    return true;
  }
  unsigned out = stretch_->receiveSamples(chunk_.data(), static_cast<unsigned>(want));
  if (out > 0) {
    unsigned skipped = lead_ < 0 ? static_cast<unsigned>(std::min<std::int64_t>(-lead_, out)) : 0;
    lead_ += skipped;
    ring_->push(chunk_.data() + skipped * static_cast<unsigned>(channels_),
                (out - skipped) * static_cast<unsigned>(channels_));
    return true;
  }
  if (source_done_) {
    finished_ = true;
    return false;
  }
  std::int64_t got = read_source(chunk_.data(), CHUNK_FRAMES);
  if (got <= 0) {
    stretch_->flush();
    source_done_ = true;
  } else {
    stretch_->putSamples(chunk_.data(), static_cast<unsigned>(got));
  }
  return true;
}

std::int64_t SongFeeder::play(float* out, std::size_t frames) {
  std::int64_t before = played_;
  std::size_t wanted = frames * static_cast<std::size_t>(channels_);
  std::size_t silent = 0;
  if (played_ < 0) {
    std::size_t preroll = static_cast<std::size_t>(-played_) * static_cast<std::size_t>(channels_);
    silent = preroll < wanted ? preroll : wanted;
    played_ += static_cast<std::int64_t>(silent) / channels_;
  }
  // Read before the ring: a decoder that finished by then had pushed all
  // it ever will, so a shortfall is the song's end. Read after, a last
  // chunk pushed in between would be missed and its time counted twice.
  bool finished = finished_.load(std::memory_order_acquire);
  std::size_t got = muted_.load(std::memory_order_relaxed) ? 0 : ring_->pop(out + silent, wanted - silent);
  for (std::size_t i = 0; i < silent; ++i) out[i] = 0;
  for (std::size_t i = silent + got; i < wanted; ++i) out[i] = 0;
  // Told on every call while the room lasts, an empty ring included, so a
  // call that came between the decoder's look and its sleep costs nothing;
  // it takes no lock.
  if (!finished && ring_->free_space() >= wake_room_) wake_.notify_one();
  bool ended = finished && silent + got < wanted;
  played_ += static_cast<std::int64_t>(ended ? wanted - silent : got) / channels_;
  // Clicks go where the song's time goes: not into a decoder's shortfall.
  if (clicks_ != nullptr) clicks_->mix(out, before, static_cast<std::size_t>(played_ - before));
  return before;
}

}  // namespace tap
