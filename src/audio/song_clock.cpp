#include "audio/song_clock.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>
#include <utility>

namespace tap {
namespace {

// No buffer filled for this long means the output has stopped (a device
// unplugged, the sound server gone).
constexpr double SILENT_OUTPUT_SECONDS = 0.5;
// A sound server may take a while to start a stream (PulseAudio prebuffers
// for over a second); no buffer at all after this long is an output that
// never played.
constexpr double FIRST_FILL_SECONDS = 2.0;
// Closing a stream whose sound server has died can block for good.
constexpr auto CLOSE_WAIT = std::chrono::seconds(1);

}  // namespace

double steady_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

SongPlayback::SongPlayback(std::unique_ptr<SongSource> source, int channels, double rate, double speed,
                           SteadySeconds steady)
    : source_(std::move(source)), rate_(rate), steady_(steady), feeder_(*source_, channels, rate, speed) {
  feeder_.start();
}

void SongPlayback::fill(float* out, std::size_t frames, double dac_time) {
  OutputReport report;
  report.dac_time = dac_time;
  // The song frames played before this buffer, whose first is heard then.
  report.frame = feeder_.play(out, frames);
  board_.publish(report);
  last_fill_.store(steady_(), std::memory_order_relaxed);
  fills_.fetch_add(1, std::memory_order_release);
}

PlaybackClock::PlaybackClock(std::unique_ptr<AudioOutput> output, std::shared_ptr<SongPlayback> playback,
                             const SongOptions& options, double start_seconds, SteadySeconds steady)
    : output_(std::move(output)),
      playback_(std::move(playback)),
      options_(options),
      start_seconds_(start_seconds),
      steady_(steady) {}

PlaybackClock::~PlaybackClock() {
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::thread([output = std::move(output_), playback = playback_, done]() mutable {
    output->close();
    output.reset();
    playback.reset();
    done->store(true);
  }).detach();
  auto until = std::chrono::steady_clock::now() + CLOSE_WAIT;
  while (!done->load() && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

std::uint32_t PlaybackClock::start_capture() {
  start_steady_ = steady_();
  fills_at_start_ = playback_->fills();
  running_ = output_->start();
  if (!running_) lose("the audio output did not start");
  // Should the output go before a tap reads its clock, the taps carry on
  // from this reading; an output that gives none is taken to start at 0.
  double stream_time = 0;
  stream_minus_steady_ = running_ && output_->stream_time(stream_time) ? stream_time - steady_() : -start_steady_;
  return 0;
}

// An output whose clock cannot be read, that never filled a buffer after
// the start, or that filled none for a while, has stopped; the wait counts
// from its first buffer, as a server that prebuffers is slow to begin.
// Once it is gone its clock is too: the taps carry on from its last reading
// on the steady clock.
void PlaybackClock::check_output(double now) {
  if (!running_ || lost_) return;
  double stream_time = 0;
  if (!output_->stream_time(stream_time)) {
    lose("the audio output stopped answering");
    return;
  }
  stream_minus_steady_ = stream_time - now;
  if (playback_->fills() == fills_at_start_) {
    if (now - start_steady_ > FIRST_FILL_SECONDS) lose("the audio output never played");
  } else if (now - playback_->last_fill() > SILENT_OUTPUT_SECONDS) {
    lose("the audio output stopped answering");
  }
}

void PlaybackClock::lose(const char* why) {
  if (lost_) return;
  lost_ = true;
  std::snprintf(notice_, sizeof notice_, "tap-recorder: the song stopped (%s); the taps are still recorded", why);
}

std::uint32_t PlaybackClock::elapsed_ms() {
  double now = steady_();
  check_output(now);
  double stream_time = now + stream_minus_steady_;
  double song_seconds_per_frame = options_.rate / playback_->rate();
  // The offset is the user's own latency, in wall time: at half speed it
  // spans half as much of the song.
  double offset_ms = options_.offset_ms * options_.rate;
  OutputReport reports[ReportBoard::SIZE];
  int count = playback_->board().read(reports);
  if (count == 0) {
    return song_ms_at_frame(static_cast<double>(playback_->feeder().first_frame()), start_seconds_,
                            song_seconds_per_frame, offset_ms);
  }
  // Only the buffers heard by then: a later break in the song (the decoder
  // fell behind) does not move it.
  while (count > 1 && reports[count - 1].dac_time > stream_time) --count;
  return song_ms_at(stream_time, reports, count, playback_->rate(), start_seconds_, song_seconds_per_frame, offset_ms);
}

void PlaybackClock::stop_capture() {
  check_output(steady_());
  playback_->feeder().mute();
  running_ = false;
}

const char* PlaybackClock::take_notice() {
  check_output(steady_());
  if (!lost_ || told_) return nullptr;
  told_ = true;
  return notice_;
}

bool OutputList::add(const char* name, bool is_default, const char* note) {
  if (count == MAX) return false;
  std::snprintf(names[count], sizeof names[count], "%s", name);
  notes[count] = note;
  if (is_default && chosen < 0) chosen = count;
  ++count;
  return true;
}

bool song_error(SongError& error, int exit_code, const char* what, const char* detail) {
  error.exit_code = exit_code;
  std::snprintf(error.text, sizeof error.text, "tap-recorder: %s%s%s", what, detail[0] ? ": " : "", detail);
  return false;
}

bool no_output_found(SongError& error, const char* why) {
  return song_error(error, EXIT_NO_AUDIO_OUTPUT, "no audio output", why);
}

bool no_output_named(SongError& error, const char* name) {
  char what[200];
  std::snprintf(what, sizeof what, "no audio output named '%.120s' (see --list-devices)", name);
  return song_error(error, EXIT_NO_AUDIO_OUTPUT, what, "");
}

bool seek_to_start(SongSource& source, const SongOptions& options, double& start_seconds, SongError& error) {
  // Compared before it becomes a frame number: a start far past any song
  // (--start 1e308) would overflow the conversion.
  // The sample at or before the time asked for: any time short of the
  // song's length has one.
  double length = static_cast<double>(source.frames()) / source.sample_rate();
  double start = std::floor(options.start_seconds * source.sample_rate());
  if (!(start < static_cast<double>(source.frames()))) {
    // As many decimals as it takes to see that the start is past the end.
    int decimals = 3;
    while (decimals < 9 && options.start_seconds > length &&
           std::round(options.start_seconds * std::pow(10, decimals)) == std::round(length * std::pow(10, decimals))) {
      ++decimals;
    }
    char what[160];
    if (options.start_seconds < 1e9) {
      std::snprintf(what, sizeof what, "--start %.*f s is past the song's end (%.*f s)", decimals,
                    options.start_seconds, decimals, length);
    } else {
      std::snprintf(what, sizeof what, "--start %.4g s is past the song's end (%.3f s)", options.start_seconds, length);
    }
    return song_error(error, EXIT_USAGE, what, "");
  }
  auto start_frame = static_cast<std::int64_t>(start);
  if (start_frame > 0 && !source.seek(start_frame))
    return song_error(error, EXIT_SONG_UNREADABLE, "cannot start the song there", "the file cannot seek");
  start_seconds = static_cast<double>(start_frame) / source.sample_rate();
  return true;
}

}  // namespace tap
