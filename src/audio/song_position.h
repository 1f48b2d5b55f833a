#pragma once

#include <atomic>
#include <cstdint>

namespace tap {

/// What the audio layer says of one buffer it was given: when its first
/// frame reaches the output, on the stream's own clock, and how many frames
/// of the song had been played before it.
struct OutputReport {
  double dac_time = 0;     // seconds, stream clock
  std::int64_t frame = 0;  // output frames of the song before this buffer
};

/// The latest reports the audio callback made, for another thread to read
/// without a lock: the callback never waits, and a reader that raced a
/// write reads again.
class ReportBoard {
 public:
  static constexpr int SIZE = 8;

  /// Audio thread only.
  void publish(const OutputReport& report);

  /// Copies the reports out, oldest first; returns how many there are
  /// (fewer than SIZE before the callback has run SIZE times).
  int read(OutputReport (&out)[SIZE]) const;

 private:
  struct Slot {
    std::atomic<double> dac_time{0};
    std::atomic<std::int64_t> frame{0};
  };
  Slot slots_[SIZE];
  // Odd while a slot is being written; the count of reports is sequence / 2.
  std::atomic<std::uint64_t> sequence_{0};
};

/// Where a stream clock reading falls in the song's output frames, from the
/// latest reports: each report, carried forward at the nominal frame rate,
/// predicts the frame, and the median is taken, which a callback woken late
/// (its buffer stamped late) does not move. Carrying forward from reports a
/// few buffers old holds any drift between the output's clock and the
/// stream clock to microseconds, where time zero plus the system clock
/// would drift by tens of milliseconds over a song. Where two reports or
/// more put the song later than all before them (an underrun held it back),
/// it starts afresh. Pure: no clock, no I/O.
double output_frame_at(double stream_time, const OutputReport* reports, int count, double frames_per_second);

/// Song milliseconds at output frame `frame`, truncated once toward zero,
/// as a press-log timestamp (a time before the song's beginning reads as a
/// negative signed value). The song's output starts at `start_seconds` and
/// moves `song_seconds_per_frame` a frame; `offset_ms` is taken off.
std::uint32_t song_ms_at_frame(double frame, double start_seconds, double song_seconds_per_frame, double offset_ms);

/// Song milliseconds heard at `stream_time`, as song_ms_at_frame gives them
/// for the frame the reports put there.
std::uint32_t song_ms_at(double stream_time, const OutputReport* reports, int count, double frames_per_second,
                         double start_seconds, double song_seconds_per_frame, double offset_ms);

/// A stream clock from a server's accounts that move once a cycle: how far
/// its last cycle had read, stamped with the moment it answered (PipeWire's
/// PulseAudio server does so). Such an account reads late by however much
/// of the cycle had passed when it was asked, up to a whole cycle; asked at
/// moments spread over the cycle, the earliest of the last half second's
/// accounts is the one asked as the cycle ended, which is right. But an
/// answer the server made late, after its next cycle had begun and before
/// it had counted it, reads early by as much, and lies apart from the
/// others (which lie within a fraction of a cycle's length of the edge):
/// up to seven such, alone or a few in a row, are passed over, and an
/// account told twice counts once. Half a second keeps the
/// drift between the server's clock and the steady clock (a few hundred
/// ppm) to a tenth of a millisecond. Pure: no clock, no I/O.
class EarliestAccount {
 public:
  static constexpr double WINDOW_SECONDS = 0.5;

  void clear() { count_ = 0; }
  /// The server's account: its stream time `stream` at steady time `steady`
  /// (seconds, `steady` never going back).
  void add(double stream, double steady);
  /// The stream time at `steady` by the earliest account of the window
  /// before the latest; false before the first account.
  bool stream_at(double steady, double& stream) const;

 private:
  static constexpr int SLOTS = 256;  // an account every 2 ms at the least
  static constexpr int KEPT = 8;
  static constexpr double SAME_SECONDS = 1e-4;
  double steady_[SLOTS] = {}, offset_[SLOTS] = {};
  int next_ = 0, count_ = 0;
};

}  // namespace tap
