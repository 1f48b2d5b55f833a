#pragma once

// What every audio output shares: the song decoded ahead, the reports of
// what each buffer holds, and the clock that turns a reading of the
// output's stream clock into the song position heard. An output only opens
// its device, runs its callback into a SongPlayback and reads its clock.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "audio/song_feeder.h"
#include "audio/song_player.h"
#include "audio/song_position.h"
#include "audio/song_source.h"

namespace tap {

/// Seconds on a clock that only goes forward.
using SteadySeconds = double (*)();
double steady_seconds();

/// What an output's callback touches: the song, decoded ahead, and the
/// board of what each buffer holds. Shared by the clock and the output, so
/// that it outlives a stream whose close hangs.
class SongPlayback {
 public:
  /// `channels` (1 or 2) and `rate` are the output's; `speed` the
  /// playback speed.
  SongPlayback(std::unique_ptr<SongSource> source, int channels, double rate, double speed,
               SteadySeconds steady = steady_seconds);

  /// Output thread: fills `out` with the next `frames` frames and reports
  /// that the first of them reaches the output at `dac_time` on the stream
  /// clock. Takes no lock and allocates nothing.
  void fill(float* out, std::size_t frames, double dac_time);

  double rate() const { return rate_; }
  SongFeeder& feeder() { return feeder_; }
  const ReportBoard& board() const { return board_; }
  /// How many buffers were filled, and the steady time of the latest.
  std::uint64_t fills() const { return fills_.load(std::memory_order_acquire); }
  double last_fill() const { return last_fill_.load(std::memory_order_relaxed); }

 private:
  std::unique_ptr<SongSource> source_;
  double rate_;
  SteadySeconds steady_;
  SongFeeder feeder_;
  ReportBoard board_;
  std::atomic<double> last_fill_{0};
  std::atomic<std::uint64_t> fills_{0};
};

/// One platform's audio stream.
class AudioOutput {
 public:
  virtual ~AudioOutput() = default;
  /// The channels (1 or 2) and the rate the song is to be fed at.
  virtual int channels() const = 0;
  virtual double rate() const = 0;
  /// Takes the song to play: its callback fills from it from now on (an
  /// output that fills its first buffer before the start does it here).
  /// False when the output takes no sound.
  virtual bool attach(std::shared_ptr<SongPlayback> playback) = 0;
  /// Starts the stream; false when it will not.
  virtual bool start() = 0;
  /// The stream clock now, in the seconds the reports' dac times are in;
  /// false when the output cannot tell it (it is gone). Never waits.
  virtual bool stream_time(double& seconds) = 0;
  /// Stops the stream for good: after it, no callback runs. May block, as
  /// a stream whose sound server died does.
  virtual void close() = 0;
};

/// The song clock over any output.
class PlaybackClock final : public SongClock {
 public:
  /// `start_seconds` is where playback begins in the song.
  PlaybackClock(std::unique_ptr<AudioOutput> output, std::shared_ptr<SongPlayback> playback, const SongOptions& options,
                double start_seconds, SteadySeconds steady = steady_seconds);
  /// Closes the output on a thread that owns it and waits for it a second
  /// at most: a program that is ending does not wait on a dead sound
  /// server, and what the callback touches lives until the stream is shut.
  ~PlaybackClock() override;
  PlaybackClock(const PlaybackClock&) = delete;
  PlaybackClock& operator=(const PlaybackClock&) = delete;

  std::uint32_t start_capture() override;
  /// Before the output's first buffer is filled the song is not heard yet:
  /// the reading is where its output begins.
  std::uint32_t elapsed_ms() override;
  /// The song goes silent at once; the output is closed when the clock goes.
  void stop_capture() override;
  const char* take_notice() override;

 private:
  void check_output(double now);
  void lose(const char* why);

  std::unique_ptr<AudioOutput> output_;
  std::shared_ptr<SongPlayback> playback_;
  SongOptions options_;
  double start_seconds_;
  SteadySeconds steady_;
  bool running_ = false;
  bool lost_ = false;
  bool told_ = false;
  double start_steady_ = 0;
  std::uint64_t fills_at_start_ = 0;
  double stream_minus_steady_ = 0;  // at the latest reading of the stream clock
  char notice_[200] = "";
};

/// Each platform's outputs: the one --device names (or the default),
/// opened for a song of `source`'s rate and channels; nullptr with `error`
/// set when there is none.
std::unique_ptr<AudioOutput> open_audio_output(const SongSource& source, const char* device, SongError& error);

/// The outputs --device takes, as a platform finds them.
struct OutputList {
  static constexpr int MAX = 64;
  char names[MAX][256] = {};
  const char* notes[MAX] = {};  // what a user should know of one, where anything
  int count = 0;
  int chosen = -1;                // the default's index
  const char* failure = nullptr;  // why there is no list, where there is none
  /// Adds a name (cut to fit); false when the list is full.
  bool add(const char* name, bool is_default, const char* note = nullptr);
};
void find_audio_outputs(OutputList& list);

/// Moves `source` to where --start asks and gives that place in seconds;
/// false with `error` set when it is past the end or cannot be reached.
bool seek_to_start(SongSource& source, const SongOptions& options, double& start_seconds, SongError& error);

/// "tap-recorder: WHAT: DETAIL" (or without the detail) and the exit code;
/// returns false.
bool song_error(SongError& error, int exit_code, const char* what, const char* detail);
/// The errors every output gives alike; each returns false.
bool no_output_found(SongError& error, const char* why = "no output device found");
bool no_output_named(SongError& error, const char* name);

}  // namespace tap
