// The song through PulseAudio's asynchronous API, on a main loop thread of
// libpulse's own. The stream starts corked with its first buffers written,
// so that nothing plays before the start ENTER; from then on the server's
// own account of the stream (its playback time, interpolated between its
// timing updates) is the stream clock, and each buffer is stamped with the
// stream time its first frame is played at: how many frames were written
// before it. Both count the same bytes, so the sink's latency, the
// server's prebuffering and a late start are all in them. PipeWire's
// server answers how far its last cycle read, as of the moment it answers:
// there the stream asks at moments spread over the cycle and keeps the
// earliest account of the last half second (EarliestAccount).

#include "audio/pulse_output.h"

#include <pulse/pulseaudio.h>
#include <pulse/rtclock.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <utility>

#include "audio/song_position.h"

namespace tap {
namespace {

// How long the server gets to answer a step of the set-up.
constexpr double ANSWER_SECONDS = 2.0;
// What the stream keeps queued at the server: a desktop's usual latency.
constexpr pa_usec_t TARGET_USEC = 40000;

/// The server's stream time heard, and the steady time it was true at (0
/// while the stream does not play), for the dialogue's thread to read
/// without the main loop's lock: the loop thread writes it.
class StreamTime {
 public:
  void store(double stream, double steady) {
    sequence_.fetch_add(1, std::memory_order_relaxed);
    stream_.store(stream, std::memory_order_release);
    steady_.store(steady, std::memory_order_release);
    sequence_.fetch_add(1, std::memory_order_release);
  }
  void load(double& stream, double& steady) const {
    for (;;) {
      std::uint64_t before = sequence_.load(std::memory_order_acquire);
      if (before % 2 != 0) continue;
      stream = stream_.load(std::memory_order_acquire);
      steady = steady_.load(std::memory_order_acquire);
      if (sequence_.load(std::memory_order_relaxed) == before) return;
    }
  }

 private:
  std::atomic<double> stream_{0}, steady_{0};
  std::atomic<std::uint64_t> sequence_{0};
};

/// A connection to the server, its main loop running.
class PulseServer {
 public:
  PulseServer() : loop_(pa_threaded_mainloop_new()) {}
  ~PulseServer() {
    if (loop_ == nullptr) return;
    pa_threaded_mainloop_stop(loop_);
    if (context_ != nullptr) {
      pa_context_disconnect(context_);
      pa_context_unref(context_);
    }
    pa_threaded_mainloop_free(loop_);
  }
  PulseServer(const PulseServer&) = delete;
  PulseServer& operator=(const PulseServer&) = delete;

  // No server is started for the program: one must be running.
  bool connect() {
    if (loop_ == nullptr || pa_threaded_mainloop_start(loop_) < 0) return false;
    Lock lock(*this);
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "tap-recorder");
    if (context_ == nullptr || pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return false;
    wait([this] { return !PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)) || ready(); });
    return ready();
  }
  bool ready() const { return pa_context_get_state(context_) == PA_CONTEXT_READY; }

  /// Waits with the lock held, letting the loop run, until `done` or the
  /// server took too long; false then.
  template <typename Done>
  bool wait(Done done) {
    auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(ANSWER_SECONDS);
    while (!done()) {
      if (std::chrono::steady_clock::now() > until) return false;
      pa_threaded_mainloop_unlock(loop_);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      pa_threaded_mainloop_lock(loop_);
    }
    return true;
  }
  /// Runs `operation` to its end; false when it did not end in time.
  bool finish(pa_operation* operation) {
    if (operation == nullptr) return false;
    bool done = wait([operation] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; });
    pa_operation_unref(operation);
    return done;
  }

  struct Lock {
    explicit Lock(PulseServer& server) : loop(server.loop_) { pa_threaded_mainloop_lock(loop); }
    ~Lock() { pa_threaded_mainloop_unlock(loop); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    pa_threaded_mainloop* loop;
  };

  pa_context* context() { return context_; }
  pa_mainloop_api* api() { return pa_threaded_mainloop_get_api(loop_); }
  /// Whether the server is PipeWire's (its name says so).
  bool is_pipewire() {
    bool pipewire = false;
    auto on_server = [](pa_context*, const pa_server_info* info, void* found) {
      if (info != nullptr && info->server_name != nullptr && std::strstr(info->server_name, "PipeWire") != nullptr)
        *static_cast<bool*>(found) = true;
    };
    finish(pa_context_get_server_info(context_, on_server, &pipewire));
    return pipewire;
  }

 private:
  pa_threaded_mainloop* loop_;
  pa_context* context_ = nullptr;
};

