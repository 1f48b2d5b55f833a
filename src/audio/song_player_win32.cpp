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
#include <thread>
#include <vector>

#include "audio/com_win32.h"
#include "audio/song_feeder.h"
#include "audio/song_player.h"
#include "audio/song_position.h"

namespace tap {
namespace {

// The buffer the engine is asked for; shared mode refills it every period.
constexpr REFERENCE_TIME BUFFER_100NS = 400000;  // 40 ms
// No refill wanted for this long means the output has stopped.
constexpr DWORD SILENT_OUTPUT_MS = 500;

// PKEY_Device_FriendlyName.
const PROPERTYKEY FRIENDLY_NAME = {{0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 14};
// KSDATAFORMAT_SUBTYPE_IEEE_FLOAT.
const GUID FLOAT_SUBTYPE = {0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

// The performance counter in seconds, and in the 100 ns units the device
// clock gives its readings in.
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

IMMDeviceEnumerator* make_enumerator() {
  IMMDeviceEnumerator* enumerator = nullptr;
  CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, __uuidof(IMMDeviceEnumerator),
                   reinterpret_cast<void**>(&enumerator));
  return enumerator;
}

// The endpoint's friendly name in the console's code page.
void friendly_name(IMMDevice* device, char* out, std::size_t size) {
  out[0] = '\0';
  IPropertyStore* store = nullptr;
  if (FAILED(device->OpenPropertyStore(STGM_READ, &store))) return;
  PROPVARIANT name;
  PropVariantInit(&name);
  if (SUCCEEDED(store->GetValue(FRIENDLY_NAME, &name)) && name.vt == VT_LPWSTR) {
    int length =
        WideCharToMultiByte(GetConsoleOutputCP(), 0, name.pwszVal, -1, out, static_cast<int>(size), nullptr, nullptr);
    if (length == 0) out[0] = '\0';
  }
  PropVariantClear(&name);
  release(store);
}

// Calls `visit(device, name)` for each active render endpoint.
template <typename Visit>
void each_output(IMMDeviceEnumerator* enumerator, Visit visit) {
  IMMDeviceCollection* all = nullptr;
  if (FAILED(enumerator->EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE, &all))) return;
  UINT count = 0;
  all->GetCount(&count);
  for (UINT i = 0; i < count; ++i) {
    IMMDevice* device = nullptr;
    if (FAILED(all->Item(i, &device))) continue;
    char name[256];
    friendly_name(device, name, sizeof name);
    bool done = visit(device, name);
    release(device);
    if (done) break;
  }
  release(all);
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

class WasapiSongPlayer final : public TimeSource {
 public:
  WasapiSongPlayer(std::unique_ptr<SongSource> source, const SongOptions& options)
      : source_(std::move(source)), options_(options) {}
  ~WasapiSongPlayer() override;
  WasapiSongPlayer(const WasapiSongPlayer&) = delete;
  WasapiSongPlayer& operator=(const WasapiSongPlayer&) = delete;

  bool open(SongError& error);
  std::uint32_t start_capture() override;
  std::uint32_t elapsed_ms() override;
  // The song goes silent at once; the output is stopped when the program ends.
  void stop_capture() override { feeder_->mute(); }
  const char* take_notice() override {
    if (!lost_.load(std::memory_order_acquire) || told_) return nullptr;
    told_ = true;
    return notice_;
  }

 private:
  bool initialize(IAudioClient* client, SongError& error);
  bool refill();
  void render();
  // From either thread: the first says why, and the notice is whole before
  // the dialogue can see the output lost.
  void lose(const char* why) {
    if (losing_.exchange(true)) return;
    std::snprintf(notice_, sizeof notice_, "tap-recorder: the song stopped (%s); the taps are still recorded", why);
    lost_.store(true, std::memory_order_release);
  }

  ComScope com_;
  std::unique_ptr<SongSource> source_;
  SongOptions options_;
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
  double start_seconds_ = 0;
  std::unique_ptr<SongFeeder> feeder_;
  ReportBoard board_;
  std::thread renderer_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> losing_{false};
  std::atomic<bool> lost_{false};
  char notice_[200] = "";

  // Render thread (and open, before it starts).
  std::int64_t written_ = 0;  // stream frames handed to the engine
  std::vector<float> scratch_;

  // Dialogue thread.
  bool started_ = false;
  bool told_ = false;
  double start_counter_ = 0;
  double last_position_ = 0;  // the last device reading, stream seconds
  double last_counter_ = 0;   // and when it was true, counter seconds
};

WasapiSongPlayer::~WasapiSongPlayer() {
  stop_ = true;
  if (wake_ != nullptr) SetEvent(wake_);
  if (renderer_.joinable()) renderer_.join();
  if (client_ != nullptr) client_->Stop();
  release(clock_);
  release(render_);
  release(client_);
  release(device_);
  if (wake_ != nullptr) CloseHandle(wake_);
}

// The song's own rate and channels, the engine converting to its mix format
// where it can; else the mix format itself, the feeder resampling.
bool WasapiSongPlayer::initialize(IAudioClient* client, SongError& error) {
  constexpr DWORD flags =
      AUDCLNT_STREAMFLAGS_EVENTCALLBACK | AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM | AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY;
  channels_ = source_->channels() >= 2 ? 2 : 1;
  device_channels_ = channels_;
  output_rate_ = source_->sample_rate();
  WAVEFORMATEXTENSIBLE wanted = float_format(channels_, static_cast<DWORD>(source_->sample_rate()));
  HRESULT done = client->Initialize(AUDCLNT_SHAREMODE_SHARED, flags, BUFFER_100NS, 0, &wanted.Format, nullptr);
  if (SUCCEEDED(done)) return true;
  WAVEFORMATEX* mix = nullptr;
  if (SUCCEEDED(client->GetMixFormat(&mix)) && is_float(*mix)) {
    device_channels_ = mix->nChannels;
    channels_ = device_channels_ >= 2 ? channels_ : 1;
    output_rate_ = mix->nSamplesPerSec;
    done =
        client->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, BUFFER_100NS, 0, mix, nullptr);
  }
  CoTaskMemFree(mix);
  return SUCCEEDED(done) || cannot_open(error, done);
}

bool WasapiSongPlayer::open(SongError& error) {
  IMMDeviceEnumerator* enumerator = make_enumerator();
  if (enumerator == nullptr) return song_error(error, EXIT_NO_AUDIO_OUTPUT, "no audio output", "no audio service");
  if (options_.device != nullptr) {
    each_output(enumerator, [&](IMMDevice* device, const char* name) {
      if (std::strcmp(name, options_.device) != 0) return false;
      device_ = device;
      device->AddRef();
      return true;
    });
  } else {
    enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &device_);
  }
  release(enumerator);
  if (device_ == nullptr) {
    if (options_.device == nullptr)
      return song_error(error, EXIT_NO_AUDIO_OUTPUT, "no audio output", "no output device found");
    char what[200];
    std::snprintf(what, sizeof what, "no audio output named '%.120s' (see --list-devices)", options_.device);
    return song_error(error, EXIT_NO_AUDIO_OUTPUT, what, "");
  }
  if (!seek_to_start(*source_, options_, start_seconds_, error)) return false;
  HRESULT activated =
      device_->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, reinterpret_cast<void**>(&client_));
  if (FAILED(activated)) return cannot_open(error, activated);
  if (!initialize(client_, error)) return false;
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
  feeder_ = std::make_unique<SongFeeder>(*source_, channels_, output_rate_, options_.rate);
  feeder_->start();
  // The first buffer is full before the start, so the song starts at once.
  if (!refill()) return song_error(error, EXIT_NO_AUDIO_OUTPUT, "cannot open the audio output", "it takes no sound");
  return true;
}

