// Songs on Windows: Ogg Vorbis through stb_vorbis, linked in, as Media
// Foundation reads no Vorbis without an optional extension; everything
// else through Media Foundation's source reader. Its DLLs are loaded at run
// time: Windows "N" editions ship without them, and the program must still
// start there.

#include <windows.h>
// clang-format off
#include <mfapi.h>
#include <mfidl.h>
#include <mferror.h>
#include <mfreadwrite.h>
// clang-format on

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "audio/com_win32.h"
#include "audio/song_source.h"

#define STB_VORBIS_HEADER_ONLY
#include STB_VORBIS_FILE

namespace tap {
namespace {

class VorbisSong final : public SongSource {
 public:
  explicit VorbisSong(stb_vorbis* vorbis) : vorbis_(vorbis), info_(stb_vorbis_get_info(vorbis)) {
    // A file cut short has no last page to tell its length: the length is
    // what decodes, and it is read from the start again.
    unsigned length = stb_vorbis_stream_length_in_samples(vorbis_);
    frames_ = length;
    if ((length == 0 || length == 0xffffffffu) && info_.channels >= 1) {
      std::vector<float> buffer(4096 * static_cast<std::size_t>(info_.channels));
      frames_ = 0;
      for (int got; (got = stb_vorbis_get_samples_float_interleaved(vorbis_, info_.channels, buffer.data(),
                                                                    static_cast<int>(buffer.size()))) > 0;) {
        frames_ += got;
      }
      stb_vorbis_seek_start(vorbis_);
    }
  }
  ~VorbisSong() override { stb_vorbis_close(vorbis_); }
  VorbisSong(const VorbisSong&) = delete;
  VorbisSong& operator=(const VorbisSong&) = delete;

  int channels() const override { return info_.channels; }
  int sample_rate() const override { return static_cast<int>(info_.sample_rate); }
  std::int64_t frames() const override { return frames_; }
  bool seek(std::int64_t frame) override { return stb_vorbis_seek(vorbis_, static_cast<unsigned>(frame)) != 0; }
  std::int64_t read(float* out, std::int64_t count) override {
    return stb_vorbis_get_samples_float_interleaved(vorbis_, info_.channels, out,
                                                    static_cast<int>(count * info_.channels));
  }
  void speakers(Speaker* out) const override { usual_speakers(info_.channels, true, out); }

 private:
  stb_vorbis* vorbis_;
  stb_vorbis_info info_;
  std::int64_t frames_ = 0;
};

/// The few Media Foundation functions the program calls, from its DLLs.
struct MediaFoundation {
  HRESULT(WINAPI* startup)(ULONG, DWORD) = nullptr;
  HRESULT(WINAPI* shutdown)() = nullptr;
  HRESULT(WINAPI* create_media_type)(IMFMediaType**) = nullptr;
  HRESULT(WINAPI* create_source_reader)(LPCWSTR, IMFAttributes*, IMFSourceReader**) = nullptr;

  bool load() {
    HMODULE platform = LoadLibraryW(L"mfplat.dll");
    HMODULE reader = LoadLibraryW(L"mfreadwrite.dll");
    return platform != nullptr && reader != nullptr && find(platform, "MFStartup", startup) &&
           find(platform, "MFShutdown", shutdown) && find(platform, "MFCreateMediaType", create_media_type) &&
           find(reader, "MFCreateSourceReaderFromURL", create_source_reader);
  }

 private:
  template <typename Function>
  static bool find(HMODULE module, const char* name, Function& function) {
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    return function != nullptr;
  }
};

constexpr DWORD WINE_WIND_DOWN_MS = 100;

bool running_under_wine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

constexpr DWORD AUDIO = static_cast<DWORD>(MF_SOURCE_READER_FIRST_AUDIO_STREAM);
// MFStartup's version word: MF_SDK_VERSION 2, MF_API_VERSION 0x70.
constexpr ULONG MF_VERSION_WORD = (0x0002u << 16) | 0x0070u;

/// A file Media Foundation decodes, to float or 16-bit samples at its own
/// rate and channels. Decoded buffers are joined end to end: their
/// timestamps are not where the sound goes (an M4A's first reads 23 ms).
class MediaFoundationSong final : public SongSource {
 public:
  explicit MediaFoundationSong(const MediaFoundation& mf) : mf_(mf) {}
  // The reader's media source is shut down and the reader released before
  // Media Foundation shuts down: one still winding down at exit crashes the
  // process under Wine.
  ~MediaFoundationSong() override {
    unlock();
    IMFMediaSource* source = nullptr;
    if (reader_ != nullptr &&
        SUCCEEDED(reader_->GetServiceForStream(static_cast<DWORD>(MF_SOURCE_READER_MEDIASOURCE), GUID{},
                                               IID_IMFMediaSource, reinterpret_cast<void**>(&source)))) {
      source->Shutdown();
      release(source);
    }
    release(reader_);
    if (started_) mf_.shutdown();
    // Under Wine the decoder's GStreamer threads wind down after all that,
    // and a process that ends meanwhile crashes (3 runs in 170 measured,
    // none in 180 with the pause). Windows needs no pause.
    if (running_under_wine()) Sleep(WINE_WIND_DOWN_MS);
  }
  MediaFoundationSong(const MediaFoundationSong&) = delete;
  MediaFoundationSong& operator=(const MediaFoundationSong&) = delete;

