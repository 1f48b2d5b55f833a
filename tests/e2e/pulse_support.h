#pragma once

// A PulseAudio server and a PipeWire one of the tests' own (a null sink, no
// sound card) and a listener on what the sink played, of the same shape as
// the JACK ones.

#include <pulse/pulseaudio.h>
#if TAP_RECORDER_PIPEWIRE
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#endif
#include <signal.h>
#include <sys/wait.h>
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

/// PulseAudio: its own runtime directory and socket, a null sink at the
/// song's rate, nothing loaded from the system's configuration.
class PulseServer : public ServerProcess {
 public:
  PulseServer() {
    dir_ = server_dir("pulse", ++made_);
    name_ = "unix:" + (dir_ / "native").string();
    start([this] {
      setenv("HOME", dir_.c_str(), 1);
      setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
      setenv("PULSE_RUNTIME_PATH", (dir_ / "run").c_str(), 1);
      std::string native = "module-native-protocol-unix auth-anonymous=1 socket=" + (dir_ / "native").string();
      execlp("pulseaudio", "pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disable-shm=yes",
             "--use-pid-file=no", "-L", native.c_str(), "-L",
             "module-null-sink sink_name=tap rate=48000 sink_properties=device.description=Null",
             static_cast<char*>(nullptr));
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

/// Hears the null sink through its monitor and notes, on the steady clock,
/// when each click's first sample was played: the server's own account,
/// the recording stream's time (what the monitor had taken, with the
/// source's latency, less what the sink still held) against the age of the
/// account, whose own error the clock check allows 1 ms for. The recording
/// asks for 40 ms fragments, which the sink's latency is not bound by;
/// its overflows (the listener fell behind) count as missed cycles.
class PulseListener : public HeardClicks {
 public:
  explicit PulseListener(const std::string& server) : HeardClicks(1.0), loop_(pa_threaded_mainloop_new()) {
    pa_threaded_mainloop_start(loop_);
    pa_threaded_mainloop_lock(loop_);
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "listener");
    if (pa_context_connect(context_, server.c_str(), PA_CONTEXT_NOAUTOSPAWN, nullptr) == 0 &&
        wait([this] { return pa_context_get_state(context_) == PA_CONTEXT_READY; })) {
      pa_sample_spec format{PA_SAMPLE_FLOAT32NE, RATE, 1};
      stream_ = pa_stream_new(context_, "listener", &format, nullptr);
      pa_stream_set_read_callback(
          stream_, [](pa_stream*, std::size_t, void* self) { static_cast<PulseListener*>(self)->read(); }, this);
      pa_stream_set_overflow_callback(
          stream_, [](pa_stream*, void* self) { ++static_cast<PulseListener*>(self)->xruns_; }, this);
      pa_buffer_attr attributes{};
      attributes.maxlength = static_cast<std::uint32_t>(-1);
      attributes.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(40000, &format));
      auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_ADJUST_LATENCY);
      if (pa_stream_connect_record(stream_, "tap.monitor", &attributes, flags) == 0)
        connected_ = wait([this] { return pa_stream_get_state(stream_) == PA_STREAM_READY; });
    }
    pa_threaded_mainloop_unlock(loop_);
  }
  ~PulseListener() {
    pa_threaded_mainloop_stop(loop_);
    if (update_ != nullptr) pa_operation_unref(update_);
    if (stream_ != nullptr) {
      pa_stream_disconnect(stream_);
      pa_stream_unref(stream_);
    }
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    pa_threaded_mainloop_free(loop_);
  }
  PulseListener(const PulseListener&) = delete;
  PulseListener& operator=(const PulseListener&) = delete;

  bool connected() const { return connected_; }
  /// How long the first click has been heard now, by the server's account
  /// of the monitor's time.
  double ms_since_first_heard() {
    double now = 0;
    pa_threaded_mainloop_lock(loop_);
    heard_now(now);
    pa_threaded_mainloop_unlock(loop_);
    return (now - static_cast<double>(first_frame()) / RATE) * 1000;
  }

 private:
  template <typename Done>
  bool wait(Done done) {
    for (int i = 0; i < 2000 && !done(); ++i) {
      pa_threaded_mainloop_unlock(loop_);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      pa_threaded_mainloop_lock(loop_);
    }
    return done();
  }
  // The monitor's time now, seconds of its frames: what it has recorded
  // and the source still holds, less what the sink still holds, carried
  // by the account's age. False before the first account.
  bool heard_now(double& seconds) {
    const pa_timing_info* info = pa_stream_get_timing_info(stream_);
    if (info == nullptr || info->write_index_corrupt) return false;
    double age = static_cast<double>(pa_timeval_age(&info->timestamp)) * 1e-6;
    seconds = static_cast<double>(info->write_index) / (RATE * sizeof(float)) +
              (static_cast<double>(info->source_usec) + static_cast<double>(info->transport_usec) -
               static_cast<double>(info->sink_usec)) *
                  1e-6 +
              age;
    return true;
  }
  // The server's account is asked for anew with every fragment: its own
  // updates come a tenth of a second apart, and the first after a stream
  // starts on the sink comes later still, while the sink's latency settles.
  void read() {
    if (update_ == nullptr || pa_operation_get_state(update_) != PA_OPERATION_RUNNING) {
      if (update_ != nullptr) pa_operation_unref(update_);
      update_ = pa_stream_update_timing_info(stream_, nullptr, nullptr);
    }
    const void* data = nullptr;
    std::size_t bytes = 0;
    while (pa_stream_readable_size(stream_) > 0 && pa_stream_peek(stream_, &data, &bytes) == 0 && bytes > 0) {
      std::size_t frames = bytes / sizeof(float);
      double now = 0;
      bool timed = heard_now(now);
      double steady = steady_ms();
      for (std::size_t k = 0; data != nullptr && k < frames; ++k) {
        std::int64_t frame = recorded_ + static_cast<std::int64_t>(k);
        if (!starts_click(frame, static_cast<const float*>(data)[k])) continue;
        if (!timed || !note(frame, steady - (now - static_cast<double>(frame) / RATE) * 1000)) break;
      }
      recorded_ += static_cast<std::int64_t>(frames);
      pa_stream_drop(stream_);
    }
  }

  pa_threaded_mainloop* loop_;
  pa_context* context_ = nullptr;
  pa_stream* stream_ = nullptr;
  pa_operation* update_ = nullptr;
  bool connected_ = false;
  std::int64_t recorded_ = 0;
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
