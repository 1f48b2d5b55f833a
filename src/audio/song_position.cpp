#include "audio/song_position.h"

#include <cmath>

namespace tap {
namespace {

// A report more than this far from where the one before predicts it marks
// a break in the song's flow (an underrun that held it back).
constexpr double BREAK_SECONDS = 0.002;

}  // namespace

// A sequence lock without fences: a reader that took any value of a write
// still under way synchronises with that value's release store, so it sees
// the sequence moved on and reads again.
void ReportBoard::publish(const OutputReport& report) {
  std::uint64_t sequence = sequence_.fetch_add(1, std::memory_order_relaxed);
  Slot& slot = slots_[(sequence / 2) % SIZE];
  slot.dac_time.store(report.dac_time, std::memory_order_release);
  slot.clock_minus_steady.store(report.clock_minus_steady, std::memory_order_release);
  slot.frame.store(report.frame, std::memory_order_release);
  sequence_.fetch_add(1, std::memory_order_release);
}

int ReportBoard::read(OutputReport (&out)[SIZE]) const {
  for (;;) {
    std::uint64_t before = sequence_.load(std::memory_order_acquire);
    if (before % 2 != 0) continue;
    std::uint64_t made = before / 2;
    int count = made < SIZE ? static_cast<int>(made) : SIZE;
    for (int i = 0; i < count; ++i) {
      const Slot& slot = slots_[(made - static_cast<std::uint64_t>(count - i)) % SIZE];
      out[i].dac_time = slot.dac_time.load(std::memory_order_acquire);
      out[i].clock_minus_steady = slot.clock_minus_steady.load(std::memory_order_acquire);
      out[i].frame = slot.frame.load(std::memory_order_acquire);
    }
    if (sequence_.load(std::memory_order_relaxed) == before) return count;
  }
}

double output_frame_at(double stream_time, const OutputReport* reports, int count, double frames_per_second) {
  int first = 0;
  for (int i = 1; i < count; ++i) {
    double expected =
        static_cast<double>(reports[i - 1].frame) + (reports[i].dac_time - reports[i - 1].dac_time) * frames_per_second;
    if (std::fabs(static_cast<double>(reports[i].frame) - expected) > BREAK_SECONDS * frames_per_second) first = i;
  }
  double sum = 0;
  for (int i = first; i < count; ++i)
    sum += static_cast<double>(reports[i].frame) + (stream_time - reports[i].dac_time) * frames_per_second;
  return sum / (count - first);
}

std::uint32_t song_ms_at(double stream_time, const OutputReport* reports, int count, double frames_per_second,
                         double start_seconds, double song_seconds_per_frame, double offset_ms) {
  double frame = output_frame_at(stream_time, reports, count, frames_per_second);
  double ms = (start_seconds + frame * song_seconds_per_frame) * 1000.0 - offset_ms;
  // Far outside any song; kept in range so the conversion is defined.
  ms = std::fmax(-2.0e9, std::fmin(2.0e9, ms));
  return static_cast<std::uint32_t>(static_cast<std::int32_t>(std::trunc(ms)));
}

}  // namespace tap
