#include "audio/song_position.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "audio/click_mixer.h"
#include "audio/song_source.h"

namespace tap {
namespace {

constexpr double RATE = 48000;
constexpr int PERIOD = 256;

/// A stream whose output clock runs `ppm` parts per million away from the
/// stream clock the reports and readings use, with `jitter_ms` of noise on
/// each report's time; `hold_at` frames in, the song stalls for `hold`
/// frames (an underrun); every `late_every`th callback is woken `late_ms`
/// late and stamps its buffer that late, the next one catching up but for
/// a millisecond. Tells what frame is really heard at any time.
struct FakeStream {
  double ppm, jitter_ms;
  std::int64_t hold_at = -1, hold = 0;
  int late_every = 0;
  double late_ms = 0;

  double true_rate() const { return RATE * (1 + ppm * 1e-6); }
  // The song frame heard at output frame `played` (silence during the hold).
  double song_frame(double output_frame) const {
    if (hold_at < 0 || output_frame < static_cast<double>(hold_at)) return output_frame;
    return std::fmax(static_cast<double>(hold_at), output_frame - static_cast<double>(hold));
  }
  double heard_at(double time) const { return song_frame(time * true_rate()); }
};

TEST(SongPosition, FollowsTheOutputsClockOverAWholeSong) {
  struct Case {
    FakeStream stream;
    double max_error_ms;
  };
  const Case cases[] = {
      {{0, 0}, 0.001},
      {{500, 0}, 0.05},                      // 500 ppm fast: 90 ms over 3 minutes on the system clock
      {{-500, 0}, 0.05},                     // and slow
      {{200, 0.5}, 0.5},                     // callbacks woken late or early: no worse than that
      {{-500, 0.2, 48000 * 60, 4800}, 0.2},  // 100 ms underrun a minute in
      {{100, 0.05, -1, 0, 8, 6}, 0.3},       // a callback kept off the CPU now and then
      {{100, 0.05, 48000 * 60, 4800, 8, 6}, 0.3},
  };
  for (const Case& c : cases) {
    std::mt19937 random(7);
    std::uniform_real_distribution<double> noise(-c.stream.jitter_ms / 1000, c.stream.jitter_ms / 1000);
    std::vector<OutputReport> all;
    double worst = 0, naive_worst = 0;
    std::int64_t played = 0;  // song frames before each buffer, as the callback counts them
    for (std::int64_t output = 0; output < 48000 * 180; output += PERIOD) {
      double dac = static_cast<double>(output) / c.stream.true_rate();
      played = static_cast<std::int64_t>(c.stream.song_frame(static_cast<double>(output)));
      // From when the board is full: the song's first buffers are silence.
      int phase = c.stream.late_every > 0 && all.size() >= ReportBoard::SIZE
                      ? static_cast<int>(all.size()) % c.stream.late_every
                      : -1;
      double late = phase == 0 ? c.stream.late_ms / 1000 : phase == 1 ? 0.001 : 0;
      all.push_back({dac + noise(random) + late, played});
      // A tap somewhere in this buffer, read against the latest reports.
      double tap = dac + (static_cast<double>(random() % PERIOD) / RATE);
      int count = static_cast<int>(std::min<std::size_t>(all.size(), ReportBoard::SIZE));
      double frame = output_frame_at(tap, &all[all.size() - static_cast<std::size_t>(count)], count, RATE);
      // Only where the song plays: inside the hold it is frozen.
      if (c.stream.hold_at >= 0 && output >= c.stream.hold_at && output < c.stream.hold_at + c.stream.hold + 8 * PERIOD)
        continue;
      worst = std::fmax(worst, std::fabs(frame - c.stream.heard_at(tap)) / RATE * 1000);
      naive_worst = std::fmax(naive_worst, std::fabs(tap * RATE - c.stream.heard_at(tap)) / RATE * 1000);
    }
    EXPECT_LT(worst, c.max_error_ms) << c.stream.ppm << " ppm, jitter " << c.stream.jitter_ms << ", late "
                                     << c.stream.late_ms;
    if (c.stream.ppm == 500) {
      EXPECT_GT(naive_worst, 80) << "the system clock alone drifts";
    }
  }
}

TEST(SongPosition, SongMillisecondsTruncatedOnceFromTheSongsBeginning) {
  // One report: output frame 0 is heard at stream time 10 s.
  const OutputReport heard[] = {{10.0, 0}};
  struct Case {
    double stream_time, start_seconds, song_seconds_per_frame, offset_ms;
    std::int32_t expected;
  };
  const Case cases[] = {
      {10.0, 0, 1 / RATE, 0, 0},      {10.0333999, 0, 1 / RATE, 0, 33},  // 33.3999 ms stays 33: truncated once
      {9.8995, 0, 1 / RATE, 0, -100},                                    // before the first sample: negative
      {9.99995, 0, 1 / RATE, 0, 0},                                      // toward zero, as to_frame takes it
      {11.0, 30, 1 / RATE, 0, 31000},                                    // --start 30: positions from the beginning
      {12.0, 0, 0.5 / RATE, 0, 1000},                                    // --rate 0.5: two seconds heard, one of song
      {10.5, 0, 1 / RATE, 40, 460},                                      // --offset 40
      {10.5, 0, 1 / RATE, -40, 540},  {10.0 + 3e6, 0, 1 / RATE, 0, 2000000000},  // held in range
  };
  for (const Case& c : cases) {
    std::uint32_t ms =
        song_ms_at(c.stream_time, heard, 1, RATE, c.start_seconds, c.song_seconds_per_frame, c.offset_ms);
    EXPECT_EQ(static_cast<std::int32_t>(ms), c.expected) << c.stream_time;
  }
}

// A review's click is mixed in at the output frame the clock reads its
// note's position at, whatever the speed, the start or the output's rate,
// and mixing in a callback's pieces gives what mixing at once does.
TEST(ClickMixer, EachClickBeginsAtTheFrameItsSongPositionIsPlayedAt) {
  struct Case {
    double start_seconds, speed, output_rate, note_ms;
    std::int64_t expected;  // its first frame, -1: not heard
  };
  const Case cases[] = {
      {0, 1, 48000, 1000, 48000},        {30, 1, 48000, 31000, 48000}, {0, 0.5, 48000, 500, 48000},
      {0, 2, 48000, 1000, 24000},        {0, 1, 44100, 1500, 66150},   {0, 1, 48000, 1000.0 / 3, 16000},
      {0, 0.75, 44100, 100.0 / 3, 1960}, {2, 1, 48000, 1500, -1},  // before the start: not heard
  };
  for (const Case& c : cases) {
    const SongClick clicks[] = {{c.note_ms, 2}};
    ClickMixer pieces(clicks, 1, c.start_seconds, c.speed, c.output_rate, 2);
    ClickMixer whole(clicks, 1, c.start_seconds, c.speed, c.output_rate, 2);
    const std::size_t frames = 100000;
    std::vector<float> by_pieces(2 * frames), at_once(2 * frames);
    for (std::size_t at = 0; at < frames; at += 333)
      pieces.mix(&by_pieces[2 * at], static_cast<std::int64_t>(at), std::min<std::size_t>(333, frames - at));
    whole.mix(at_once.data(), 0, frames);
    EXPECT_EQ(by_pieces, at_once) << c.note_ms;
    auto loud = std::find_if(by_pieces.begin(), by_pieces.end(), [](float v) { return std::fabs(v) > 0.05f; });
    std::int64_t first = loud == by_pieces.end() ? -1 : (loud - by_pieces.begin()) / 2;
    EXPECT_EQ(first, c.expected) << c.note_ms << " ms at " << c.speed;
    if (first < 0) continue;
    double heard_ms = c.start_seconds * 1000 + static_cast<double>(first) * c.speed / c.output_rate * 1000;
    EXPECT_NEAR(heard_ms, c.note_ms, 0.5 * c.speed / c.output_rate * 1000) << "half a frame";
  }
}

TEST(SongPosition, TheBoardGivesTheLatestReportsOldestFirst) {
  ReportBoard board;
  OutputReport out[ReportBoard::SIZE];
  EXPECT_EQ(board.read(out), 0);
  for (int i = 1; i <= 3; ++i) board.publish({i * 1.0, i});
  ASSERT_EQ(board.read(out), 3);
  EXPECT_EQ(out[0].frame, 1);
  EXPECT_EQ(out[2].frame, 3);
  for (int i = 4; i <= 20; ++i) board.publish({i * 1.0, i});
  ASSERT_EQ(board.read(out), ReportBoard::SIZE);
  EXPECT_EQ(out[0].frame, 20 - ReportBoard::SIZE + 1);
  EXPECT_EQ(out[ReportBoard::SIZE - 1].frame, 20);
  EXPECT_EQ(out[ReportBoard::SIZE - 1].dac_time, 20.0);
}

// A server that tells how far its last cycle read, stamped with the moment
// it answered: asked at spread moments (1.5 to 4.5 ms apart, as the
// PulseAudio output asks), the clock keeps within 1 ms of the sink's (0.3
// on average) at a desktop's cycle of 1024 frames and a sound card's drift,
// and when now and then the server answers with a count 2 ms old, a
// cycle behind where one began since, or a few answers running lag behind
// (the server kept off the CPU, then catching up); an account told twice
// (the output hears the last one again as it writes) counts once; a
// server whose accounts are exact (a cycle of one frame) stays exact.
TEST(EarliestAccount, ReadsACycleByCycleAccountAsTheSinkPlays) {
  struct Case {
    int cycle;  // frames
    double ppm;
    int late_every;   // answers; 0: none late
    int running = 1;  // late answers in a row, each less late than the one before
    int told = 1;     // times each account is told
  } cases[] = {{256, 0, 0},    {1024, 0, 0}, {1024, 100, 0},      {1024, -100, 0},  {512, -200, 0},      {256, 0, 150},
               {1024, 0, 150}, {1, 0, 0},    {256, 0, 150, 1, 2}, {256, 0, 100, 4}, {1024, 0, 100, 4, 2}};
  for (const Case& c : cases) {
    std::mt19937 random(7);
    std::uniform_real_distribution<double> gap(0.0015, 0.0045), answer(0.00005, 0.0003);
    double rate = RATE * (1 + c.ppm * 1e-6);
    // The sink's stream time at steady time t, and the server's account of it.
    auto played = [&](double t) { return t * rate / RATE; };
    auto account = [&](double t) { return std::ceil(t * rate / c.cycle) * c.cycle / RATE; };
    EarliestAccount clock;
    double stream = 0;
    EXPECT_FALSE(clock.stream_at(0, stream));
    double worst = 0, sum = 0;
    int readings = 0, answers = 0;
    for (double asked = 10; asked < 12; asked += gap(random)) {
      double answered = asked + answer(random);
      // Late: its count up to 2 ms old, a cycle behind when one began since.
      int into_late = c.late_every > 0 ? ++answers % c.late_every : c.running;
      double late = into_late < c.running ? 0.002 * (c.running - into_late) / c.running : 0;
      for (int told = 0; told < c.told; ++told) clock.add(account(answered - late), answered + told * 1e-6);
      double read_at = answered + gap(random) / 2;
      ASSERT_TRUE(clock.stream_at(read_at, stream));
      if (asked < 10.5) continue;
      worst = std::fmax(worst, std::fabs(stream - played(read_at)));
      sum += stream - played(read_at);
      ++readings;
    }
    std::string row = "cycle " + std::to_string(c.cycle) + ", " + std::to_string(c.ppm) + " ppm, one in " +
                      std::to_string(c.late_every) + " late, " + std::to_string(c.running) + " running, told " +
                      std::to_string(c.told) + " times";
    EXPECT_LT(worst * 1000, 1.0) << row;
    EXPECT_LT(std::fabs(sum / readings) * 1000, 0.3) << row;
  }
}

}  // namespace
// What a decoder that gives no floats gives: 16, 24 and 32-bit samples,
// little-endian and signed.
TEST(WholeSamplesToFloat, ReadsEachSizeLittleEndianAndSigned) {
  const struct {
    int bytes;
    std::vector<unsigned char> in;
    std::vector<float> out;
  } rows[] = {
      {2, {0x00, 0x40, 0x00, 0x80, 0xff, 0xff}, {0.5f, -1.0f, -1.0f / 32768}},
      {3, {0x00, 0x00, 0xc0, 0xff, 0xff, 0x7f}, {-0.5f, 8388607.0f / 8388608}},
      {4, {0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x80}, {0.25f, -1.0f}},
  };
  for (const auto& row : rows) {
    std::vector<float> out(row.out.size());
    whole_samples_to_float(row.in.data(), out.size(), row.bytes, out.data());
    for (std::size_t i = 0; i < out.size(); ++i) EXPECT_FLOAT_EQ(out[i], row.out[i]) << row.bytes << " bytes, " << i;
  }
}

}  // namespace tap
