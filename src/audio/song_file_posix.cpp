#include <sndfile.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "audio/quiet_stderr_posix.h"
#include "audio/song_source.h"

namespace tap {
namespace {

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
  SNDFILE* file = nullptr;
  {
    QuietStderr quiet;
    file = sf_open(path, SFM_READ, &info);
  }
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
  if (info.channels < 1 || info.samplerate < 1 || info.frames < 1) {
    sf_close(file);
    std::snprintf(why, why_size, "it holds no sound");
    return nullptr;
  }
  return std::make_unique<SoundFile>(file, info);
}

}  // namespace tap