  bool open(const wchar_t* path, char* why, std::size_t why_size);

  int channels() const override { return channels_; }
  int sample_rate() const override { return rate_; }
  std::int64_t frames() const override { return frames_; }
  bool seek(std::int64_t frame) override;
  std::int64_t read(float* out, std::int64_t count) override;

 private:
  bool set_output(const GUID& subtype);
  bool next_buffer();
  void unlock() {
    if (buffer_ != nullptr) buffer_->Unlock();
    release(buffer_);
    data_ = nullptr;
  }

  ComScope com_;  // made first, undone last
  const MediaFoundation& mf_;
  bool started_ = false;
  IMFSourceReader* reader_ = nullptr;
  bool floats_ = true;
  int sample_bytes_ = 4;  // of a whole-number sample: 2, 3 or 4
  int channels_ = 0;
  int rate_ = 0;
  std::int64_t frames_ = 0;
  std::int64_t position_ = 0;
  bool ended_ = false;
  // The buffer being read from.
  IMFMediaBuffer* buffer_ = nullptr;
  BYTE* data_ = nullptr;
  DWORD length_ = 0;
  DWORD used_ = 0;
};

bool MediaFoundationSong::set_output(const GUID& subtype) {
  IMFMediaType* type = nullptr;
  if (FAILED(mf_.create_media_type(&type))) return false;
  bool set = SUCCEEDED(type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio)) &&
             SUCCEEDED(type->SetGUID(MF_MT_SUBTYPE, subtype)) &&
             SUCCEEDED(reader_->SetCurrentMediaType(AUDIO, nullptr, type));
  release(type);
  return set;
}

bool MediaFoundationSong::open(const wchar_t* path, char* why, std::size_t why_size) {
  started_ = SUCCEEDED(mf_.startup(MF_VERSION_WORD, MFSTARTUP_LITE));
  HRESULT opened = started_ ? mf_.create_source_reader(path, nullptr, &reader_) : E_FAIL;
  if (FAILED(opened)) {
    std::snprintf(why, why_size, "not an audio file this program reads (Media Foundation error 0x%08lx)",
                  static_cast<unsigned long>(opened));
    return false;
  }
  reader_->SetStreamSelection(static_cast<DWORD>(MF_SOURCE_READER_ALL_STREAMS), FALSE);
  if (FAILED(reader_->SetStreamSelection(AUDIO, TRUE))) {
    std::snprintf(why, why_size, "it holds no sound");
    return false;
  }
  floats_ = set_output(MFAudioFormat_Float);
  if (!floats_ && !set_output(MFAudioFormat_PCM)) {
    std::snprintf(why, why_size, "Media Foundation cannot decode its sound");
    return false;
  }
  IMFMediaType* type = nullptr;
  UINT32 channels = 0, rate = 0, bits = 0;
  if (SUCCEEDED(reader_->GetCurrentMediaType(AUDIO, &type))) {
    type->GetUINT32(MF_MT_AUDIO_NUM_CHANNELS, &channels);
    type->GetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, &rate);
    type->GetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, &bits);
    release(type);
  }
  // A decoder that gives no floats (Windows' FLAC decoder) gives whole
  // numbers of the file's own size.
  sample_bytes_ = floats_ ? 4 : static_cast<int>(bits / 8);
  if (!floats_ && (bits % 8 != 0 || sample_bytes_ < 2 || sample_bytes_ > 4)) {
    std::snprintf(why, why_size, "Media Foundation cannot decode its sound");
    return false;
  }
  channels_ = static_cast<int>(channels);
  rate_ = static_cast<int>(rate);
  PROPVARIANT duration;
  PropVariantInit(&duration);
  if (SUCCEEDED(reader_->GetPresentationAttribute(static_cast<DWORD>(MF_SOURCE_READER_MEDIASOURCE), MF_PD_DURATION,
                                                  &duration))) {
    frames_ = static_cast<std::int64_t>(duration.uhVal.QuadPart * rate / 10000000u);
  }
  PropVariantClear(&duration);
  if (channels_ < 1 || rate_ < 1 || frames_ < 1) {
    std::snprintf(why, why_size, "it holds no sound");
    return false;
  }
  return true;
}

