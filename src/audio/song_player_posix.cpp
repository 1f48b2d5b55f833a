#include <fcntl.h>
#include <pa_jack.h>
#include <portaudio.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include "audio/song_feeder.h"
#include "audio/song_player.h"
#include "audio/song_position.h"

namespace tap {
namespace {

// A callback this late means the output has stopped (a device unplugged,
// the sound server gone).
constexpr double SILENT_OUTPUT_SECONDS = 0.5;
// How long a tap right after the start waits for the output's first report.
constexpr double FIRST_REPORT_SECONDS = 2.0;

double steady_seconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

/// ALSA and JACK write their probing chatter to standard error; it says
/// nothing to the user, whose terminal it would fill.
class QuietStderr {
 public:
  QuietStderr() : saved_(dup(STDERR_FILENO)) {
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
      dup2(null, STDERR_FILENO);
      close(null);
    }
  }
  ~QuietStderr() {
    if (saved_ >= 0) {
      dup2(saved_, STDERR_FILENO);
      close(saved_);
    }
  }
  QuietStderr(const QuietStderr&) = delete;
  QuietStderr& operator=(const QuietStderr&) = delete;

 private:
  int saved_;
};

PaError initialize_portaudio() {
  QuietStderr quiet;
  PaJack_SetClientName("tap-recorder");
  return Pa_Initialize();
}

// Closing a stream whose sound server has died can block for good, so the
// stream is closed on a thread of its own and given a second; a program
// that is ending does not wait longer for it.
constexpr auto TEARDOWN_WAIT = std::chrono::seconds(1);

void close_portaudio(PaStream* stream) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::thread([stream, done] {
    if (stream != nullptr) {
      Pa_AbortStream(stream);
      Pa_CloseStream(stream);
    }
    Pa_Terminate();
    *done = true;
  }).detach();
  auto until = std::chrono::steady_clock::now() + TEARDOWN_WAIT;
  while (!*done && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void device_label(PaDeviceIndex device, char* out, std::size_t size) {
  const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
  std::snprintf(out, size, "%s: %s", Pa_GetHostApiInfo(info->hostApi)->name, info->name);
}

// With a JACK server running, its own host API is the one that tells when a
// buffer is heard; ALSA's device that leads into JACK reports it early.
PaDeviceIndex default_output() {
  for (PaDeviceIndex i = 0; i < Pa_GetDeviceCount(); ++i) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
    if (info->maxOutputChannels > 0 && Pa_GetHostApiInfo(info->hostApi)->type == paJACK) return i;
  }
  return Pa_GetDefaultOutputDevice();
}

PaDeviceIndex named_output(const char* name) {
  char label[256];
  for (PaDeviceIndex i = 0; i < Pa_GetDeviceCount(); ++i) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
    if (info->maxOutputChannels <= 0) continue;
    device_label(i, label, sizeof label);
    if (std::strcmp(label, name) == 0 || std::strcmp(info->name, name) == 0) return i;
  }
  return paNoDevice;
}

class PortAudioSongPlayer final : public TimeSource {
 public:
  PortAudioSongPlayer(std::unique_ptr<SongSource> source, const SongOptions& options)
      : source_(std::move(source)), options_(options) {}

  // The stream goes first: its callback takes from the feeder.
  ~PortAudioSongPlayer() override {
    if (initialized_ == paNoError) close_portaudio(stream_);
  }
  PortAudioSongPlayer(const PortAudioSongPlayer&) = delete;
  PortAudioSongPlayer& operator=(const PortAudioSongPlayer&) = delete;

  bool open(SongError& error);

  std::uint32_t start_capture() override {
    start_steady_ = steady_seconds();
    last_callback_steady_ = start_steady_;
    running_ = Pa_StartStream(stream_) == paNoError;
    if (!running_) lose("the audio output did not start");
    return 0;
  }

  std::uint32_t elapsed_ms() override;

  // The song goes silent at once; the stream itself is closed when the
  // program ends, where a dead sound server cannot hold up the chart.
  void stop_capture() override {
    check_output(steady_seconds());
    feeder_->mute();
    running_ = false;
  }

  const char* take_notice() override {
    check_output(steady_seconds());
    if (!lost_ || told_) return nullptr;
    told_ = true;
    return notice_;
  }

 private:
  static int on_output(const void* input, void* output, unsigned long frames, const PaStreamCallbackTimeInfo* time,
                       PaStreamCallbackFlags flags, void* self);
  // A callback long overdue, or a stream its host API has given up on (the
  // JACK server gone), is an output that stopped.
  void check_output(double now) {
    if (!running_ || lost_) return;
    if (now - last_callback_steady_.load(std::memory_order_relaxed) > SILENT_OUTPUT_SECONDS ||
        Pa_IsStreamActive(stream_) != 1)
      lose("the audio output stopped answering");
  }
  void lose(const char* why) {
    if (lost_) return;
    lost_ = true;
    std::snprintf(notice_, sizeof notice_, "tap-recorder: the song stopped (%s); the taps are still recorded", why);
  }

  std::unique_ptr<SongSource> source_;
  SongOptions options_;
  PaError initialized_ = initialize_portaudio();
  PaStream* stream_ = nullptr;
  int channels_ = 2;
  double output_rate_ = 0;
  double start_seconds_ = 0;
  std::unique_ptr<SongFeeder> feeder_;
  ReportBoard board_;

  // Audio callback.
  std::atomic<double> last_callback_steady_{0};
  double latency_ = 0;

  // Dialogue thread.
  bool running_ = false;
  bool lost_ = false;
  bool told_ = false;
  double start_steady_ = 0;
  char notice_[200] = "";
};

