#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audio/song_clock.h"
#include "audio/song_feeder.h"

namespace tap {
namespace {

constexpr int RATE = 48000;

/// A mono song whose every sample tells its frame (frame + 1, so silence
/// is told apart). A read that would pass `gate` stops there, and the next
/// waits until the gate opens: the decoder held at a point of the test's
/// choosing.
class NumberedSong final : public SongSource {
 public:
  NumberedSong(std::int64_t frames, std::int64_t gate = -1, int rate = RATE)
      : frames_(frames), gate_(gate), rate_(rate) {}
  int channels() const override { return 1; }
  int sample_rate() const override { return rate_; }
  std::int64_t frames() const override { return frames_; }
  bool seek(std::int64_t frame) override {
    at_ = frame;
    return true;
  }
  std::int64_t read(float* out, std::int64_t count) override {
    if (at_ == gate_) {
      waiting = true;
      while (!open) {
      }
    } else if (gate_ > at_ && at_ + count > gate_) {
      count = gate_ - at_;
    }
    if (count > frames_ - at_) count = frames_ - at_;
    for (std::int64_t i = 0; i < count; ++i) out[i] = static_cast<float>(at_ + i + 1);
    at_ += count;
    return count;
  }
  std::atomic<bool> waiting{false}, open{false};

 private:
  std::int64_t frames_, gate_, at_ = 0;
  int rate_;
};

/// What the output heard, checked as it is played: every song sample must
/// stand at the frame play() said the buffer begins with, each once.
struct Heard {
  std::int64_t song_samples = 0;
  std::int64_t before = 0;  // the frame the latest buffer began with
  std::string fault;
  std::vector<float> out = std::vector<float>(65536);  // made before, so a play starts at once

