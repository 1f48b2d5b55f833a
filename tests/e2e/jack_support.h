#pragma once

// A JACK server of the tests' own and a listener on what it plays, for the
// song tests and the benchmark.

#include <fcntl.h>
#include <jack/jack.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace tap::testing {

inline constexpr int RATE = 48000;
inline constexpr int PERIOD = 256;

inline double steady_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) * 1000 + static_cast<double>(now.tv_nsec) / 1e6;
}

inline void sleep_until(double ms) {
  while (steady_ms() < ms - 2) std::this_thread::sleep_for(std::chrono::microseconds(300));
  while (steady_ms() < ms) {
  }
}

/// A song of clicks, one every half second from its first sample on, in
/// `format` (libsndfile's), stereo at 48 kHz; under them, a steady tone of
/// `tone` (too quiet to pass for a click), so that a decoder has work.
/// With more `channels` (a WAV's order), the clicks are the centre's alone.
inline bool write_click_song(const std::string& path, int format, double seconds, double tone = 0, int channels = 2) {
  SF_INFO info{};
  info.samplerate = RATE;
  info.channels = channels;
  info.format = format;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (file == nullptr) return false;
  std::vector<float> second(static_cast<std::size_t>(RATE) * static_cast<std::size_t>(channels));
  auto total = static_cast<std::int64_t>(seconds * RATE);
  for (std::int64_t at = 0; at < total; at += RATE) {
    std::int64_t count = std::min<std::int64_t>(RATE, total - at);
    for (std::int64_t i = 0; i < count; ++i) {
      double into_click = static_cast<double>((at + i) % (RATE / 2)) / RATE;
      double t = static_cast<double>(at + i) / RATE;
      double v = tone * std::sin(2 * M_PI * 440 * t);
      if (into_click < 0.03) v += 0.8 * std::sin(2 * M_PI * 1000 * into_click) * std::exp(-into_click / 0.008);
      for (int c = 0; c < channels; ++c) {
        second[static_cast<std::size_t>(i * channels + c)] = static_cast<float>(channels <= 2 || c == 2 ? v : 0);
      }
    }
    sf_writef_float(file, second.data(), count);
  }
  sf_close(file);
  return true;
}

/// A sound server of the tests' own, in a process group of its own so that
/// its helpers go with it, and the directory it keeps its files in, if any.
class ServerProcess {
 public:
  ~ServerProcess() {
    stop();
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
  }
  /// As when the sound server dies or the device is unplugged.
  void stop() {
    if (pid_ <= 0) return;
    kill(-pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  bool ready() const { return ready_; }
  /// What the program is told to find it by.
  const std::string& name() const { return name_; }

 protected:
  ServerProcess() = default;
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;
  /// Runs `exec` (an exec call) in a child, its output dropped.
  template <typename Exec>
  void start(Exec exec) {
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);
      int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      dup2(null, 2);
      exec();
      _exit(127);
    }
    if (pid_ > 0) setpgid(pid_, pid_);
  }

  static inline int made_ = 0;
  std::filesystem::path dir_;
  std::string name_;
  pid_t pid_ = -1;
  bool ready_ = false;
};

/// The test's own JACK server: the dummy backend, which needs no sound
/// card, with monitor ports that show what each playback port played.
class JackServer : public ServerProcess {
 public:
  JackServer() {
    name_ = "tap-recorder-test-" + std::to_string(getpid()) + "-" + std::to_string(++made_);
    // The probes below fail until the server is up, and would say so.
    jack_set_error_function([](const char*) {});
    jack_set_info_function([](const char*) {});
    start([this] {
      execlp("jackd", "jackd", "-n", name_.c_str(), "--no-realtime", "-d", "dummy", "-r", "48000", "-p", "256", "-m",
             static_cast<char*>(nullptr));
    });
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
    // A new server's estimate of its own pace, which times what it plays,
    // settles over its first moments.
    if (ready_) std::this_thread::sleep_for(std::chrono::seconds(2));
  }
};