/// The server's sinks, by name and description, and its default's name.
struct Sinks {
  char default_name[256] = "";
  OutputList names, descriptions;

  bool find(PulseServer& server) {
    auto on_server = [](pa_context*, const pa_server_info* info, void* self) {
      if (info != nullptr && info->default_sink_name != nullptr)
        std::snprintf(static_cast<Sinks*>(self)->default_name, sizeof default_name, "%s", info->default_sink_name);
    };
    auto on_sink = [](pa_context*, const pa_sink_info* info, int end, void* self) {
      auto& sinks = *static_cast<Sinks*>(self);
      if (end != 0 || info == nullptr) return;
      sinks.names.add(info->name, false);
      sinks.descriptions.add(info->description != nullptr ? info->description : info->name, false);
    };
    return server.finish(pa_context_get_server_info(server.context(), on_server, this)) &&
           server.finish(pa_context_get_sink_info_list(server.context(), on_sink, this));
  }
  // The sink `device` names: "PulseAudio: DESCRIPTION", the description or
  // the name; -1 for none.
  int named(const char* device) const {
    const char* bare = std::strncmp(device, "PulseAudio: ", 12) == 0 ? device + 12 : device;
    for (int i = 0; i < names.count; ++i) {
      if (std::strcmp(descriptions.names[i], bare) == 0 || std::strcmp(names.names[i], device) == 0) return i;
    }
    return -1;
  }
};

class PulseOutput final : public AudioOutput {
 public:
  ~PulseOutput() override { close(); }

  bool connect() { return server_.connect(); }
  PulseServer& server() { return server_; }
  bool open(const SongSource& source, const char* sink, SongError& error);
  int channels() const override { return channels_; }
  double rate() const override { return rate_; }
  bool attach(std::shared_ptr<SongPlayback> playback) override {
    PulseServer::Lock lock(server_);
    playback_ = std::move(playback);
    std::size_t room = pa_stream_writable_size(stream_);
    if (room == static_cast<std::size_t>(-1)) return false;
    write(room);
    return !failed_;
  }
  // The accounts are asked for only from here: a stream waiting corked at
  // the first prompt wakes nobody.
  bool start() override {
    PulseServer::Lock lock(server_);
    if (by_cycles_) {
      asking_ = pa_context_rttime_new(
          server_.context(), pa_rtclock_now() + 1500,
          [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
            static_cast<PulseOutput*>(self)->ask_time();
          },
          this);
    }
    return server_.finish(pa_stream_cork(stream_, 0, nullptr, nullptr)) && !failed_;
  }
  // The server's latest account, carried to now on the steady clock while
  // the stream plays.
  bool stream_time(double& seconds) override {
    if (failed_.load(std::memory_order_acquire)) return false;
    double stream = 0, playing_since = 0;
    time_.load(stream, playing_since);
    seconds = stream + (playing_since > 0 ? steady_seconds() - playing_since : 0);
    return true;
  }
  void close() override {
    if (stream_ == nullptr) return;
    PulseServer::Lock lock(server_);
    if (asking_ != nullptr) server_.api()->time_free(asking_);
    asking_ = nullptr;
    if (update_ != nullptr) pa_operation_unref(update_);
    update_ = nullptr;
    // The server's answers still on their way come after the stream is
    // let go of: none may call back into it.
    pa_stream_set_write_callback(stream_, nullptr, nullptr);
    pa_stream_set_latency_update_callback(stream_, nullptr, nullptr);
    pa_stream_set_underflow_callback(stream_, nullptr, nullptr);
    pa_stream_set_suspended_callback(stream_, nullptr, nullptr);
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
  }