// Hands the engine what room it has, and says which song frames it holds.
bool WasapiSongPlayer::refill() {
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
  OutputReport report;
  report.dac_time = static_cast<double>(written_) / output_rate_;
  report.frame = feeder_->play(direct ? out : scratch_.data(), room);
  board_.publish(report);
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

void WasapiSongPlayer::render() {
  ComScope com;
  DWORD task = 0;
  HANDLE priority = AvSetMmThreadCharacteristicsW(L"Pro Audio", &task);
  while (!stop_) {
    DWORD woken = WaitForSingleObject(wake_, SILENT_OUTPUT_MS);
    if (stop_) break;
    if (woken != WAIT_OBJECT_0) {
      lose("the audio output stopped answering");
      continue;
    }
    if (!refill()) {
      lose("the audio output stopped answering");
      break;
    }
  }
  if (priority != nullptr) AvRevertMmThreadCharacteristics(priority);
}

std::uint32_t WasapiSongPlayer::start_capture() {
  start_counter_ = counter_seconds();
  last_counter_ = start_counter_;
  started_ = SUCCEEDED(client_->Start());
  if (started_) {
    renderer_ = std::thread([this] { render(); });
  } else {
    lose("the audio output did not start");
  }
  return 0;
}

// The device clock's latest reading, carried to now on the performance
// counter; once the output is gone, its last reading carried on.
std::uint32_t WasapiSongPlayer::elapsed_ms() {
  double now = counter_seconds();
  UINT64 position = 0, when = 0;
  bool answering = started_ && !losing_.load();
  if (answering && SUCCEEDED(clock_->GetPosition(&position, &when))) {
    last_position_ = static_cast<double>(position) / clock_frequency_;
    last_counter_ = static_cast<double>(when) * 1e-7;
  } else if (answering) {
    lose("the audio output stopped answering");
  }
  double stream_time = last_position_ + (now - last_counter_);
  OutputReport reports[ReportBoard::SIZE];
  int count = board_.read(reports);
  // Only what was written up to the frame heard: a later break in the song
  // (the decoder fell behind) does not move it.
  while (count > 1 && reports[count - 1].dac_time > stream_time) --count;
  return song_ms_at(stream_time, reports, count, output_rate_, start_seconds_, options_.rate / output_rate_,
                    options_.offset_ms);
}

}  // namespace

bool song_support_built() { return true; }

std::unique_ptr<TimeSource> open_song_player(std::unique_ptr<SongSource> source, const SongOptions& options,
                                             SongError& error) {
  auto player = std::make_unique<WasapiSongPlayer>(std::move(source), options);
  if (!player->open(error)) return nullptr;
  return player;
}

int list_output_devices(Console& console) {
  ComScope com;
  IMMDeviceEnumerator* enumerator = make_enumerator();
  if (enumerator == nullptr) {
    console.error_line("tap-recorder: no audio output: no audio service");
    return EXIT_NO_AUDIO_OUTPUT;
  }
  char chosen[256] = "";
  IMMDevice* default_device = nullptr;
  if (SUCCEEDED(enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &default_device))) {
    friendly_name(default_device, chosen, sizeof chosen);
    release(default_device);
  }
  int listed = 0;
  each_output(enumerator, [&](IMMDevice*, const char* name) {
    console.write(name);
    if (std::strcmp(name, chosen) == 0) console.write(" (default)");
    console.end_line();
    ++listed;
    return false;
  });
  release(enumerator);
  if (listed == 0) {
    console.error_line("tap-recorder: no audio output: no output device found");
    return EXIT_NO_AUDIO_OUTPUT;
  }
  return 0;
}

}  // namespace tap
