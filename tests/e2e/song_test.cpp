#include <fcntl.h>
#include <gtest/gtest.h>
#include <jack/jack.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "chart/lanes.h"
#include "e2e/e2e_support.h"

namespace tap::testing {
namespace {

constexpr int RATE = 48000;
constexpr int PERIOD = 256;
constexpr double CLICK_EVERY_MS = 500;

double steady_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) * 1000 + static_cast<double>(now.tv_nsec) / 1e6;
}

void sleep_until(double ms) {
  while (steady_ms() < ms - 2) std::this_thread::sleep_for(std::chrono::microseconds(300));
  while (steady_ms() < ms) {
  }
}

/// A song of clicks, one every half second from its first sample on, in
/// `format` (libsndfile's), stereo at 48 kHz.
void write_click_song(const std::string& path, int format, double seconds) {
  SF_INFO info{};
  info.samplerate = RATE;
  info.channels = 2;
  info.format = format;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(file, nullptr) << path << ": " << sf_strerror(nullptr);
  std::vector<float> frames(static_cast<std::size_t>(seconds * RATE) * 2, 0.0f);
  for (std::size_t at = 0; at * 2 < frames.size(); at += RATE / 2) {
    for (std::size_t i = 0; i < 1440 && (at + i) * 2 < frames.size(); ++i) {
      double t = static_cast<double>(i) / RATE;
      float v = static_cast<float>(0.8 * std::sin(2 * M_PI * 1000 * t) * std::exp(-t / 0.008));
      frames[(at + i) * 2] = frames[(at + i) * 2 + 1] = v;
    }
  }
  sf_writef_float(file, frames.data(), static_cast<sf_count_t>(frames.size() / 2));
  sf_close(file);
}

