#include <sndfile.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "audio/song_source.h"

namespace tap {
namespace {

Speaker speaker_of(int channel_map) {
  switch (channel_map) {
    case SF_CHANNEL_MAP_LEFT:
    case SF_CHANNEL_MAP_FRONT_LEFT: return Speaker::left;
    case SF_CHANNEL_MAP_RIGHT:
    case SF_CHANNEL_MAP_FRONT_RIGHT: return Speaker::right;
    case SF_CHANNEL_MAP_MONO:
    case SF_CHANNEL_MAP_CENTER:
    case SF_CHANNEL_MAP_FRONT_CENTER: return Speaker::centre;
    case SF_CHANNEL_MAP_LFE: return Speaker::lfe;
    case SF_CHANNEL_MAP_REAR_LEFT: return Speaker::back_left;
    case SF_CHANNEL_MAP_REAR_RIGHT: return Speaker::back_right;
    case SF_CHANNEL_MAP_SIDE_LEFT: return Speaker::side_left;
    case SF_CHANNEL_MAP_SIDE_RIGHT: return Speaker::side_right;
    case SF_CHANNEL_MAP_REAR_CENTER: return Speaker::back_centre;
    default: return Speaker::other;
  }
}

class SoundFile final : public SongSource {
 public:
  SoundFile(SNDFILE* file, const SF_INFO& info) : file_(file), info_(info) {}
  ~SoundFile() override { sf_close(file_); }
  SoundFile(const SoundFile&) = delete;
  SoundFile& operator=(const SoundFile&) = delete;

  int channels() const override { return info_.channels; }
  int sample_rate() const override { return info_.samplerate; }
  std::int64_t frames() const override { return info_.frames; }
  bool seek(std::int64_t frame) override { return sf_seek(file_, frame, SEEK_SET) == frame; }
  std::int64_t read(float* out, std::int64_t count) override { return sf_readf_float(file_, out, count); }
  void speakers(Speaker* out) const override {
    // The file's own map where it has one (a WAV's channel mask); else the
    // order of its kind: Vorbis's and Opus's inside Ogg.
    usual_speakers(info_.channels, (info_.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_OGG, out);
    std::vector<int> map(static_cast<std::size_t>(info_.channels));
    if (sf_command(file_, SFC_GET_CHANNEL_MAP_INFO, map.data(), static_cast<int>(map.size() * sizeof(int))) != SF_TRUE)
      return;
    for (int c = 0; c < info_.channels; ++c) out[c] = speaker_of(map[static_cast<std::size_t>(c)]);
  }

 private:
  SNDFILE* file_;
  SF_INFO info_;
};

}  // namespace

const char* song_formats() { return "WAV, FLAC, Ogg Vorbis, Opus, MP3"; }

std::unique_ptr<SongSource> open_song_file(const char* path, char* why, std::size_t why_size) {
  // libsndfile says "System error" for a missing file; the C library says
  // which.
  std::FILE* probe = std::fopen(path, "rb");
  if (probe == nullptr) {
    std::snprintf(why, why_size, "%s", std::strerror(errno));
    return nullptr;
  }
  std::fclose(probe);
  SF_INFO info{};
  SNDFILE* file = sf_open(path, SFM_READ, &info);
  if (file == nullptr) {
    // Where its MPEG decoder gave up on a file, libsndfile says the file
    // does not exist; it does, and it is no audio.
    const char* reason = sf_strerror(nullptr);
    if (std::strstr(reason, "does not exist") != nullptr)
      std::snprintf(why, why_size, "not an audio file this program reads");
    else
      std::snprintf(why, why_size, "not an audio file this program reads (%s)", reason);
    return nullptr;
  }
  // An Ogg file cut short has no last page to tell its length (libsndfile
  // says SF_COUNT_MAX): the length is what decodes, and it is read from
  // the start again.
  if (info.frames >= SF_COUNT_MAX / 2 && info.channels >= 1) {
    std::vector<float> buffer(4096 * static_cast<std::size_t>(info.channels));
    sf_count_t decoded = 0;
    for (sf_count_t got; (got = sf_readf_float(file, buffer.data(), 4096)) > 0;) decoded += got;
    info.frames = decoded;
    if (sf_seek(file, 0, SEEK_SET) != 0) {
      sf_close(file);
      SF_INFO again{};
      file = sf_open(path, SFM_READ, &again);
      if (file == nullptr) {
        std::snprintf(why, why_size, "not an audio file this program reads (%s)", sf_strerror(nullptr));
        return nullptr;
      }
    }
  }
  if (info.channels < 1 || info.samplerate < 1 || info.frames < 1) {
    sf_close(file);
    std::snprintf(why, why_size, "it holds no sound");
    return nullptr;
  }
  return std::make_unique<SoundFile>(file, info);
}

}  // namespace tap
