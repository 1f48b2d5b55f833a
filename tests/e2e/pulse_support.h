#pragma once

// A PulseAudio server and a PipeWire one of the tests' own (a null sink, no
// sound card) and a listener on what the sink played, of the same shape as
// the JACK ones.

#include <pulse/pulseaudio.h>
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

}  // namespace tap::testing