/// The test's own JACK server: the dummy backend, which needs no sound
/// card, with monitor ports that show what each playback port played.
class JackServer {
 public:
  JackServer() : name_("tap-recorder-test-" + std::to_string(getpid()) + "-" + std::to_string(++made_)) {
    // The probes below fail until the server is up, and would say so.
    jack_set_error_function([](const char*) {});
    jack_set_info_function([](const char*) {});
    pid_ = fork();
    if (pid_ == 0) {
      int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      dup2(null, 2);
      execlp("jackd", "jackd", "-n", name_.c_str(), "--no-realtime", "-d", "dummy", "-r", "48000", "-p", "256", "-m",
             static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 100 && !ready_; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      jack_status_t status;
      jack_client_t* probe =
          jack_client_open("probe", JackOptions(JackNoStartServer | JackServerName), &status, name_.c_str());
      if (probe != nullptr) {
        ready_ = true;
        jack_client_close(probe);
      }
    }
  }
  ~JackServer() { stop(); }
  JackServer(const JackServer&) = delete;
  JackServer& operator=(const JackServer&) = delete;

  /// As when the sound server dies or the device is unplugged.
  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  bool ready() const { return ready_; }
  const std::string& name() const { return name_; }

 private:
  static inline int made_ = 0;
  std::string name_;
  pid_t pid_ = -1;
  bool ready_ = false;
};

/// Hears what the server plays on system:playback_1 and notes, on the
/// steady clock, when each click's first sample is heard: the server's own
/// account, the frame time of the cycle that wrote it plus the playback
/// latency it reports for system:playback_1. A monitor port shows a cycle's
/// data one cycle later.
class Listener {
 public:
  explicit Listener(const std::string& server) {
    jack_status_t status;
    client_ = jack_client_open("listener", JackOptions(JackNoStartServer | JackServerName), &status, server.c_str());
    if (client_ == nullptr) return;
    port_ = jack_port_register(client_, "in", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    jack_latency_range_t range;
    jack_port_get_latency_range(jack_port_by_name(client_, "system:playback_1"), JackPlaybackLatency, &range);
    latency_ = range.max;
    jack_set_process_callback(client_, process, this);
    jack_activate(client_);
    jack_connect(client_, "system:monitor_1", "listener:in");
  }
  ~Listener() {
    if (client_ != nullptr) jack_client_close(client_);
  }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  bool connected() const { return client_ != nullptr; }
  int heard() const { return count_.load(); }
  double heard_ms(int i) const { return onsets_[i]; }
  bool wait_for(int clicks, int timeout_ms = 3000) {
    double until = steady_ms() + timeout_ms;
    while (heard() < clicks && steady_ms() < until) std::this_thread::sleep_for(std::chrono::microseconds(200));
    return heard() >= clicks;
  }

 private:
  static int process(jack_nframes_t frames, void* self) {
    auto& me = *static_cast<Listener*>(self);
    const auto* in = static_cast<const float*>(jack_port_get_buffer(me.port_, frames));
    jack_nframes_t cycle = jack_last_frame_time(me.client_);
    for (jack_nframes_t k = 0; k < frames; ++k) {
      std::int64_t frame = static_cast<std::int64_t>(cycle) + k;
      if (std::fabs(in[k]) < 0.05f || frame - me.last_onset_ < RATE / 5) continue;
      me.last_onset_ = frame;
      int n = me.count_.load();
      if (n >= 256) break;
      // JACK's clock is not the steady clock: convert beside the event.
      auto heard = static_cast<jack_nframes_t>(frame - PERIOD + me.latency_);
      double jack_minus_steady = static_cast<double>(jack_get_time()) / 1000 - steady_ms();
      me.onsets_[n] = static_cast<double>(jack_frames_to_time(me.client_, heard)) / 1000 - jack_minus_steady;
      me.count_.store(n + 1);
    }
    return 0;
  }

  jack_client_t* client_ = nullptr;
  jack_port_t* port_ = nullptr;
  jack_nframes_t latency_ = 0;
  std::int64_t last_onset_ = -RATE;
  std::atomic<int> count_{0};
  double onsets_[256] = {};
};

PtySession::Options on_server(const TempDir& dir, const JackServer& server, std::vector<std::string> args) {
  PtySession::Options options = in(dir);
  // Under the sanitizers: the audio libraries' own keeps are told apart by
  // their frames, which only the slow unwinder finds through them.
  options.env.push_back("ASAN_OPTIONS=fast_unwind_on_malloc=0");
  options.env.push_back("LSAN_OPTIONS=print_suppressions=0:suppressions=" AUDIO_LEAK_SUPPRESSIONS);
  options.env.push_back("JACK_DEFAULT_SERVER=" + server.name());
  options.args = std::move(args);
  return options;
}

std::vector<int> lane_frames(const std::string& chart, const std::string& key) {
  std::smatch match;
  std::vector<int> frames;
  if (!std::regex_search(chart, match, std::regex("&" + key + "=([-0-9,]*)\r\n"))) return frames;
  std::stringstream values(match[1].str());
  std::string value;
  while (std::getline(values, value, ',')) frames.push_back(std::stoi(value));
  return frames;
}

class Song : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new JackServer; }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  static JackServer* server_;
};
JackServer* Song::server_ = nullptr;