/// What a listener heard of the song's clicks: each click's first sample
/// (loud, and a fifth of a second past the one before), by its frame and
/// by when the server's account puts it on the steady clock. The listener
/// thread writes, the test reads.
class HeardClicks {
 public:
  int heard() const { return count_.load(); }
  /// Cycles the server missed, or samples the listener did: heard times no
  /// longer tell song positions from one another.
  int xruns() const { return xruns_.load(); }
  double heard_ms(int i) const { return onsets_[i]; }
  /// The click's first sample, counted in the server's own frames.
  std::int64_t heard_frame(int i) const { return frames_[i]; }
  /// Whether the server's account of time held: from one click to the
  /// next, the time its account gives lies as far as their frames, but for
  /// the drift any clock may have (here up to 1000 ppm) and the account's
  /// own error. A jump (a starved server re-learning its pace) would put
  /// the song where it was not.
  bool clock_held() const {
    for (int i = 1; i < heard(); ++i) {
      double by_frames = static_cast<double>(frames_[i] - frames_[i - 1]) * 1000 / RATE;
      if (std::fabs(onsets_[i] - onsets_[i - 1] - by_frames) > account_error_ms_ + by_frames * 0.001) return false;
    }
    return true;
  }
  bool wait_for(int clicks, int timeout_ms = 3000) {
    double until = steady_ms() + timeout_ms;
    while (heard() < clicks && steady_ms() < until) std::this_thread::sleep_for(std::chrono::microseconds(200));
    return heard() >= clicks;
  }

 protected:
  explicit HeardClicks(double account_error_ms) : account_error_ms_(account_error_ms) {}
  /// Listener thread: whether the sample at `frame` starts a click.
  bool starts_click(std::int64_t frame, float sample) {
    if (std::fabs(sample) < 0.05f || frame - last_onset_ < RATE / 5) return false;
    last_onset_ = frame;
    return true;
  }
  /// Listener thread: notes a click; false when there is no room left.
  bool note(std::int64_t frame, double onset_ms) {
    int n = count_.load();
    if (n >= MAX) return false;
    onsets_[n] = onset_ms;
    frames_[n] = frame;
    count_.store(n + 1);
    return true;
  }
  std::int64_t first_frame() const { return frames_[0]; }
  std::atomic<int> xruns_{0};

 private:
  static constexpr int MAX = 256;
  double account_error_ms_;
  std::int64_t last_onset_ = -RATE;
  std::atomic<int> count_{0};
  double onsets_[MAX] = {};
  std::int64_t frames_[MAX] = {};
};

/// Hears what the server plays on system:playback_1 and notes, on the
/// steady clock, when each click's first sample is heard: the server's own
/// account, the frame time of the cycle that wrote it plus the playback
/// latency it reports for system:playback_1. A monitor port shows a cycle's
/// data one cycle later.
class Listener : public HeardClicks {
 public:
  explicit Listener(const std::string& server) : HeardClicks(0.5) {
    jack_status_t status;
    client_ = jack_client_open("listener", JackOptions(JackNoStartServer | JackServerName), &status, server.c_str());
    if (client_ == nullptr) return;
    port_ = jack_port_register(client_, "in", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    jack_latency_range_t range;
    jack_port_get_latency_range(jack_port_by_name(client_, "system:playback_1"), JackPlaybackLatency, &range);
    latency_ = range.max;
    jack_set_process_callback(client_, process, this);
    jack_set_xrun_callback(
        client_,
        [](void* self) {
          ++static_cast<Listener*>(self)->xruns_;
          return 0;
        },
        this);
    jack_activate(client_);
    jack_connect(client_, "system:monitor_1", "listener:in");
  }
  ~Listener() {
    if (client_ != nullptr) jack_client_close(client_);
  }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  bool connected() const { return client_ != nullptr; }
  /// How long the first click has been heard now, in ms of the server's
  /// frames: the song position heard by the server's own account, which
  /// follows its clock wherever that runs against the steady clock.
  double ms_since_first_heard() const {
    auto now = static_cast<std::int32_t>(jack_time_to_frames(client_, jack_get_time()));
    auto first = static_cast<std::int32_t>(first_frame() - PERIOD + latency_);
    return static_cast<double>(now - first) * 1000 / RATE;
  }

 private:
  static int process(jack_nframes_t frames, void* self) {
    auto& me = *static_cast<Listener*>(self);
    const auto* in = static_cast<const float*>(jack_port_get_buffer(me.port_, frames));
    jack_nframes_t cycle = jack_last_frame_time(me.client_);
    for (jack_nframes_t k = 0; k < frames; ++k) {
      std::int64_t frame = static_cast<std::int64_t>(cycle) + k;
      if (!me.starts_click(frame, in[k])) continue;
      // JACK's clock is not the steady clock: convert beside the event.
      auto heard = static_cast<jack_nframes_t>(frame - PERIOD + me.latency_);
      double jack_minus_steady = static_cast<double>(jack_get_time()) / 1000 - steady_ms();
      if (!me.note(frame, static_cast<double>(jack_frames_to_time(me.client_, heard)) / 1000 - jack_minus_steady))
        break;
    }
    return 0;
  }

  jack_client_t* client_ = nullptr;
  jack_port_t* port_ = nullptr;
  jack_nframes_t latency_ = 0;
};

}  // namespace tap::testing