bool MediaFoundationSong::next_buffer() {
  unlock();
  while (!ended_) {
    DWORD flags = 0;
    LONGLONG timestamp = 0;
    IMFSample* sample = nullptr;
    if (FAILED(reader_->ReadSample(AUDIO, 0, nullptr, &flags, &timestamp, &sample)) ||
        (flags & (MF_SOURCE_READERF_ENDOFSTREAM | MF_SOURCE_READERF_ERROR))) {
      ended_ = true;
    }
    if (sample == nullptr) continue;
    HRESULT joined = sample->ConvertToContiguousBuffer(&buffer_);
    release(sample);
    if (FAILED(joined)) continue;
    DWORD length = 0;
    if (FAILED(buffer_->Lock(&data_, nullptr, &length))) {
      release(buffer_);
      continue;
    }
    length_ = length;
    used_ = 0;
    if (length > 0) return true;
    unlock();
  }
  return false;
}

std::int64_t MediaFoundationSong::read(float* out, std::int64_t count) {
  const DWORD frame_bytes = static_cast<DWORD>(channels_ * sample_bytes_);
  std::int64_t done = 0;
  while (done < count) {
    if (data_ == nullptr || length_ - used_ < frame_bytes) {
      if (!next_buffer()) break;
      continue;
    }
    std::int64_t frames = (length_ - used_) / frame_bytes;
    if (frames > count - done) frames = count - done;
    std::size_t samples = static_cast<std::size_t>(frames) * static_cast<std::size_t>(channels_);
    float* to = out + done * channels_;
    if (floats_) {
      std::memcpy(to, data_ + used_, samples * sizeof(float));
    } else {
      whole_samples_to_float(data_ + used_, samples, sample_bytes_, to);
    }
    used_ += static_cast<DWORD>(frames) * frame_bytes;
    done += frames;
  }
  position_ += done;
  return done;
}

// Only at the start, before playing: decoding up to the frame is exact
// where the reader's own seek lands near it.
bool MediaFoundationSong::seek(std::int64_t frame) {
  if (frame < position_) return false;
  std::vector<float> skipped(static_cast<std::size_t>(4096 * channels_));
  while (position_ < frame) {
    std::int64_t want = frame - position_ < 4096 ? frame - position_ : 4096;
    if (read(skipped.data(), want) < want) return false;
  }
  return true;
}

}  // namespace

// Media Foundation's own, and Ogg Vorbis by stb_vorbis; no Opus decoder is
// linked in.
const char* song_formats() { return "WAV, FLAC, Ogg Vorbis, MP3, M4A"; }

std::unique_ptr<SongSource> open_song_file(const char* path, char* why, std::size_t why_size) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) {
    std::snprintf(why, why_size, "%s", std::strerror(errno));
    return nullptr;
  }
  // An Ogg stream's first page names its codec 28 bytes in.
  char magic[36] = {};
  std::size_t got = std::fread(magic, 1, sizeof magic, file);
  bool ogg = got >= 4 && std::memcmp(magic, "OggS", 4) == 0;
  bool opus = ogg && got == sizeof magic && std::memcmp(magic + 28, "OpusHead", 8) == 0;
  std::fclose(file);
  if (opus) {
    std::snprintf(why, why_size, "an Opus file, which this program reads on Linux and macOS only");
    return nullptr;
  }
  if (ogg) {
    int error = 0;
    stb_vorbis* vorbis = stb_vorbis_open_filename(path, &error, nullptr);
    if (vorbis == nullptr) {
      std::snprintf(why, why_size, "not an Ogg Vorbis file this program reads (damaged, or cut short)");
      return nullptr;
    }
    auto song = std::make_unique<VorbisSong>(vorbis);
    if (song->channels() < 1 || song->sample_rate() < 1 || song->frames() < 1) {
      std::snprintf(why, why_size, "it holds no sound");
      return nullptr;
    }
    return song;
  }
  static MediaFoundation mf;
  static bool loaded = mf.load();
  if (!loaded) {
    std::snprintf(why, why_size,
                  "this Windows has no Media Foundation: songs other than Ogg Vorbis need the Media Feature Pack");
    return nullptr;
  }
  wchar_t wide[MAX_PATH * 2];
  if (MultiByteToWideChar(CP_ACP, 0, path, -1, wide, MAX_PATH * 2) == 0) {
    std::snprintf(why, why_size, "the file's name is too long");
    return nullptr;
  }
  auto song = std::make_unique<MediaFoundationSong>(mf);
  if (!song->open(wide, why, why_size)) return nullptr;
  return song;
}

}  // namespace tap
