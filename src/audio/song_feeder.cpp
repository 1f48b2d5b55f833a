#include "audio/song_feeder.h"

#include <chrono>
#include <cmath>
#include <cstdio>

#include "recorder/command_line.h"

namespace tap {
namespace {

constexpr int CHUNK_FRAMES = 2048;
constexpr double RING_SECONDS = 0.5;
// Silence before the song's first frame: a sound server may connect the
// stream to its output a few milliseconds after the first buffers (JACK
// does), and those must not be the song's.
constexpr double PREROLL_SECONDS = 0.05;

}  // namespace

SongFeeder::SongFeeder(SongSource& source, int channels, double output_rate, double rate)
    : source_(source), channels_(channels), played_(-static_cast<std::int64_t>(output_rate * PREROLL_SECONDS)) {
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
  }
  ring_ = std::make_unique<SpscRing<float>>(static_cast<std::size_t>(output_rate * RING_SECONDS) *
                                            static_cast<std::size_t>(channels_));
  source_buffer_.resize(static_cast<std::size_t>(CHUNK_FRAMES * source_.channels()));
  chunk_.resize(static_cast<std::size_t>(CHUNK_FRAMES * channels_));
}

SongFeeder::~SongFeeder() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

void SongFeeder::start() {
  while (feed_step()) {
  }
  thread_ = std::thread([this] {
    while (!stop_ && !finished_) {
      if (!feed_step()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
}

// The song's frames as the output takes them: one or two channels, the
// first two of a file that has more.
std::int64_t SongFeeder::read_source(float* out, std::int64_t count) {
  int channels = source_.channels();
  std::int64_t got = source_.read(source_buffer_.data(), count);
  for (std::int64_t i = 0; i < got; ++i) {
    const float* frame = &source_buffer_[static_cast<std::size_t>(i * channels)];
    for (int c = 0; c < channels_; ++c) out[i * channels_ + c] = frame[c < channels ? c : channels - 1];
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
    ring_->push(chunk_.data(), out * static_cast<unsigned>(channels_));
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
  std::size_t got = muted_.load(std::memory_order_relaxed) ? 0 : ring_->pop(out + silent, wanted - silent);
  for (std::size_t i = 0; i < silent; ++i) out[i] = 0;
  for (std::size_t i = silent + got; i < wanted; ++i) out[i] = 0;
  bool ended = finished_.load(std::memory_order_acquire) && silent + got < wanted;
  played_ += static_cast<std::int64_t>(ended ? wanted - silent : got) / channels_;
  return before;
}

bool song_error(SongError& error, int exit_code, const char* what, const char* detail) {
  error.exit_code = exit_code;
  std::snprintf(error.text, sizeof error.text, "tap-recorder: %s%s%s", what, detail[0] ? ": " : "", detail);
  return false;
}

bool seek_to_start(SongSource& source, const SongOptions& options, double& start_seconds, SongError& error) {
  std::int64_t start_frame = std::llround(options.start_seconds * source.sample_rate());
  if (start_frame >= source.frames()) {
    char what[120];
    std::snprintf(what, sizeof what, "--start %.3f s is past the song's end (%.3f s)", options.start_seconds,
                  static_cast<double>(source.frames()) / source.sample_rate());
    return song_error(error, EXIT_USAGE, what, "");
  }
  if (start_frame > 0 && !source.seek(start_frame))
    return song_error(error, EXIT_SONG_UNREADABLE, "cannot start the song there", "the file cannot seek");
  start_seconds = static_cast<double>(start_frame) / source.sample_rate();
  return true;
}

}  // namespace tap
