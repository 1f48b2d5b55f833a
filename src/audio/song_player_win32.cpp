// The song on Windows: WASAPI in shared mode on the default render endpoint
// or the one --device names, refilled on a thread of its own. Each tap reads
// the device clock (IAudioClock) with its performance-counter time: the
// device's own account of the frame at the speakers, which under Wine was
// measured 200 ppm away from the counter, 36 ms over a 3-minute song.

#include <windows.h>
// clang-format off
#include <audioclient.h>
#include <avrt.h>
#include <mmdeviceapi.h>
#include <mmreg.h>
#include <ks.h>
#include <ksmedia.h>
// clang-format on

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "audio/com_win32.h"
#include "audio/devices_win32.h"
#include "audio/song_clock.h"

namespace tap {
namespace {

// The buffer the engine is asked for; shared mode refills it every period.
constexpr REFERENCE_TIME BUFFER_100NS = 400000;  // 40 ms
// How long the render thread waits for the engine before it looks again
// whether it is to stop.
constexpr DWORD RENDER_WAIT_MS = 500;

// KSDATAFORMAT_SUBTYPE_IEEE_FLOAT.
const GUID FLOAT_SUBTYPE = {0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

// The performance counter in seconds, as the device clock gives its
// readings' times (in 100 ns units).
double counter_seconds() {
  static const double frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart);
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / frequency;
}

// "cannot open the audio output: error 0x88890008"; returns false.
bool cannot_open(SongError& error, HRESULT why) {
  char detail[64];
  std::snprintf(detail, sizeof detail, "error 0x%08lx", static_cast<unsigned long>(why));
  return song_error(error, EXIT_NO_AUDIO_OUTPUT, "cannot open the audio output", detail);
}

WAVEFORMATEXTENSIBLE float_format(int channels, DWORD rate) {
  WAVEFORMATEXTENSIBLE format{};
  format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  format.Format.nChannels = static_cast<WORD>(channels);
  format.Format.nSamplesPerSec = rate;
  format.Format.wBitsPerSample = 32;
  format.Format.nBlockAlign = static_cast<WORD>(channels * 4);
  format.Format.nAvgBytesPerSec = rate * format.Format.nBlockAlign;
  format.Format.cbSize = sizeof format - sizeof format.Format;
  format.Samples.wValidBitsPerSample = 32;
  format.dwChannelMask = channels == 1 ? SPEAKER_FRONT_CENTER : SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;
  format.SubFormat = FLOAT_SUBTYPE;
  return format;
}

bool is_float(const WAVEFORMATEX& format) {
  if (format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT) return format.wBitsPerSample == 32;
  if (format.wFormatTag != WAVE_FORMAT_EXTENSIBLE) return false;
  const auto& extensible = reinterpret_cast<const WAVEFORMATEXTENSIBLE&>(format);
  return format.wBitsPerSample == 32 && IsEqualGUID(extensible.SubFormat, FLOAT_SUBTYPE);
}

class WasapiOutput final : public AudioOutput {
 public:
  WasapiOutput() = default;
  ~WasapiOutput() override { close(); }
  WasapiOutput(const WasapiOutput&) = delete;
  WasapiOutput& operator=(const WasapiOutput&) = delete;

  bool open(const SongSource& source, const char* device, SongError& error);
  int channels() const override { return channels_; }
  double rate() const override { return output_rate_; }
  // The first buffer is full before the start, so the song starts at once.
  bool attach(std::shared_ptr<SongPlayback> playback) override {
    playback_ = std::move(playback);
    return refill();
  }
  bool start() override {
    if (FAILED(client_->Start())) return false;
    renderer_ = std::thread([this] { render(); });
    return true;
  }
  // The device clock's reading, carried to now on the performance counter.
  bool stream_time(double& seconds) override {
    UINT64 position = 0, when = 0;
    if (FAILED(clock_->GetPosition(&position, &when))) return false;
    seconds = static_cast<double>(position) / clock_frequency_ + (counter_seconds() - static_cast<double>(when) * 1e-7);
    return true;
  }
  void close() override;

 private:
  bool initialize(const SongSource& source, SongError& error);
  bool refill();
  void render();

  IMMDevice* device_ = nullptr;
  IAudioClient* client_ = nullptr;
  IAudioRenderClient* render_ = nullptr;
  IAudioClock* clock_ = nullptr;
  HANDLE wake_ = nullptr;
  UINT32 buffer_frames_ = 0;
  int channels_ = 2;         // the song's channels as fed: one or two
  int device_channels_ = 2;  // the stream's: more where the engine's own format is used
  double output_rate_ = 0;
  double clock_frequency_ = 0;
  std::shared_ptr<SongPlayback> playback_;
  std::thread renderer_;
  std::atomic<bool> stop_{false};

