#include "audio/song_position.h"

#include <cmath>

namespace tap {
namespace {

// Reports that put the song this much later than those before them mark a
// break in its flow (an underrun that held it back).
constexpr double BREAK_SECONDS = 0.002;

// The middle of up to ReportBoard::SIZE values (the mean of the two in the
// middle of an even count): what one value far off does not move.
double median(const double* values, int count) {
  double sorted[ReportBoard::SIZE];
  for (int i = 0; i < count; ++i) {
    int j = i;
    for (; j > 0 && sorted[j - 1] > values[i]; --j) sorted[j] = sorted[j - 1];
    sorted[j] = values[i];
  }
  return count % 2 == 1 ? sorted[count / 2] : (sorted[count / 2 - 1] + sorted[count / 2]) / 2;
}

}  // namespace

// A sequence lock without fences: a reader that took any value of a write
// still under way synchronises with that value's release store, so it sees
// the sequence moved on and reads again.
void ReportBoard::publish(const OutputReport& report) {
  std::uint64_t sequence = sequence_.fetch_add(1, std::memory_order_relaxed);
  Slot& slot = slots_[(sequence / 2) % SIZE];
  slot.dac_time.store(report.dac_time, std::memory_order_release);
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
      out[i].frame = slot.frame.load(std::memory_order_acquire);
    }
    if (sequence_.load(std::memory_order_relaxed) == before) return count;
  }
}

double output_frame_at(double stream_time, const OutputReport* reports, int count, double frames_per_second) {
  if (count > ReportBoard::SIZE) {
    reports += count - ReportBoard::SIZE;
    count = ReportBoard::SIZE;
  }
  // Each report says where the song's frame 0 lies on the stream clock, in
  // frames; the reports of one flow of the song agree on it but for their
  // stamps' noise.
  double origin[ReportBoard::SIZE];
  for (int i = 0; i < count; ++i)
    origin[i] = reports[i].dac_time * frames_per_second - static_cast<double>(reports[i].frame);
  // An underrun or a missed cycle holds the song back: from then on every
  // report puts frame 0 later. A callback woken late stamps its buffer late
  // (PortAudio's JACK host stamps when the callback runs), and the next
  // report comes back: so the flow starts afresh only where two reports or
  // more all lie beyond where those before them put it.
  int first = 0;
  double earliest_after = origin[count - 1];
  for (int i = count - 2; i >= 1; --i) {
    earliest_after = std::fmin(earliest_after, origin[i]);
    if (earliest_after - median(origin, i) > BREAK_SECONDS * frames_per_second) {
      first = i;
      break;
    }
  }
  return stream_time * frames_per_second - median(origin + first, count - first);
}

std::uint32_t song_ms_at_frame(double frame, double start_seconds, double song_seconds_per_frame, double offset_ms) {
  double ms = (start_seconds + frame * song_seconds_per_frame) * 1000.0 - offset_ms;
  // Far outside any song; kept in range so the conversion is defined.
  ms = std::fmax(-2.0e9, std::fmin(2.0e9, ms));
  return static_cast<std::uint32_t>(static_cast<std::int32_t>(std::trunc(ms)));
}

std::uint32_t song_ms_at(double stream_time, const OutputReport* reports, int count, double frames_per_second,
                         double start_seconds, double song_seconds_per_frame, double offset_ms) {
  return song_ms_at_frame(output_frame_at(stream_time, reports, count, frames_per_second), start_seconds,
                          song_seconds_per_frame, offset_ms);
}

void EarliestAccount::add(double stream, double steady) {
  // The same account told again (its time taken afresh, a microsecond or
  // two apart) would stand beside itself: a late one then never lies apart.
  int latest = (next_ + SLOTS - 1) % SLOTS;
  if (count_ > 0 && std::fabs(steady - steady_[latest]) < SAME_SECONDS &&
      std::fabs(stream - steady - offset_[latest]) < SAME_SECONDS)
    return;
  steady_[next_] = steady;
  offset_[next_] = stream - steady;
  next_ = (next_ + 1) % SLOTS;
  if (count_ < SLOTS) ++count_;
}

bool EarliestAccount::stream_at(double steady, double& stream) const {
  if (count_ == 0) return false;
  int latest = (next_ + SLOTS - 1) % SLOTS;
  // The earliest offsets of the window, earliest first.
  double earliest[KEPT] = {};
  double latest_of_all = offset_[latest];
  int found = 0, in_window = 0;
  for (int k = 0; k < count_; ++k) {
    if (steady_[k] < steady_[latest] - WINDOW_SECONDS) continue;
    double offset = offset_[k];
    latest_of_all = std::fmax(latest_of_all, offset);
    ++in_window;
    int at = found < KEPT ? found++ : KEPT;
    while (at > 0 && earliest[at - 1] > offset) {
      if (at < KEPT) earliest[at] = earliest[at - 1];
      --at;
    }
    if (at < KEPT) earliest[at] = offset;
  }
  // Answers asked at spread moments lie a cycle wide, as far apart as the
  // cycle over their number; those made late lie before them, few and
  // sparse. Where the next is more than six times as far on, or the next
  // two eight times, an answer is one of those (answers on time are so
  // once in 200, and then passing one over costs a spacing or two): a few
  // late in a row, less late each, are passed over too.
  double spacing = (latest_of_all - earliest[0]) / in_window;
  int taken = 0;
  while (taken + 1 < found && (earliest[taken + 1] - earliest[taken] > 6 * spacing ||
                               (taken + 2 < found && earliest[taken + 2] - earliest[taken] > 8 * spacing)))
    ++taken;
  stream = steady + earliest[taken];
  return true;
}

}  // namespace tap
