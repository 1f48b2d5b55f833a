#pragma once

#include <cstdint>
#include <memory>
#include <utility>

#include "audio/song_player.h"
#include "console/clock.h"

namespace tap {

/// Where the Recorder gets the time: milliseconds, modulo 2^32.
class TimeSource {
 public:
  virtual ~TimeSource() = default;
  /// Called at the start ENTER; returns the reading that stands for time
  /// zero of the capture (the press log's slot 0).
  virtual std::uint32_t start_capture() { return elapsed_ms(); }
  virtual std::uint32_t elapsed_ms() = 0;
  /// Called once the capture is over, however it ended.
  virtual void stop_capture() {}
  /// Once, when what the time is read from has failed under the capture
  /// (the song's output went away): one line for the user. Else nullptr.
  virtual const char* take_notice() { return nullptr; }
  /// How many of its milliseconds pass in a millisecond of the user's: a
  /// song played at --rate R goes R times as fast.
  virtual double rate() const { return 1.0; }
};

/// Without a song: the program's clock, from the start ENTER.
class ProgramTime final : public TimeSource {
 public:
  explicit ProgramTime(MillisecondClock& clock) : clock_(clock) {}
  std::uint32_t start_capture() override { return clock_.start_capture(); }
  std::uint32_t elapsed_ms() override { return clock_.elapsed_ms(); }

 private:
  MillisecondClock& clock_;
};

/// With a song: the position heard.
class SongTime final : public TimeSource {
 public:
  SongTime(std::unique_ptr<SongClock> song, double rate) : song_(std::move(song)), rate_(rate) {}
  std::uint32_t start_capture() override { return song_->start_capture(); }
  std::uint32_t elapsed_ms() override { return song_->elapsed_ms(); }
  void stop_capture() override { song_->stop_capture(); }
  const char* take_notice() override { return song_->take_notice(); }
  double rate() const override { return rate_; }

 private:
  std::unique_ptr<SongClock> song_;
  double rate_;
};

}  // namespace tap