 private:
  // Loop thread, its lock held.
  void write(std::size_t bytes);
  void note_time();
  void ask_time();
  void fail() { failed_.store(true, std::memory_order_release); }

  PulseServer server_;
  pa_stream* stream_ = nullptr;
  int channels_ = 2;
  double rate_ = 0;
  std::shared_ptr<SongPlayback> playback_;
  std::int64_t written_ = 0;  // frames
  StreamTime time_;
  std::atomic<bool> failed_{false};
  // PipeWire's server: accounts asked for at spread moments, the earliest kept.
  bool by_cycles_ = false;
  EarliestAccount earliest_;
  pa_time_event* asking_ = nullptr;
  pa_operation* update_ = nullptr;
  std::uint32_t spread_ = 1;
};

// The server's latest timing account: how far it had read into the stream
// when the account was made, carried by the time it took to come here,
// less what the sink still holds: the stream time heard then. It moves on
// from there only while the stream plays. (libpulse's own interpolation
// runs while the stream is still corked, and then holds its reading until
// the stream catches up with it.)
void PulseOutput::note_time() {
  const pa_timing_info* info = pa_stream_get_timing_info(stream_);
  if (info == nullptr || info->read_index_corrupt) return;
  double age = static_cast<double>(pa_timeval_age(&info->timestamp)) * 1e-6;
  double read = static_cast<double>(info->read_index) / (rate_ * sizeof(float) * channels_);
  double heard = read + (static_cast<double>(info->transport_usec) - static_cast<double>(info->sink_usec)) * 1e-6;
  double now = steady_seconds();
  if (info->playing == 0) {
    earliest_.clear();
    time_.store(heard, 0);
  } else if (by_cycles_) {
    earliest_.add(heard, now - age);
    earliest_.stream_at(now, heard);
    time_.store(heard, now);
  } else {
    time_.store(heard, now - age);
  }
}

// Every 1.5 to 4.5 ms, at no fixed step, so that the accounts fall all over
// a cycle of any length.
void PulseOutput::ask_time() {
  if (stream_ == nullptr) return;
  if (update_ == nullptr || pa_operation_get_state(update_) != PA_OPERATION_RUNNING) {
    if (update_ != nullptr) pa_operation_unref(update_);
    update_ = pa_stream_update_timing_info(stream_, nullptr, nullptr);
  }
  spread_ = spread_ * 1664525u + 1013904223u;
  pa_context_rttime_restart(server_.context(), asking_, pa_rtclock_now() + 1500 + (spread_ >> 8) % 3000);
}

