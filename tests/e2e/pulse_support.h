#pragma once

// A PulseAudio server and a PipeWire one of the tests' own (a null sink or a pipe, no
// sound card) and a listener on what the sink played, of the same shape as
// the JACK ones.

#include <pulse/pulseaudio.h>
#if TAP_RECORDER_PIPEWIRE
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#endif
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "e2e/jack_support.h"

namespace tap::testing {

// A fresh directory for a server's runtime files.
inline std::filesystem::path server_dir(const char* kind, int made) {
  std::filesystem::path dir =
      std::filesystem::temp_directory_path() /
      ("tap-recorder-" + std::string(kind) + "-" + std::to_string(getpid()) + "-" + std::to_string(made));
  std::filesystem::create_directories(dir);
  return dir;
}

/// PulseAudio: its own runtime directory and socket, a sink at the song's
/// rate, nothing loaded from the system's configuration. The sink is a null
/// one, or with `card` a pipe that a SinkReader drains as a sound card
/// would (its fifo in the server's directory).
class PulseServer : public ServerProcess {
 public:
  explicit PulseServer(bool card = false) {
    dir_ = server_dir("pulse", ++made_);
    name_ = "unix:" + (dir_ / "native").string();
    std::string sink = card ? "module-pipe-sink sink_name=tap format=float32le rate=48000 channels=1 file=" +
                                  (dir_ / "fifo").string() + " sink_properties=device.description=Card"
                            : "module-null-sink sink_name=tap rate=48000 sink_properties=device.description=Null";
    start([this, &sink] {
      setenv("HOME", dir_.c_str(), 1);
      setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
      setenv("PULSE_RUNTIME_PATH", (dir_ / "run").c_str(), 1);
      std::string native = "module-native-protocol-unix auth-anonymous=1 socket=" + (dir_ / "native").string();
      execlp("pulseaudio", "pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disable-shm=yes",
             "--use-pid-file=no", "-L", native.c_str(), "-L", sink.c_str(), static_cast<char*>(nullptr));
    });
    for (int i = 0; i < 100 && !ready_; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      ready_ = std::filesystem::exists(dir_ / "native") && answers(name_);
    }
  }

