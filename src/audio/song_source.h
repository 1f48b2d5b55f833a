#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace tap {

/// Where a channel of a song is meant to be heard, for mixing a song of
/// more channels than the output has.
enum class Speaker : std::uint8_t {
  left,
  right,
  centre,
  lfe,
  back_left,
  back_right,
  side_left,
  side_right,
  back_centre,
  other
};

/// The speakers of `channels` channels in the usual order of a file's kind:
/// WAV's and FLAC's, or (`vorbis_order`) that of Ogg Vorbis and Opus.
void usual_speakers(int channels, bool vorbis_order, Speaker* out);

/// Decoded audio, read front to back: interleaved float frames of
/// `channels()` samples each. Read in pieces, so a long song is never held
/// whole in memory.
class SongSource {
 public:
  virtual ~SongSource() = default;
  virtual int channels() const = 0;
  virtual int sample_rate() const = 0;
  /// The length in frames.
  virtual std::int64_t frames() const = 0;
  /// Moves to `frame`; false when the source cannot go there.
  virtual bool seek(std::int64_t frame) = 0;
  /// Reads up to `count` frames into `out`; 0 at the end.
  virtual std::int64_t read(float* out, std::int64_t count) = 0;
  /// The speaker of each of its channels.
  virtual void speakers(Speaker* out) const { usual_speakers(channels(), false, out); }
};

/// Signed little-endian whole-number samples of `bytes` bytes each (2, 3 or
/// 4) as floats from -1 to 1, for decoders that give no floats.
inline void whole_samples_to_float(const unsigned char* from, std::size_t samples, int bytes, float* to) {
  for (std::size_t i = 0; i < samples; ++i, from += bytes) {
    std::uint32_t word = 0;  // the sample's bytes at the top of 32 bits
    for (int b = 0; b < bytes; ++b) word |= static_cast<std::uint32_t>(from[b]) << (8 * (4 - bytes + b));
    to[i] = static_cast<float>(static_cast<std::int32_t>(word)) / 2147483648.0f;
  }
}

/// The kinds of song file this build reads, for the usage.
const char* song_formats();

/// Opens an audio file (WAV, FLAC, Ogg Vorbis, Opus, MP3 and what else the
/// platform's decoder reads). On failure returns nullptr and puts the
/// reason in `why`.
std::unique_ptr<SongSource> open_song_file(const char* path, char* why, std::size_t why_size);

/// The clicks the calibration plays: `beats` clicks `beat_ms` apart, the
/// first at `first_click_ms`, each a short decaying tone; stereo.
std::unique_ptr<SongSource> make_click_track(int sample_rate, double first_click_ms, double beat_ms, int beats);

}  // namespace tap