void PulseOutput::write(std::size_t bytes) {
  if (playback_ == nullptr || stream_ == nullptr) return;
  std::size_t frame_bytes = sizeof(float) * static_cast<std::size_t>(channels_);
  while (bytes >= frame_bytes) {
    void* data = nullptr;
    std::size_t size = bytes;
    if (pa_stream_begin_write(stream_, &data, &size) < 0 || data == nullptr) {
      fail();
      return;
    }
    std::size_t frames = size / frame_bytes;
    if (frames == 0) {
      pa_stream_cancel_write(stream_);
      return;
    }
    playback_->fill(static_cast<float*>(data), frames, static_cast<double>(written_) / rate_);
    if (pa_stream_write(stream_, data, frames * frame_bytes, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
      fail();
      return;
    }
    written_ += static_cast<std::int64_t>(frames);
    bytes -= frames * frame_bytes;
  }
  note_time();
}

bool PulseOutput::open(const SongSource& source, const char* sink, SongError& error) {
  channels_ = source.channels() >= 2 ? 2 : 1;
  rate_ = source.sample_rate();
  pa_sample_spec format{PA_SAMPLE_FLOAT32NE, static_cast<std::uint32_t>(source.sample_rate()),
                        static_cast<std::uint8_t>(channels_)};
  PulseServer::Lock lock(server_);
  stream_ = pa_stream_new(server_.context(), "song", &format, nullptr);
  if (stream_ == nullptr) return song_error(error, EXIT_NO_AUDIO_OUTPUT, "cannot open the audio output", "PulseAudio");
  pa_stream_set_write_callback(
      stream_, [](pa_stream*, std::size_t bytes, void* self) { static_cast<PulseOutput*>(self)->write(bytes); }, this);
  pa_stream_set_latency_update_callback(
      stream_, [](pa_stream*, void* self) { static_cast<PulseOutput*>(self)->note_time(); }, this);
  // A stream that ran dry, a sink put to sleep, a server gone: the song
  // stopped, whatever the server does next.
  pa_stream_set_underflow_callback(
      stream_, [](pa_stream*, void* self) { static_cast<PulseOutput*>(self)->fail(); }, this);
  pa_stream_set_suspended_callback(
      stream_,
      [](pa_stream* stream, void* self) {
        if (pa_stream_is_suspended(stream) == 1) static_cast<PulseOutput*>(self)->fail();
      },
      this);
  pa_stream_set_state_callback(
      stream_,
      [](pa_stream* stream, void* self) {
        if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) static_cast<PulseOutput*>(self)->fail();
      },
      this);
  pa_buffer_attr attributes{};
  attributes.maxlength = static_cast<std::uint32_t>(-1);
  attributes.tlength = static_cast<std::uint32_t>(pa_usec_to_bytes(TARGET_USEC, &format));
  attributes.prebuf = static_cast<std::uint32_t>(-1);
  attributes.minreq = static_cast<std::uint32_t>(-1);
  attributes.fragsize = static_cast<std::uint32_t>(-1);
  auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_INTERPOLATE_TIMING |
                                              PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_ADJUST_LATENCY);
  bool connected = pa_stream_connect_playback(stream_, sink, &attributes, flags, nullptr, nullptr) == 0 &&
                   server_.wait([this] {
                     pa_stream_state_t state = pa_stream_get_state(stream_);
                     return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
                   }) &&
                   pa_stream_get_state(stream_) == PA_STREAM_READY;
  if (!connected) {
    return song_error(error, EXIT_NO_AUDIO_OUTPUT, "cannot open the audio output 'PulseAudio'",
                      pa_strerror(pa_context_errno(server_.context())));
  }
  by_cycles_ = server_.is_pipewire();
  return true;
}

}  // namespace

std::unique_ptr<AudioOutput> open_pulse_output(const SongSource& source, const char* device, PulseAnswer& answer,
                                               SongError& error) {
  auto output = std::make_unique<PulseOutput>();
  answer = PulseAnswer::no_server;
  if (!output->connect()) return nullptr;
  char sink[256] = "";
  if (device != nullptr) {
    Sinks sinks;
    {
      PulseServer::Lock lock(output->server());
      sinks.find(output->server());
    }
    int found = sinks.named(device);
    answer = PulseAnswer::no_such_sink;
    if (found < 0) return nullptr;
    std::snprintf(sink, sizeof sink, "%s", sinks.names.names[found]);
  }
  answer = PulseAnswer::refused;
  if (!output->open(source, sink[0] != '\0' ? sink : nullptr, error)) return nullptr;
  answer = PulseAnswer::opened;
  return output;
}

bool find_pulse_outputs(OutputList& list, bool mark_default) {
  PulseServer server;
  if (!server.connect()) return false;
  Sinks sinks;
  {
    PulseServer::Lock lock(server);
    if (!sinks.find(server)) return false;
  }
  char label[300];
  for (int i = 0; i < sinks.names.count; ++i) {
    std::snprintf(label, sizeof label, "PulseAudio: %s", sinks.descriptions.names[i]);
    list.add(label, mark_default && std::strcmp(sinks.names.names[i], sinks.default_name) == 0);
  }
  return true;
}

}  // namespace tap