  std::size_t play(SongFeeder& feeder, std::size_t frames) {
    before = feeder.play(out.data(), frames);
    std::size_t got = 0;
    for (std::size_t i = 0; i < frames; ++i) {
      if (out[i] == 0) continue;
      ++got;
      auto frame = static_cast<std::int64_t>(out[i]) - 1;
      if (frame != before + static_cast<std::int64_t>(i) && fault.empty())
        fault = "song frame " + std::to_string(frame) + " played as frame " +
                std::to_string(before + static_cast<std::int64_t>(i));
    }
    song_samples += static_cast<std::int64_t>(got);
    return got;
  }
};

// After the song's silence before it, every song frame once, where the
// output says it is: silence while the decoder lags does not count as
// song time, silence after the end does.
// A start is the sample at or before it; past the end, the message shows
// as many decimals as it takes to see why.
TEST(SeekToStart, FindsTheSampleAtOrBeforeTheStartOrSaysItIsPastTheEnd) {
  struct Case {
    double start_seconds;
    std::int64_t frame;  // where the song then starts, or -1 when refused
    const char* error;
  };
  const Case cases[] = {
      {0, 0, ""},
      {1.5, 72000, ""},
      {5.99999, 287999, ""},  // the song's last sample
      {6, -1, "tap-recorder: --start 6.000 s is past the song's end (6.000 s)"},
      {6.0001, -1, "tap-recorder: --start 6.0001 s is past the song's end (6.0000 s)"},
      {1e15, -1, "tap-recorder: --start 1e+15 s is past the song's end (6.000 s)"},
  };
  for (const Case& c : cases) {
    NumberedSong song(6 * RATE);
    SongOptions options;
    options.start_seconds = c.start_seconds;
    double start = -1;
    SongError error;
    EXPECT_EQ(seek_to_start(song, options, start, error), c.frame >= 0) << c.start_seconds;
    EXPECT_STREQ(error.text, c.error);
    if (c.frame >= 0) {
      float first = 0;
      EXPECT_EQ(song.read(&first, 1), 1);
      EXPECT_EQ(first, static_cast<float>(c.frame + 1)) << c.start_seconds;
      EXPECT_DOUBLE_EQ(start, static_cast<double>(c.frame) / RATE);
    }
  }
}

// Each channel of a song into the output's: weights[channel][out].
TEST(SongFeeder, MixesEachChannelIntoTheOutputsByItsSpeaker) {
  constexpr float H = 0.70710678f, S51 = 1 / (1 + 2 * H);  // 5.1's left: L, C and Ls at -3 dB
  struct Case {
    const char* what;
    int channels;
    bool vorbis_order;
    int out_channels;
    std::vector<float> weights;
  };
  const Case cases[] = {
      {"stereo as it is", 2, false, 2, {1, 0, 0, 1}},
      {"mono on both sides", 1, false, 2, {1, 1}},
      {"stereo into mono", 2, false, 1, {0.5f, 0.5f}},
      {"5.1 from a WAV", 6, false, 2, {S51, 0, 0, S51, H * S51, H * S51, 0, 0, H * S51, 0, 0, H * S51}},
      {"5.1 from Ogg", 6, true, 2, {S51, 0, H * S51, H * S51, 0, S51, H * S51, 0, 0, H * S51, 0, 0}},
      {"5.1 into mono", 6, false, 1, {S51 / 2, S51 / 2, H * S51, 0, H * S51 / 2, H * S51 / 2}},
      {"3.0 from Ogg", 3, true, 2, {1 / (1 + H), 0, H / (1 + H), H / (1 + H), 0, 1 / (1 + H)}},
  };
  for (const Case& c : cases) {
    std::vector<Speaker> speakers(static_cast<std::size_t>(c.channels));
    usual_speakers(c.channels, c.vorbis_order, speakers.data());
    std::vector<float> weights(c.weights.size());
    mix_weights(speakers.data(), c.channels, c.out_channels, weights.data());
    for (std::size_t i = 0; i < weights.size(); ++i) EXPECT_NEAR(weights[i], c.weights[i], 1e-6) << c.what << " " << i;
  }
}

// At any speed a beat's attack is heard where the song has it: the clicks'
// onsets in what the output plays, in song milliseconds from where each
// belongs, their mean and their farthest.
TEST(SongFeeder, AttacksAreHeardInPlaceAtAnySpeed) {
  struct Case {
    double rate;
    double farthest_ms;  // the stretch's sequences place each attack within this
  };
  const Case cases[] = {{1.0, 0.1}, {0.25, 2}, {0.4, 2}, {0.5, 2}, {0.75, 2}, {0.9, 2}, {1.2, 3}, {1.5, 4.5}, {2.0, 9}};
  constexpr double FIRST_MS = 100, BEAT_MS = 487.3;
  constexpr int CLICKS = 30;
  for (const Case& c : cases) {
    auto clicks = make_click_track(RATE, FIRST_MS, BEAT_MS, CLICKS);
    SongFeeder feeder(*clicks, 2, RATE, c.rate);
    feeder.start();
    // Each output frame with the song frame it stands for: a decoder that
    // falls behind (under Wine) gives silence that stands for none.
    std::vector<float> out, buffer(2 * 480);
    std::vector<std::int64_t> place;
    auto wanted = static_cast<std::int64_t>(RATE * (FIRST_MS + BEAT_MS * CLICKS) / 1000 / c.rate);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (std::int64_t before = 0; before < wanted && std::chrono::steady_clock::now() < until;) {
      before = feeder.play(buffer.data(), 480);
      out.insert(out.end(), buffer.begin(), buffer.end());
      for (std::int64_t k = 0; k < 480; ++k) place.push_back(before + k);
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    double sum = 0, farthest = 0;
    int heard = 0;
    std::int64_t last_loud = -RATE;  // a click is loud for far less than a tenth of a second
    for (std::size_t i = 0; i < out.size() / 2; ++i) {
      bool loud = std::fabs(out[2 * i]) > 0.05f;
      if (loud && place[i] - last_loud > RATE / 10 / c.rate) {
        double off = static_cast<double>(place[i]) * c.rate * 1000 / RATE - (FIRST_MS + BEAT_MS * heard++);
        sum += off;
        farthest = std::max(farthest, std::fabs(off));
      }
      if (loud) last_loud = place[i];
    }
    ASSERT_EQ(heard, CLICKS) << c.rate;
    std::printf("rate %.2f: mean %+.2f ms, farthest %.2f ms\n", c.rate, sum / heard, farthest);
    EXPECT_NEAR(sum / heard, 0, 1.0) << c.rate;
    EXPECT_LE(farthest, c.farthest_ms) << c.rate;
  }
}

TEST(SongFeeder, CountsEverySongFrameOnceWhereItIsPlayed) {
  struct Case {
    const char* what;
    std::int64_t frames, gate;
    std::size_t buffer;
  };
  const Case cases[] = {
      {"all decoded ahead", 5000, -1, 512},
      {"decoder held mid-song", 100000, 60000, 4096},
      {"decoder held on the last frame", 100000, 99999, 1000},
  };
  for (const Case& c : cases) {
    NumberedSong song(c.frames, c.gate);
    SongFeeder feeder(song, 1, RATE, 1.0);
    feeder.start();
    Heard heard;
    heard.play(feeder, c.buffer);
    EXPECT_EQ(heard.before, -RATE / 20) << c.what << ": the silence before the song";
    EXPECT_EQ(feeder.first_frame(), heard.before) << c.what;
    bool lagged = false;
    while (c.gate >= 0 && !song.waiting) heard.play(feeder, c.buffer);
    // With the decoder held, the output drains the ring and plays silence.
    while (c.gate >= 0 && !lagged) lagged = heard.play(feeder, c.buffer) < c.buffer;
    song.open = true;
    // As long as the decoder needs (a slow machine, Wine), within reason.
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (heard.song_samples < c.frames && std::chrono::steady_clock::now() < until) {
      heard.play(feeder, c.buffer);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    heard.play(feeder, c.buffer);
    std::int64_t after_end = heard.before;
    heard.play(feeder, c.buffer);
    EXPECT_EQ(heard.fault, "") << c.what;
    EXPECT_EQ(heard.song_samples, c.frames) << c.what;
    EXPECT_EQ(heard.before - after_end, static_cast<std::int64_t>(c.buffer)) << c.what << ": silence after the end";
  }
}

#ifdef __linux__
// The context switches of every thread of the process so far.
long context_switches() {
  long total = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream status(task.path() / "status");
    for (std::string line; std::getline(status, line);) {
      if (line.find("ctxt_switches:") != std::string::npos) total += std::stol(line.substr(line.find(':') + 1));
    }
  }
  return total;
}

// Waiting at a prompt with the ring full, the decoder sleeps: no polling.
TEST(SongFeeder, SleepsWhileTheOutputTakesNothing) {
  NumberedSong song(60 * RATE);
  SongFeeder feeder(song, 1, RATE, 1.0);
  feeder.start();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  long before = context_switches();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  // This thread's own sleep and what else runs (ThreadSanitizer's own thread
  // wakes ten times a second); polling every 5 ms was a hundred.
  EXPECT_LE(context_switches() - before, 25);
  // Taking from the ring wakes it: far more than the ring holds is played.
  Heard heard;
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (heard.song_samples < 2 * RATE && std::chrono::steady_clock::now() < until) {
    heard.play(feeder, 480);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(heard.song_samples, 2 * RATE);
  EXPECT_EQ(heard.fault, "");
}
#endif

// The decoder pushes the song's last frame and finishes while the output
// takes a buffer the ring cannot fill: that shortfall is not yet the end.
// The moment cannot be forced, so it is made likely (the output copies a
// long run out of the ring as the decoder finishes) and tried many times.
TEST(SongFeeder, TheLastChunkPushedDuringAShortBufferIsCountedOnce) {
  constexpr std::int64_t FRAMES = 40000;
  std::string fault;
  for (int trial = 0; trial < 150 && fault.empty(); ++trial) {
    NumberedSong song(FRAMES, FRAMES - 1);
    SongFeeder feeder(song, 1, RATE, 1.0);
    feeder.start();
    Heard heard;
    while (!song.waiting) heard.play(feeder, 2048);
    heard.play(feeder, 4096);  // room for the last frame
    song.open = true;
    heard.play(feeder, 60000);
    // The decoder's thread pushes the last chunk when it next runs: on a
    // loaded machine that may be a while.
    for (int i = 0; i < 4 || (i < 1000 && heard.song_samples < FRAMES && heard.fault.empty()); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      heard.play(feeder, 1024);
    }
    if (heard.song_samples != FRAMES && heard.fault.empty()) heard.fault = "song frames lost";
    fault = heard.fault;
  }
  EXPECT_EQ(fault, "");
}

// The song clock's time, the stream clock and the output's buffers, all
// the test's own; at a rate whose every time here is exact in binary.
constexpr int CLOCK_RATE = 32768;
double fake_steady = 0;
double read_fake_steady() { return fake_steady; }

class FakeOutput final : public AudioOutput {
 public:
  int channels() const override { return 1; }
  double rate() const override { return CLOCK_RATE; }
  bool attach(std::shared_ptr<SongPlayback> playback) override {
    playback_ = std::move(playback);
    return true;
  }
  bool start() override { return true; }
  bool stream_time(double& seconds) override {
    seconds = stream_now;
    return !gone;
  }
  void close() override {
    closing = true;
    while (hang_at_close) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  // The output's callback.
  void fill(double dac_time) {
    float out[480];
    playback_->fill(out, 480, dac_time);
  }

  double stream_now = 0;
  bool gone = false;
  std::atomic<bool> hang_at_close{false}, closing{false};

 private:
  std::shared_ptr<SongPlayback> playback_;
};

struct Clock {
  FakeOutput* output;
  std::weak_ptr<SongPlayback> playback;
  std::unique_ptr<PlaybackClock> clock;
};

Clock make_clock(const SongOptions& options) {
  auto output = std::make_unique<FakeOutput>();
  auto playback = std::make_shared<SongPlayback>(std::make_unique<NumberedSong>(CLOCK_RATE * 10, -1, CLOCK_RATE), 1,
                                                 CLOCK_RATE, options.rate, read_fake_steady);
  output->attach(playback);
  Clock made{output.get(), playback, nullptr};
  made.clock = std::make_unique<PlaybackClock>(std::move(output), playback, options, 0, read_fake_steady);
  return made;
}

const std::string STOPPED =
    "tap-recorder: the song stopped (the audio output stopped answering); the taps are "
    "still recorded";
const std::string NEVER =
    "tap-recorder: the song stopped (the audio output never played); the taps are still "
    "recorded";

// The capture starts at steady 100 s, stream 10 s. Each step sets the
// clocks, may fill a buffer, then reads the song time and the notice.
TEST(PlaybackClock, ReadsAtOnceAndTellsAStoppedOutputOnce) {
  constexpr double NO_FILL = -1;
  constexpr double GONE = -1;
  struct Step {
    double steady, stream, fill_dac;
    std::int32_t ms;  // INT_MIN: not read
    std::string notice;
  };
  struct Case {
    const char* what;
    std::vector<Step> steps;
    SongOptions options = {};
  };
  // Buffers of 480 frames; the song's output begins 1638 frames (50 ms)
  // before its first frame.
  const double next_buffer = 11.5 + 480.0 / CLOCK_RATE;
  const Case cases[] = {
      {"a server that prebuffers for 1.5 s",
       {{100.25, 10.25, NO_FILL, -49, ""},  // not heard yet: where the output begins
        {101.5, 11.5, 11.5, INT_MIN, ""},
        {101.75, 11.75, NO_FILL, 200, ""},
        {102.0, 12.0, next_buffer, INT_MIN, ""},
        {102.375, 12.375, NO_FILL, 825, ""},
        {102.625, 12.625, NO_FILL, INT_MIN, STOPPED},
        {102.75, 12.75, NO_FILL, INT_MIN, ""}}},
      {"an output that never plays", {{101.875, 11.875, NO_FILL, -49, ""}, {102.125, 12.125, NO_FILL, -49, NEVER}}},
      {"an output gone, the taps carried on",
       {{100.0, 10.0, 10.0, INT_MIN, ""},
        {100.25, 10.25, NO_FILL, 200, ""},
        {100.375, GONE, NO_FILL, 325, STOPPED},
        {100.625, GONE, NO_FILL, 575, ""}}},
      // 100 ms heard are 50 ms of the song, less 30 ms of the user's
      // latency, which at half speed are 15 ms of it.
      {"--rate 0.5 --offset 30", {{100.0, 10.0, 10.0, INT_MIN, ""}, {100.25, 10.25, NO_FILL, 85, ""}}, {0.5, 0, 30}},
  };
  for (const Case& c : cases) {
    fake_steady = 100;
    Clock made = make_clock(c.options);
    made.output->stream_now = 10;
    EXPECT_EQ(made.clock->start_capture(), 0u);
    for (const Step& step : c.steps) {
      fake_steady = step.steady;
      made.output->stream_now = step.stream;
      made.output->gone = step.stream == GONE;
      if (step.fill_dac != NO_FILL) made.output->fill(step.fill_dac);
      if (step.ms != INT_MIN) {
        EXPECT_EQ(static_cast<std::int32_t>(made.clock->elapsed_ms()), step.ms) << c.what << " at " << step.steady;
      }
      const char* notice = made.clock->take_notice();
      EXPECT_EQ(notice != nullptr ? notice : "", step.notice) << c.what << " at " << step.steady;
    }
  }
}

// A stream whose close hangs (a sound server stuck) keeps what its
// callback touches: the song clock gives up waiting, the callback carries
// on safely, and all is released once the close returns.
TEST(PlaybackClock, WhatTheCallbackTouchesOutlivesAHungClose) {
  fake_steady = 100;
  Clock made = make_clock(SongOptions{});
  FakeOutput* output = made.output;
  output->hang_at_close = true;
  made.clock->start_capture();
  made.clock.reset();
  ASSERT_TRUE(output->closing);
  output->fill(10.0);
  EXPECT_FALSE(made.playback.expired());
  output->hang_at_close = false;
  for (int i = 0; i < 2000 && !made.playback.expired(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_TRUE(made.playback.expired());
}

}  // namespace
}  // namespace tap