  /// Whether a server answers at `name`, as the program would connect.
  static bool answers(const std::string& name) {
    pa_mainloop* loop = pa_mainloop_new();
    pa_context* context = pa_context_new(pa_mainloop_get_api(loop), "probe");
    bool up = false;
    if (pa_context_connect(context, name.c_str(), PA_CONTEXT_NOAUTOSPAWN, nullptr) == 0) {
      for (int i = 0; i < 200; ++i) {
        pa_mainloop_iterate(loop, 0, nullptr);
        pa_context_state_t state = pa_context_get_state(context);
        if (state == PA_CONTEXT_READY) up = true;
        if (up || !PA_CONTEXT_IS_GOOD(state)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    }
    pa_context_disconnect(context);
    pa_context_unref(context);
    pa_mainloop_free(loop);
    return up;
  }
};

/// PipeWire with its PulseAudio server and its session manager, headless
/// under a D-Bus session of their own, and a null sink made through the
/// PulseAudio protocol as a user's pactl would.
class PipeWireServer : public ServerProcess {
 public:
  PipeWireServer() {
    dir_ = server_dir("pipewire", ++made_);
    name_ = "unix:" + (dir_ / "pulse" / "native").string();
    start([this] {
      setenv("HOME", dir_.c_str(), 1);
      setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
      execlp("dbus-run-session", "dbus-run-session", "--", "sh", "-c",
             "pipewire & sleep 0.3; wireplumber & pipewire-pulse & wait", static_cast<char*>(nullptr));
    });
    for (int i = 0; i < 100 && !ready_; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      ready_ = std::filesystem::exists(dir_ / "pulse" / "native") && PulseServer::answers(name_);
    }
    ready_ = ready_ && std::system(("PULSE_SERVER=" + name_ +
                                    " pactl load-module module-null-sink sink_name=tap rate=48000 "
                                    "sink_properties=device.description=Null >/dev/null 2>&1")
                                       .c_str()) == 0;
    // The session manager makes the new sink the default a moment later.
    if (ready_) std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
};

/// PulseAudio with a pipe for its sink, held at a desktop's latency by the
/// SinkReader that drains it.
class PulseCardServer : public PulseServer {
 public:
  PulseCardServer() : PulseServer(true) {}
};

/// The sound card of a PulseCardServer: takes the sink's samples from its
/// pipe at the song's rate on the steady clock, a few at a time, and notes
/// when it took each click's first sample. The server's own account of a
/// pipe sink is that a sample is played when the card takes it (its
/// latency is what the pipe holds), so that moment is what the sink played,
/// known to the step (0.25 ms) and the reader's wake-up. The pipe holds
/// 8 KiB (42 ms of the sink's samples) and the server writes when 4 KiB are
/// free: the sink's latency is 21 to 42 ms, a desktop's. (The null sink's
/// monitor was no judge at such latencies: a recording client's account of
/// it put clicks 10 to 15 ms later than they were taken from a card, with
/// 25 to 37 ms of sink latency, though within a millisecond at 10 ms.)
class SinkReader : public HeardClicks {
 public:
  /// `server` as the program is told it: "unix:DIR/native".
  explicit SinkReader(const std::string& server) : HeardClicks(0.5) {
    std::string dir = server.substr(5, server.size() - 5 - std::string("/native").size());
    fd_ = open((dir + "/fifo").c_str(), O_RDONLY | O_NONBLOCK);
    if (fd_ < 0) return;
    fcntl(fd_, F_SETPIPE_SZ, PIPE_BYTES);
    thread_ = std::thread([this] { run(); });
  }
  ~SinkReader() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
  }
  SinkReader(const SinkReader&) = delete;
  SinkReader& operator=(const SinkReader&) = delete;

  bool connected() const { return fd_ >= 0; }
  /// The card takes the song at the steady clock's pace.
  double ms_since_first_heard() const { return steady_ms() - heard_ms(0); }

 private:
  static constexpr int PIPE_BYTES = 8192;
  static constexpr int STEP_FRAMES = RATE / 4000;  // 0.25 ms
  void run() {
    // What the sink wrote while nobody took it (another song's last
    // moments, silence) is no part of this one.
    float samples[PIPE_BYTES / sizeof(float)];
    while (read(fd_, samples, sizeof samples) > 0) {
    }
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    std::int64_t frame = 0;
    while (!stop_.load()) {
      next.tv_nsec += 250000;
      if (next.tv_nsec >= 1000000000) {
        next.tv_nsec -= 1000000000;
        ++next.tv_sec;
      }
      clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
      double taken = steady_ms();
      ssize_t got = read(fd_, samples, STEP_FRAMES * sizeof(float));
      // A sink that left the card without samples once the song was heard
      // played it later than its account: a missed cycle.
      if (got < static_cast<ssize_t>(STEP_FRAMES * sizeof(float)) && heard() > 0) ++xruns_;
      for (ssize_t k = 0; k < got / static_cast<ssize_t>(sizeof(float)); ++k, ++frame) {
        if (starts_click(frame, samples[k]) && !note(frame, taken)) return;
      }
    }
  }

  int fd_ = -1;
  std::thread thread_;
  std::atomic<bool> stop_{false};
};

#if TAP_RECORDER_PIPEWIRE
/// Hears PipeWire's null sink through its monitor, with PipeWire's own
/// client library: each buffer comes in the graph's cycle with the cycle's
/// time (the steady clock's), and a sample is placed where the server's
/// account of the playing stream puts it. A monitor shows a cycle's data
/// one cycle later: a stream of PipeWire's own playing into the sink,
/// timed by its own account (the cycle's time and its delay, none queued),
/// was shown there exactly one cycle later in every cycle (5.333 ms at
/// 256 frames), as JACK's monitor ports show theirs. The cycle's time is
/// the server's own, to the microsecond.
class PipeWireListener : public HeardClicks {
 public:
  /// `server` as the program is told it: "unix:DIR/pulse/native", where
  /// PipeWire's own socket is DIR/pipewire-0.
  explicit PipeWireListener(const std::string& server) : HeardClicks(0.1) {
    pw_init(nullptr, nullptr);
    std::string dir = server.substr(5, server.size() - 5 - std::string("/pulse/native").size());
    loop_ = pw_thread_loop_new("listener", nullptr);
    pw_properties* properties = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture",
                                                  PW_KEY_STREAM_CAPTURE_SINK, "true", PW_KEY_TARGET_OBJECT, "tap",
                                                  PW_KEY_REMOTE_NAME, (dir + "/pipewire-0").c_str(), nullptr);
    events_.version = PW_VERSION_STREAM_EVENTS;
    events_.process = [](void* self) { static_cast<PipeWireListener*>(self)->process(); };
    stream_ = pw_stream_new_simple(pw_thread_loop_get_loop(loop_), "listener", properties, &events_, this);
    std::uint8_t pod[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(pod, sizeof pod);
    spa_audio_info_raw format{};
    format.format = SPA_AUDIO_FORMAT_F32;
    format.rate = RATE;
    format.channels = 1;
    const spa_pod* params[] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &format)};
    auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                              PW_STREAM_FLAG_RT_PROCESS);
    connected_ = stream_ != nullptr &&
                 pw_stream_connect(stream_, PW_DIRECTION_INPUT, PW_ID_ANY, flags, params, 1) == 0 &&
                 pw_thread_loop_start(loop_) == 0;
    // Connected once the first cycle came.
    for (int i = 0; connected_ && i < 2000 && !cycling_.load(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    connected_ = connected_ && cycling_.load();
  }
  ~PipeWireListener() {
    pw_thread_loop_stop(loop_);
    if (stream_ != nullptr) pw_stream_destroy(stream_);
    pw_thread_loop_destroy(loop_);
  }
  PipeWireListener(const PipeWireListener&) = delete;
  PipeWireListener& operator=(const PipeWireListener&) = delete;

  bool connected() const { return connected_; }
  /// The null sink plays on the steady clock: its cycles are timed by it.
  double ms_since_first_heard() const { return steady_ms() - heard_ms(0); }

 private:
  void process() {
    pw_buffer* buffer = pw_stream_dequeue_buffer(stream_);
    if (buffer == nullptr) return;
    pw_time time{};
    pw_stream_get_time_n(stream_, &time, sizeof time);
    const spa_data& data = buffer->buffer->datas[0];
    const auto* samples = static_cast<const float*>(data.data);
    std::uint32_t frames = data.chunk->size / sizeof(float);
    // The first of these frames was played a cycle of this length ago.
    double first_ms = static_cast<double>(time.now) * 1e-6 - static_cast<double>(frames) * 1000 / RATE;
    if (time.rate.denom > 0) first_ms -= static_cast<double>(time.delay) * time.rate.num * 1000 / time.rate.denom;
    for (std::uint32_t k = 0; samples != nullptr && k < frames; ++k) {
      std::int64_t frame = captured_ + k;
      if (!starts_click(frame, samples[k])) continue;
      if (!note(frame, first_ms + static_cast<double>(k) * 1000 / RATE)) break;
    }
    captured_ += frames;
    pw_stream_queue_buffer(stream_, buffer);
    cycling_.store(true);
  }

  pw_thread_loop* loop_ = nullptr;
  pw_stream* stream_ = nullptr;
  pw_stream_events events_{};
  std::atomic<bool> cycling_{false};
  bool connected_ = false;
  std::int64_t captured_ = 0;
};
#endif

}  // namespace tap::testing