bool PortAudioSongPlayer::open(SongError& error) {
  auto fail = [&error](int code, const char* what, const char* detail) {
    return song_error(error, code, what, detail);
  };
  if (initialized_ != paNoError) return fail(EXIT_NO_AUDIO_OUTPUT, "no audio output", Pa_GetErrorText(initialized_));
  PaDeviceIndex device = paNoDevice;
  if (options_.device != nullptr) {
    device = named_output(options_.device);
    if (device == paNoDevice) {
      char what[200];
      std::snprintf(what, sizeof what, "no audio output named '%.120s' (see --list-devices)", options_.device);
      return fail(EXIT_NO_AUDIO_OUTPUT, what, "");
    }
  } else {
    device = default_output();
    if (device == paNoDevice) return fail(EXIT_NO_AUDIO_OUTPUT, "no audio output", "no output device found");
  }

  if (!seek_to_start(*source_, options_, start_seconds_, error)) return false;

  const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
  channels_ = info->maxOutputChannels >= 2 ? 2 : 1;
  PaStreamParameters parameters{device, channels_, paFloat32, info->defaultLowOutputLatency, nullptr};
  // The song's own rate where the output takes it; else the output's, with
  // the stretcher resampling.
  output_rate_ = source_->sample_rate();
  {
    QuietStderr quiet;
    if (Pa_IsFormatSupported(nullptr, &parameters, output_rate_) != paFormatIsSupported)
      output_rate_ = info->defaultSampleRate;
    PaError opened = Pa_OpenStream(&stream_, nullptr, &parameters, output_rate_, paFramesPerBufferUnspecified, paNoFlag,
                                   on_output, this);
    if (opened != paNoError) {
      stream_ = nullptr;
      char label[256];
      device_label(device, label, sizeof label);
      char what[300];
      std::snprintf(what, sizeof what, "cannot open the audio output '%.200s'", label);
      return fail(EXIT_NO_AUDIO_OUTPUT, what, Pa_GetErrorText(opened));
    }
  }
  latency_ = Pa_GetStreamInfo(stream_)->outputLatency;
  feeder_ = std::make_unique<SongFeeder>(*source_, channels_, output_rate_, options_.rate);
  feeder_->start();
  return true;
}

int PortAudioSongPlayer::on_output(const void*, void* output, unsigned long frames,
                                   const PaStreamCallbackTimeInfo* time, PaStreamCallbackFlags, void* self) {
  auto& player = *static_cast<PortAudioSongPlayer*>(self);
  double steady = steady_seconds();
  OutputReport report;
  // A host API that keeps no account of it gives 0: then the buffer is heard
  // one output latency after now.
  report.dac_time = time->outputBufferDacTime != 0 ? time->outputBufferDacTime : time->currentTime + player.latency_;
  report.clock_minus_steady = time->currentTime - steady;
  // The song frames played before this buffer, whose first is heard then.
  report.frame = player.feeder_->play(static_cast<float*>(output), frames);
  player.board_.publish(report);
  player.last_callback_steady_.store(steady, std::memory_order_relaxed);
  return paContinue;
}

std::uint32_t PortAudioSongPlayer::elapsed_ms() {
  OutputReport reports[ReportBoard::SIZE];
  int count = board_.read(reports);
  double now = steady_seconds();
  // A tap in the first moment after ENTER can come before the output's
  // first report: wait for it, briefly.
  while (count == 0 && running_ && now - start_steady_ < FIRST_REPORT_SECONDS) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    count = board_.read(reports);
    now = steady_seconds();
  }
  if (count == 0) {
    lose("the audio output never played");
    double song_ms = (start_seconds_ + (now - start_steady_) * options_.rate) * 1000.0 - options_.offset_ms;
    return static_cast<std::uint32_t>(static_cast<std::int32_t>(std::trunc(song_ms)));
  }
  check_output(now);
  double stream_time = lost_ ? 0 : Pa_GetStreamTime(stream_);
  // Once the output is gone its clock is too: carry on from its last report
  // on the steady clock.
  if (stream_time == 0) stream_time = now + reports[count - 1].clock_minus_steady;
  return song_ms_at(stream_time, reports, count, output_rate_, start_seconds_, options_.rate / output_rate_,
                    options_.offset_ms);
}

}  // namespace

bool song_support_built() { return true; }

std::unique_ptr<TimeSource> open_song_player(std::unique_ptr<SongSource> source, const SongOptions& options,
                                             SongError& error) {
  auto player = std::make_unique<PortAudioSongPlayer>(std::move(source), options);
  if (!player->open(error)) return nullptr;
  return player;
}

int list_output_devices(Console& console) {
  PaError initialized = initialize_portaudio();
  if (initialized != paNoError) {
    char line[200];
    std::snprintf(line, sizeof line, "tap-recorder: no audio output: %s", Pa_GetErrorText(initialized));
    console.error_line(line);
    return EXIT_NO_AUDIO_OUTPUT;
  }
  PaDeviceIndex chosen = default_output();
  int listed = 0;
  char label[256];
  for (PaDeviceIndex i = 0; i < Pa_GetDeviceCount(); ++i) {
    if (Pa_GetDeviceInfo(i)->maxOutputChannels <= 0) continue;
    device_label(i, label, sizeof label);
    console.write(label);
    if (i == chosen) console.write(" (default)");
    console.end_line();
    ++listed;
  }
  Pa_Terminate();
  if (listed == 0) {
    console.error_line("tap-recorder: no audio output: no output device found");
    return EXIT_NO_AUDIO_OUTPUT;
  }
  return 0;
}

}  // namespace tap