  // Render thread (and attach, before it starts).
  std::int64_t written_ = 0;  // stream frames handed to the engine
  std::vector<float> scratch_;
};

void WasapiOutput::close() {
  ComScope com;
  stop_ = true;
  if (wake_ != nullptr) SetEvent(wake_);
  if (renderer_.joinable()) renderer_.join();
  if (client_ != nullptr) client_->Stop();
  release(clock_);
  release(render_);
  release(client_);
  release(device_);
  if (wake_ != nullptr) CloseHandle(wake_);
  wake_ = nullptr;
}

// The song's own rate and channels, the engine converting to its mix format
// where it can; else the mix format itself, the feeder resampling.
bool WasapiOutput::initialize(const SongSource& source, SongError& error) {
  constexpr DWORD flags =
      AUDCLNT_STREAMFLAGS_EVENTCALLBACK | AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM | AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY;
  channels_ = source.channels() >= 2 ? 2 : 1;
  device_channels_ = channels_;
  output_rate_ = source.sample_rate();
  WAVEFORMATEXTENSIBLE wanted = float_format(channels_, static_cast<DWORD>(source.sample_rate()));
  HRESULT done = client_->Initialize(AUDCLNT_SHAREMODE_SHARED, flags, BUFFER_100NS, 0, &wanted.Format, nullptr);
  if (SUCCEEDED(done)) return true;
  WAVEFORMATEX* mix = nullptr;
  if (SUCCEEDED(client_->GetMixFormat(&mix)) && is_float(*mix)) {
    device_channels_ = mix->nChannels;
    channels_ = device_channels_ >= 2 ? channels_ : 1;
    output_rate_ = mix->nSamplesPerSec;
    done =
        client_->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, BUFFER_100NS, 0, mix, nullptr);
  }
  CoTaskMemFree(mix);
  return SUCCEEDED(done) || cannot_open(error, done);
}

bool WasapiOutput::open(const SongSource& source, const char* name, SongError& error) {
  enter_com();
  if (!find_render_endpoint(name, device_)) return no_output_found(error, "no audio service");
  if (device_ == nullptr) return name != nullptr ? no_output_named(error, name) : no_output_found(error);
  HRESULT activated =
      device_->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, reinterpret_cast<void**>(&client_));
  if (FAILED(activated)) return cannot_open(error, activated);
  if (!initialize(source, error)) return false;
  wake_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  UINT64 frequency = 0;
  if (wake_ == nullptr || FAILED(client_->SetEventHandle(wake_)) || FAILED(client_->GetBufferSize(&buffer_frames_)) ||
      FAILED(client_->GetService(__uuidof(IAudioRenderClient), reinterpret_cast<void**>(&render_))) ||
      FAILED(client_->GetService(__uuidof(IAudioClock), reinterpret_cast<void**>(&clock_))) ||
      FAILED(clock_->GetFrequency(&frequency)) || frequency == 0) {
    return song_error(error, EXIT_NO_AUDIO_OUTPUT, "cannot open the audio output", "the output gives no clock");
  }
  clock_frequency_ = static_cast<double>(frequency);
  if (device_channels_ != channels_)
    scratch_.resize(static_cast<std::size_t>(buffer_frames_) * static_cast<std::size_t>(channels_));
  return true;
}

// Hands the engine what room it has, and says which song frames it holds.
bool WasapiOutput::refill() {
  UINT32 padding = 0;
  if (FAILED(client_->GetCurrentPadding(&padding))) return false;
  UINT32 room = buffer_frames_ - padding;
  if (room == 0) return true;
  BYTE* data = nullptr;
  if (FAILED(render_->GetBuffer(room, &data))) return false;
  // The song straight into the engine's buffer where the channels agree;
  // through scratch_, and into the first of the endpoint's, where not.
  auto* out = reinterpret_cast<float*>(data);
  bool direct = device_channels_ == channels_;
  playback_->fill(direct ? out : scratch_.data(), room, static_cast<double>(written_) / output_rate_);
  if (!direct) {
    for (UINT32 f = 0; f < room; ++f) {
      for (int c = 0; c < device_channels_; ++c) {
        out[f * device_channels_ + c] = c < channels_ ? scratch_[f * channels_ + c] : 0.0f;
      }
    }
  }
  written_ += room;
  return SUCCEEDED(render_->ReleaseBuffer(room, 0));
}

// An engine that stops asking, or refuses a buffer, leaves the song
// unfilled: the song clock sees that and tells the user.
void WasapiOutput::render() {
  ComScope com;
  DWORD task = 0;
  HANDLE priority = AvSetMmThreadCharacteristicsW(L"Pro Audio", &task);
  while (!stop_) {
    DWORD woken = WaitForSingleObject(wake_, RENDER_WAIT_MS);
    if (stop_) break;
    if (woken == WAIT_OBJECT_0 && !refill()) break;
  }
  if (priority != nullptr) AvRevertMmThreadCharacteristics(priority);
}

}  // namespace

std::unique_ptr<AudioOutput> open_audio_output(const SongSource& source, const char* device, SongError& error) {
  auto output = std::make_unique<WasapiOutput>();
  if (!output->open(source, device, error)) return nullptr;
  return output;
}

}  // namespace tap
