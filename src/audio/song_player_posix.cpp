// The song on POSIX: a PortAudio stream on the output --device names, or a
// running JACK server's, or PortAudio's default where no PulseAudio server
// answers (pulse_output.cpp plays through one that does).

#include <dlfcn.h>
#include <portaudio.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "audio/pulse_output.h"
#include "audio/song_clock.h"

namespace tap {
namespace {

// The JACK client's name, where PortAudio was built with JACK: looked up
// at run time, since a PortAudio built without it has no such function
// (and no header for it).
PaError initialize_portaudio() {
  using SetClientName = PaError (*)(const char*);
  if (auto set_name = reinterpret_cast<SetClientName>(dlsym(RTLD_DEFAULT, "PaJack_SetClientName")))
    set_name("tap-recorder");
  return Pa_Initialize();
}

void device_label(PaDeviceIndex device, char* out, std::size_t size) {
  const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
  std::snprintf(out, size, "%s: %s", Pa_GetHostApiInfo(info->hostApi)->name, info->name);
}

// PortAudio finds JACK's devices where a server runs.
PaDeviceIndex jack_device() {
  for (PaDeviceIndex i = 0; i < Pa_GetDeviceCount(); ++i) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
    if (info->maxOutputChannels > 0 && Pa_GetHostApiInfo(info->hostApi)->type == paJACK) return i;
  }
  return paNoDevice;
}

// With a JACK server running, its own host API is the one that tells when a
// buffer is heard; ALSA's device that leads into JACK reports it early.
PaDeviceIndex default_output() {
  PaDeviceIndex jack = jack_device();
  return jack != paNoDevice ? jack : Pa_GetDefaultOutputDevice();
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

class PortAudioOutput final : public AudioOutput {
 public:
  PortAudioOutput() : initialized_(initialize_portaudio()) {}
  ~PortAudioOutput() override { close(); }
  PortAudioOutput(const PortAudioOutput&) = delete;
  PortAudioOutput& operator=(const PortAudioOutput&) = delete;

  bool open(const SongSource& source, const char* device, SongError& error);
  bool jack_running() const { return initialized_ == paNoError && jack_device() != paNoDevice; }
  bool has(const char* device) const { return initialized_ == paNoError && named_output(device) != paNoDevice; }
  int channels() const override { return channels_; }
  double rate() const override { return rate_; }
  bool attach(std::shared_ptr<SongPlayback> playback) override {
    playback_ = std::move(playback);
    return true;
  }
  bool start() override { return Pa_StartStream(stream_) == paNoError; }
  // A stream its host API has given up on (the JACK server gone) has no
  // clock to read.
  bool stream_time(double& seconds) override {
    if (Pa_IsStreamActive(stream_) != 1) return false;
    seconds = Pa_GetStreamTime(stream_);
    return seconds != 0;
  }
  void close() override {
    if (stream_ != nullptr) {
      Pa_AbortStream(stream_);
      Pa_CloseStream(stream_);
      stream_ = nullptr;
    }
    if (initialized_ == paNoError) Pa_Terminate();
    initialized_ = paNotInitialized;
  }

 private:
  static int on_output(const void*, void* output, unsigned long frames, const PaStreamCallbackTimeInfo* time,
                       PaStreamCallbackFlags, void* self) {
    auto& out = *static_cast<PortAudioOutput*>(self);
    // A host API that keeps no account of it gives 0: then the buffer is
    // heard one output latency after now.
    double dac_time = time->outputBufferDacTime != 0 ? time->outputBufferDacTime : time->currentTime + out.latency_;
    out.playback_->fill(static_cast<float*>(output), frames, dac_time);
    return paContinue;
  }

  PaError initialized_;
  PaStream* stream_ = nullptr;
  int channels_ = 2;
  double rate_ = 0;
  double latency_ = 0;
  std::shared_ptr<SongPlayback> playback_;
};

bool PortAudioOutput::open(const SongSource& source, const char* device_name, SongError& error) {
  if (initialized_ != paNoError) return no_output_found(error, Pa_GetErrorText(initialized_));
  PaDeviceIndex device = device_name != nullptr ? named_output(device_name) : default_output();
  if (device == paNoDevice)
    return device_name != nullptr ? no_output_named(error, device_name) : no_output_found(error);

  const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
  channels_ = info->maxOutputChannels >= 2 ? 2 : 1;
  PaStreamParameters parameters{device, channels_, paFloat32, info->defaultLowOutputLatency, nullptr};
  // The song's own rate where the output takes it; else the output's, the
  // feeder resampling.
  rate_ = source.sample_rate();
  if (Pa_IsFormatSupported(nullptr, &parameters, rate_) != paFormatIsSupported) rate_ = info->defaultSampleRate;
  PaError opened =
      Pa_OpenStream(&stream_, nullptr, &parameters, rate_, paFramesPerBufferUnspecified, paNoFlag, on_output, this);
  if (opened != paNoError) {
    stream_ = nullptr;
    char label[256], what[300];
    device_label(device, label, sizeof label);
    std::snprintf(what, sizeof what, "cannot open the audio output '%.200s'", label);
    return song_error(error, EXIT_NO_AUDIO_OUTPUT, what, Pa_GetErrorText(opened));
  }
  latency_ = Pa_GetStreamInfo(stream_)->outputLatency;
  return true;
}

}  // namespace

// A running JACK server first, then the desktop's sound server (PulseAudio,
// or PipeWire's), then ALSA directly: each timed by the clock of what
// plays the song.
std::unique_ptr<AudioOutput> open_audio_output(const SongSource& source, const char* device, SongError& error) {
  auto output = std::make_unique<PortAudioOutput>();
  bool portaudio_has_it = device != nullptr ? output->has(device) : output->jack_running();
  if (!portaudio_has_it) {
    PulseAnswer answer = PulseAnswer::no_server;
    std::unique_ptr<AudioOutput> pulse = open_pulse_output(source, device, answer, error);
    if (pulse != nullptr || answer == PulseAnswer::refused) return pulse;
    if (device != nullptr) {
      no_output_named(error, device);
      return nullptr;
    }
  }
  if (!output->open(source, device, error)) return nullptr;
  return output;
}

void find_audio_outputs(OutputList& list) {
  PaError initialized = initialize_portaudio();
  bool jack = initialized == paNoError && jack_device() != paNoDevice;
  bool server = find_pulse_outputs(list, !jack);
  if (initialized != paNoError) {
    if (!server) list.failure = Pa_GetErrorText(initialized);
    return;
  }
  PaDeviceIndex chosen = jack || !server ? default_output() : paNoDevice;
  char label[256];
  for (PaDeviceIndex i = 0; i < Pa_GetDeviceCount(); ++i) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
    if (info->maxOutputChannels <= 0) continue;
    device_label(i, label, sizeof label);
    // ALSA's devices that lead into a sound server report when a buffer is
    // heard by their own reckoning, which misses the server's latency.
    bool plugin = Pa_GetHostApiInfo(info->hostApi)->type == paALSA &&
                  (std::strcmp(info->name, "pulse") == 0 || std::strcmp(info->name, "jack") == 0);
    if (!list.add(label, i == chosen, plugin ? "timing by ALSA's plugin, not by the sound server" : nullptr)) break;
  }
  Pa_Terminate();
}

}  // namespace tap
