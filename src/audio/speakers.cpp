#include "audio/song_source.h"

// Built with or without the song's libraries: every source, the
// calibration's clicks included, tells its speakers.

namespace tap {

void usual_speakers(int channels, bool vorbis_order, Speaker* out) {
  using S = Speaker;
  // clang-format off
  static const Speaker WAV[8][8] = {
      {S::centre},
      {S::left, S::right},
      {S::left, S::right, S::centre},
      {S::left, S::right, S::back_left, S::back_right},
      {S::left, S::right, S::centre, S::back_left, S::back_right},
      {S::left, S::right, S::centre, S::lfe, S::back_left, S::back_right},
      {S::left, S::right, S::centre, S::lfe, S::back_centre, S::side_left, S::side_right},
      {S::left, S::right, S::centre, S::lfe, S::back_left, S::back_right, S::side_left, S::side_right},
  };
  static const Speaker VORBIS[8][8] = {
      {S::centre},
      {S::left, S::right},
      {S::left, S::centre, S::right},
      {S::left, S::right, S::back_left, S::back_right},
      {S::left, S::centre, S::right, S::back_left, S::back_right},
      {S::left, S::centre, S::right, S::back_left, S::back_right, S::lfe},
      {S::left, S::centre, S::right, S::side_left, S::side_right, S::back_centre, S::lfe},
      {S::left, S::centre, S::right, S::side_left, S::side_right, S::back_left, S::back_right, S::lfe},
  };
  // clang-format on
  for (int c = 0; c < channels; ++c) {
    out[c] = channels > 8 ? Speaker::other : (vorbis_order ? VORBIS : WAV)[channels - 1][c];
  }
}

}  // namespace tap