// Taps are sent 2 ms after and 1.5 ms before frame boundaries of the song,
// timed from when the server played the first click: a tap read 2 ms early,
// or 1.5 ms late (less the time the key takes to reach the program), lands
// in the wrong frame.
TEST_F(Song, TapsLandInTheFramesOfTheSongPositionHeard) {
  ASSERT_TRUE(server_->ready()) << "jackd did not start";
  struct Case {
    const char* file;
    int format;
    std::vector<std::string> options;
    double start_ms, rate, offset_ms;
  };
  const Case cases[] = {
      {"song.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, {}, 0, 1, 0},
      {"song.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, {}, 0, 1, 0},
      {"song.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, {}, 0, 1, 0},
      {"song.opus", SF_FORMAT_OGG | SF_FORMAT_OPUS, {}, 0, 1, 0},
      {"song.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, {}, 0, 1, 0},
      {"song.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, {"--start", "1.5"}, 1500, 1, 0},
      {"song.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, {"--rate", "0.5"}, 0, 0.5, 0},
      {"song.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, {"--offset", "40"}, 0, 1, 40},
      {"song.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, {"--start=0:02", "--rate=1.5", "--offset=-25"}, 2000, 1.5, -25},
  };
  for (const Case& c : cases) {
    std::string name = std::string(c.file) + (c.options.empty() ? "" : " " + c.options[0]);
    TempDir dir;
    write_click_song(dir.file(c.file), c.format, 6);
    Listener listener(server_->name());
    ASSERT_TRUE(listener.connected());
    std::vector<std::string> args = c.options;
    args.push_back(c.file);
    PtySession pty(PROGRAM, on_server(dir, *server_, args));
    ASSERT_TRUE(pty.expect(OPENING)) << name << ": " << pty.output();
    pty.send("\r");
    ASSERT_TRUE(listener.wait_for(1)) << name << ": the server played no click";
    double zero = listener.heard_ms(0);  // song position start_ms

    std::vector<double> expected_ms, late_ms;
    int first_frame = static_cast<int>((c.start_ms - c.offset_ms) * 0.03) + 4;
    for (int j = 0; j < 8; ++j) {
      double boundary = (first_frame + 5 * j) * 100.0 / 3.0;
      double target = boundary + (j % 2 == 0 ? 2 : -1.5);
      double when = zero + (target + c.offset_ms - c.start_ms) / c.rate;
      sleep_until(when);
      double sent = steady_ms();
      pty.send(" ");
      expected_ms.push_back(c.start_ms + (sent - zero) * c.rate - c.offset_ms);
      late_ms.push_back(sent - when);
    }
    pty.send("\r");
    ASSERT_TRUE(pty.expect("ENTERで終了します\r\n")) << name;
    pty.send("\r");
    EXPECT_EQ(exit_code(pty.wait_exit()), 0) << name;

    std::vector<int> frames = lane_frames(read_file(dir.file("ved.txt")), "space_data");
    ASSERT_EQ(frames.size(), expected_ms.size()) << name;
    int checked = 0;
    for (std::size_t j = 0; j < frames.size(); ++j) {
      double ms = expected_ms[j];
      if (late_ms[j] > 0.5) continue;  // the test itself sent it late
      ++checked;
      EXPECT_EQ(frames[j], to_frame(static_cast<std::int32_t>(std::trunc(ms))))
          << name << ": tap " << j << " at " << ms << " ms of the song";
    }
    EXPECT_GE(checked, 6) << name << ": too few taps sent on time to judge";
    EXPECT_GE(listener.heard(), 2) << name;
  }
}

TEST_F(Song, CalibrationTellsTheOffsetOfTheTapsOnTheClicks) {
  ASSERT_TRUE(server_->ready()) << "jackd did not start";
  struct Case {
    int taps;
    double late_ms;
    int exit_code;
    const char* result;  // the end of the output
  };
  const Case cases[] = {
      {8, 30, 0,
       "Your taps come ([0-9.]+) ms after the clicks on average [(]spread [01][.][0-9] ms over 8 taps[)][.]\r\n"
       "Use --offset (29|30|31)\r\n$"},
      {3, -20, 65, "Too few taps near the clicks [(]3 of 16[)] to tell an offset: run --calibrate again[.]\r\n$"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    Listener listener(server_->name());
    PtySession pty(PROGRAM, on_server(dir, *server_, {"--calibrate"}));
    ASSERT_TRUE(pty.expect("and press ENTER again once the clicks have stopped.\r\n")) << pty.output();
    pty.send("\r");
    ASSERT_TRUE(listener.wait_for(1)) << "the server played no click";
    for (int k = 0; k < c.taps; ++k) {
      sleep_until(listener.heard_ms(0) + 500 * k + c.late_ms + (k == 0 && c.late_ms < 0 ? 500 : 0));
      pty.send(" ");
      ASSERT_TRUE(pty.expect("tap " + std::to_string(k + 1) + ": ")) << k;
    }
    pty.send("\r");
    EXPECT_EQ(exit_code(pty.wait_exit()), c.exit_code) << c.taps;
    pty.drain(50);
    std::smatch match;
    ASSERT_TRUE(std::regex_search(pty.output(), match, std::regex(c.result))) << pty.output();
    if (c.exit_code == 0) {
      EXPECT_NEAR(std::stod(match[1].str()), c.late_ms, 1.0) << pty.output();
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("ved.txt")));
    EXPECT_TRUE(same_mode(pty.mode(), pty.initial_mode()));
  }
}

TEST_F(Song, AnOutputThatGoesAwayCostsNoTap) {
  JackServer own;
  ASSERT_TRUE(own.ready()) << "jackd did not start";
  TempDir dir;
  write_click_song(dir.file("song.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 6);
  PtySession pty(PROGRAM, on_server(dir, own, {"song.wav"}));
  ASSERT_TRUE(pty.expect(OPENING));
  pty.send("\r");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  pty.send(" ");
  ASSERT_TRUE(pty.expect("SPACEが押されました\r\n"));
  own.stop();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  pty.send("\x1b[D");
  ASSERT_TRUE(
      pty.expect("tap-recorder: the song stopped (the audio output stopped answering); the taps are still "
                 "recorded\r\n←が押されました\r\n"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  pty.send(" \r");
  ASSERT_TRUE(pty.expect("ENTERで終了します\r\n"));
  pty.send("\r");
  EXPECT_EQ(exit_code(pty.wait_exit()), 0);
  std::string chart = read_file(dir.file("ved.txt"));
  std::vector<int> space = lane_frames(chart, "space_data"), left = lane_frames(chart, "up_data");
  ASSERT_EQ(space.size(), 2u) << chart;
  ASSERT_EQ(left.size(), 1u) << chart;
  // The song's clock goes on from its last report: 300 ms, 9 frames, apart.
  EXPECT_NEAR(left[0] - space[0], 9, 2) << chart;
  EXPECT_NEAR(space[1] - left[0], 9, 2) << chart;
}

TEST_F(Song, WhatCannotBePlayedIsToldBeforeTheTerminalIsTouched) {
  ASSERT_TRUE(server_->ready()) << "jackd did not start";
  struct Case {
    std::vector<std::string> args;
    bool on_our_server;
    int exit_code;
    const char* line;
  };
  const Case cases[] = {
      {{"missing.wav"}, true, 66, "tap-recorder: cannot play 'missing.wav': No such file or directory"},
      {{"text.wav"},
       true,
       66,
       "tap-recorder: cannot play 'text.wav': not an audio file this program reads (Format not recognised.)"},
      {{"--rate", "3", "song.wav"}, true, 64, "tap-recorder: --rate takes a speed from 0.25 to 2 (not '3')"},
      {{"--start", "0:09", "song.wav"}, true, 64, "tap-recorder: --start 9.000 s is past the song's end (6.000 s)"},
      {{"--device", "nowhere", "song.wav"},
       true,
       69,
       "tap-recorder: no audio output named 'nowhere' (see --list-devices)"},
      {{"song.wav"}, false, 69, "tap-recorder: no audio output: no output device found"},
      {{"--list-devices"}, false, 69, "tap-recorder: no audio output: no output device found"},
      {{"--list-devices"}, true, 0, "JACK Audio Connection Kit: system (default)"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    write_click_song(dir.file("song.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 6);
    std::ofstream(dir.file("text.wav")) << "not a song\n";
    PtySession::Options options = on_server(dir, *server_, c.args);
    if (!c.on_our_server) options.env.back() = "JACK_DEFAULT_SERVER=no-such-server";
    PtySession pty(PROGRAM, options);
    std::string shown = c.args[0] + (c.on_our_server ? "" : " (no server)");
    EXPECT_EQ(exit_code(pty.wait_exit()), c.exit_code) << shown;
    pty.drain(50);
    std::vector<std::string> lines = pty.lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), c.line), lines.end()) << shown << ": " << pty.output();
    EXPECT_EQ(pty.output().find("ENTERで"), std::string::npos) << shown;
    EXPECT_FALSE(std::filesystem::exists(dir.file("ved.txt"))) << shown;
    EXPECT_TRUE(same_mode(pty.mode(), pty.initial_mode())) << shown;
  }
}

}  // namespace
}  // namespace tap::testing
