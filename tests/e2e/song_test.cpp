#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>

#include "audio/song_feeder.h"
#include "audio/song_player.h"
#include "audio/song_source.h"
#include "chart/chart_text.h"
#include "chart/lanes.h"
#include "e2e/e2e_support.h"
#include "e2e/jack_support.h"
#if TAP_RECORDER_PULSE
#include "e2e/pulse_support.h"
#endif

namespace tap::testing {
namespace {

PtySession::Options on_server(const TempDir& dir, const JackServer& server, std::vector<std::string> args) {
  PtySession::Options options = in(dir);
  // Under the sanitizers: the audio libraries' own keeps are told apart by
  // their frames, which only the slow unwinder finds through them.
  options.env.push_back("ASAN_OPTIONS=fast_unwind_on_malloc=0");
  options.env.push_back("LSAN_OPTIONS=print_suppressions=0:suppressions=" AUDIO_LEAK_SUPPRESSIONS);
  options.env.push_back("JACK_DEFAULT_SERVER=" + server.name());
  options.args = std::move(args);
  return options;
}

#if TAP_RECORDER_PULSE
// Through the PulseAudio server alone: JACK is not to be found.
// PipeWire serves the same protocol.
PtySession::Options on_server(const TempDir& dir, const ServerProcess& server, std::vector<std::string> args) {
  PtySession::Options options = in(dir);
  options.env.push_back("ASAN_OPTIONS=fast_unwind_on_malloc=0");
  options.env.push_back("LSAN_OPTIONS=print_suppressions=0:suppressions=" AUDIO_LEAK_SUPPRESSIONS);
  options.env.push_back("JACK_DEFAULT_SERVER=no-such-server");
  options.env.push_back("PULSE_SERVER=" + server.name());
  options.args = std::move(args);
  return options;
}
#endif

class Song : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The server, the listener and the program under test (all started from
    // this thread, which they take their priority from) go before whatever
    // else loads this machine: a server starved of CPU plays late, and the
    // song slips against what its clock says. Without the right to, they
    // run as they are.
    setpriority(PRIO_PROCESS, 0, -10);
    server_ = new JackServer;
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  static JackServer* server_;
};
JackServer* Song::server_ = nullptr;

// A server starved of CPU misses cycles, and the song slips against its
// clock: the run is then tried again.
constexpr int ATTEMPTS = 8;

// Each retry is printed with its reason and kept in SONG_RETRY_LOG, and
// the test command counts the rows that needed one: a program that
// misplaces taps now and then shows as a rising count, not as a pass.
void note_attempt(const std::string& row, int attempt, const std::string& why) {
  std::string line = why.empty() ? "row " + row + ": done at attempt " + std::to_string(attempt)
                                 : "retry " + row + ": attempt " + std::to_string(attempt) + " failed: " + why;
  std::printf("[ ATTEMPT  ] %s\n", line.c_str());
  std::ofstream(SONG_RETRY_LOG, std::ios::app) << line << "\n";
}

// The song played through the tests' own servers, each with its listener
// on what the server played: the same rows on each.
struct SyncRow {
  const char* file;
  int format;
  std::vector<std::string> options;
  double start_ms, rate, offset_ms;
  const char* song_line;  // what names the song before the first prompt
  int channels = 2;
};

std::vector<SyncRow> sync_rows() {
  return {
      {"song.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, {}, 0, 1, 0, "Song: song.wav (0:06.000)"},
      {"song.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, {}, 0, 1, 0, "Song: song.flac (0:06.000)"},
      {"song.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, {}, 0, 1, 0, "Song: song.ogg (0:06.000)"},
      {"song.opus", SF_FORMAT_OGG | SF_FORMAT_OPUS, {}, 0, 1, 0, "Song: song.opus (0:06.000)"},
      {"song.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, {}, 0, 1, 0, "Song: song.mp3 (0:06."},
      // 5.1 with the clicks in the centre channel alone: heard on both sides.
      {"centre.wav",
       SF_FORMAT_WAV | SF_FORMAT_PCM_16,
       {},
       0,
       1,
       0,
       "Song: centre.wav (0:06.000), 6 channels mixed down",
       6},
      {"song.wav",
       SF_FORMAT_WAV | SF_FORMAT_PCM_16,
       {"--start", "1.5"},
       1500,
       1,
       0,
       "Song: song.wav (0:06.000), from 0:01.500"},
      {"song.wav",
       SF_FORMAT_WAV | SF_FORMAT_PCM_16,
       {"--rate", "0.5"},
       0,
       0.5,
       0,
       "Song: song.wav (0:06.000), at 0.5x speed"},
      {"song.wav",
       SF_FORMAT_WAV | SF_FORMAT_PCM_16,
       {"--offset", "40"},
       0,
       1,
       40,
       "Song: song.wav (0:06.000), offset 40 ms"},
      {"song.wav",
       SF_FORMAT_WAV | SF_FORMAT_PCM_16,
       {"--rate=0.5", "--offset=30"},
       0,
       0.5,
       30,
       "Song: song.wav (0:06.000), at 0.5x speed, offset 30 ms"},
      {"song.wav",
       SF_FORMAT_WAV | SF_FORMAT_PCM_16,
       {"--start=0:02", "--rate=1.5", "--offset=-25"},
       2000,
       1.5,
       -25,
       "Song: song.wav (0:06.000), from 0:02.000, at 1.5x speed, offset -25 ms"},
  };
}

// Taps are sent 2 ms after and 1.5 ms before frame boundaries of the song
// the server has played: a tap read 2 ms early, or 1.5 ms late (less the
// time the key takes to reach the program), lands in the wrong frame.
template <typename Server, typename Heard>
void taps_land_in_the_frames_heard(Server*& server, const char* label) {
  ASSERT_TRUE(server->ready()) << label << ": the server did not start";
  for (const SyncRow& c : sync_rows()) {
    std::string name = std::string(label) + " " + c.file + (c.options.empty() ? "" : " " + c.options[0]);
    for (int attempt = 1;; ++attempt) {
      // A server whose estimate of its own cycles went astray stays so for
      // many seconds (the taps of a whole row then lie a millisecond or two
      // off): past the second attempt, a new server.
      if (attempt > 2) {
        delete server;
        server = new Server;
        ASSERT_TRUE(server->ready()) << label << ": the server did not start again";
      }
      TempDir dir;
      ASSERT_TRUE(write_click_song(dir.file(c.file), c.format, 6, 0, c.channels)) << c.file;
      Heard listener(server->name());
      ASSERT_TRUE(listener.connected());
      std::vector<std::string> args = c.options;
      args.push_back(c.file);
      PtySession pty(PROGRAM, on_server(dir, *server, args));
      // An MP3's length is its frames', a little past the song's own: only
      // the line's start is known.
      std::string song_line = c.song_line;
      if (song_line.back() != '.') song_line += "\r\n";
      ASSERT_TRUE(pty.expect(song_line)) << name << ": " << pty.output();
      ASSERT_TRUE(pty.expect(OPENING)) << name << ": " << pty.output();
      pty.send("\r");
      ASSERT_TRUE(listener.wait_for(1)) << name << ": the server played no click";
      // Slowed down, the song's attacks are delayed by as much as the
      // stretch brings them forward; its first sample, with nothing before
      // it, is not brought forward, so it is heard that much later.
      double lead = c.rate == 1 ? 0 : std::max(0.0, -stretch_attack_ms(c.rate)) / c.rate;
      double zero = listener.heard_ms(0) - lead;  // song position start_ms

      // Each tap is sent when the server's own account of the song heard
      // reaches its target, and judged by that account: the server's clock
      // may run off the steady clock, and the song goes at its pace.
      std::vector<double> heard_ms;
      std::vector<bool> judged;
      // The offset is wall time: at --rate R it spans R times as much song.
      double offset_song_ms = c.offset_ms * c.rate;
      int first_frame = static_cast<int>((c.start_ms - offset_song_ms) * 0.03) + 4;
      for (int j = 0; j < 8; ++j) {
        double boundary = (first_frame + 5 * j) * 100.0 / 3.0;
        double target = boundary + (j % 2 == 0 ? 2 : -1.5);
        double after_first = (target + offset_song_ms - c.start_ms) / c.rate;
        sleep_until(zero + after_first - 3);
        double heard = listener.ms_since_first_heard() + lead;
        while (heard < after_first) heard = listener.ms_since_first_heard() + lead;
        long long answer_ns = pty.time_answer(" ", 2000, 200);
        heard_ms.push_back(heard);
        // Judged only when sent on time and answered at once: a program
        // kept off the CPU reads the clock late through no fault of its own.
        judged.push_back(heard - after_first <= 0.5 && answer_ns >= 0 && answer_ns <= 1000000);
      }
      pty.send("\r");
      ASSERT_TRUE(pty.expect("ENTERで終了します\r\n")) << name;
      pty.send("\r");
      EXPECT_EQ(exit_code(pty.wait_exit()), 0) << name;
      std::vector<double> expected_ms;
      for (double heard : heard_ms) expected_ms.push_back(c.start_ms + heard * c.rate - offset_song_ms);
      std::vector<int> frames = lane_frames(read_file(dir.file("ved.txt")), "&space_data=");
      ASSERT_EQ(frames.size(), expected_ms.size()) << name;
      long on_time = std::count(judged.begin(), judged.end(), true);
      int misplaced = 0;
      std::string which;
      for (std::size_t j = 0; j < frames.size(); ++j) {
        int expected = to_frame(static_cast<std::int32_t>(std::trunc(expected_ms[j])));
        if (!judged[j] || frames[j] == expected) continue;
        ++misplaced;
        which += " " + std::to_string(j) + ":" + std::to_string(frames[j]) + " for " + std::to_string(expected);
      }
      // This machine's noise (a starved server, a late test) spoils a run
      // now and then; a program that misplaces taps does it in every run.
      std::string why;
      if (listener.xruns() > 0) why += " the server missed " + std::to_string(listener.xruns()) + " cycles;";
      if (on_time < 6) why += " " + std::to_string(on_time) + " taps of 8 sent and answered on time;";
      if (misplaced > 0) why += " " + std::to_string(misplaced) + " taps in another frame (" + which.substr(1) + ");";
      // A song that ran dry at a loaded server is heard later than its clock.
      bool ran_dry = pty.output().find("the song stopped") != std::string::npos;
      if (ran_dry) why += " the song ran dry at the server;";
      if (!why.empty() && attempt < ATTEMPTS) {
        note_attempt(name, attempt, why);
        continue;
      }
      note_attempt(name, attempt, "");
      EXPECT_EQ(listener.xruns(), 0) << name << ": the server missed cycles in every attempt";
      EXPECT_FALSE(ran_dry) << name << ": the song ran dry in every attempt";
      EXPECT_GE(on_time, 6) << name << ": too few taps sent and answered on time in every attempt";
      for (std::size_t j = 0; j < frames.size(); ++j) {
        double ms = expected_ms[j];
        if (!judged[j]) continue;
        EXPECT_EQ(frames[j], to_frame(static_cast<std::int32_t>(std::trunc(ms))))
            << name << ": tap " << j << " at " << ms << " ms of the song";
      }
      EXPECT_GE(listener.heard(), 2) << name;
      break;
    }
  }
}

// The same rows on a server started for them, which they may start anew.
template <typename Server, typename Heard>
void taps_land_on_a_server_of_their_own(const char* label) {
  Server* server = new Server;
  struct Stop {
    Server*& server;
    ~Stop() { delete server; }
  } stop{server};
  taps_land_in_the_frames_heard<Server, Heard>(server, label);
}

TEST_F(Song, TapsLandInTheFramesOfTheSongPositionHeard) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizers slow the key path by milliseconds: timing is judged in the optimised build";
#endif
  taps_land_in_the_frames_heard<JackServer, Listener>(server_, "JACK");
}

#if TAP_RECORDER_PULSE
// Through PulseAudio, with the program's own output, at a desktop's sink
// latency: what the sink's card took.
TEST_F(Song, OnPulseAudioTapsLandInTheFramesOfTheSongPositionHeard) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizers slow the key path by milliseconds: timing is judged in the optimised build";
#endif
  taps_land_on_a_server_of_their_own<PulseCardServer, SinkReader>("PulseAudio");
}

#if TAP_RECORDER_PIPEWIRE
// Through PipeWire's PulseAudio server, with the program's own output:
// PipeWire's account of what its null sink played.
TEST_F(Song, OnPipeWireTapsLandInTheFramesOfTheSongPositionHeard) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizers slow the key path by milliseconds: timing is judged in the optimised build";
#endif
  taps_land_on_a_server_of_their_own<PipeWireServer, PipeWireListener>("PipeWire");
}
#endif
#endif

// A review mixes its clicks into the song's stream: judged by the samples
// the server played, each note's click begins at the sample of its frame
// in the song. The song's own clicks (every half second, loud from their
// second sample) mark where it is; the notes lie between them.
template <typename Server, typename Heard>
void review_clicks_sound_at_their_notes(Server*& server, const char* label) {
  ASSERT_TRUE(server->ready()) << label << ": the server did not start";
  const std::string chart = crlf({"&left_data=8", "&down_data=23", "&up_data=37", "&right_data=53", "&space_data=68",
                                  "&frzLeft_data=83,98", "&stop_data=", "&speed_data=", "&tuning=Mine", "&mine=1"});
  const std::vector<int> notes = {8, 23, 37, 53, 68, 83, 98};
  const char* const lines[] = {"↓が押されました", "→が押されました",     "←が押されました",
                               "↑が押されました", "SPACEが押されました", "↓が押されました"};
  struct Row {
    std::vector<std::string> options;
    double start_ms, rate;
  };
  const Row rows[] = {{{}, 0, 1}, {{"--start=1.5"}, 1500, 1}, {{"--rate=0.5"}, 0, 0.5}};
  for (const Row& row : rows) {
    std::string name = std::string(label) + " review" + (row.options.empty() ? "" : " " + row.options[0]);
    for (int attempt = 1;; ++attempt) {
      if (attempt > 2) {  // as for the taps: a server astray, past two attempts
        delete server;
        server = new Server;
        ASSERT_TRUE(server->ready()) << label << ": the server did not start again";
      }
      TempDir dir;
      ASSERT_TRUE(write_click_song(dir.file("song.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 4));
      std::ofstream(dir.file("ved.txt"), std::ios::binary) << chart;
      Heard listener(server->name());
      ASSERT_TRUE(listener.connected());
      std::vector<std::string> args = {"--review"};
      args.insert(args.end(), row.options.begin(), row.options.end());
      args.push_back("song.wav");
      PtySession pty(PROGRAM, on_server(dir, *server, args));
      ASSERT_TRUE(pty.expect("Review: 6 notes of ved.txt, each heard as a click in the song; nothing is recorded\r\n" +
                             OPENING))
          << name << ": " << pty.output();
      pty.send("\r");
      ASSERT_TRUE(pty.expect("計測開始！\r\n")) << name;
      std::vector<int> played;
      std::string shown;
      for (std::size_t i = 0; i < notes.size(); ++i) {
        if (frame_ms(notes[i]) < row.start_ms) continue;
        played.push_back(notes[i]);
        if (i < std::size(lines)) shown += std::string(lines[i]) + "\r\n";
      }
      ASSERT_TRUE(pty.expect(shown, 10000)) << name << ": " << pty.output();
      // What is to be heard, in song order: the song's clicks from the
      // start on, and the notes between them.
      struct Onset {
        double song_ms;
        bool note;
      };
      std::vector<Onset> expected;
      for (double ms = row.start_ms; ms < frame_ms(played.back()) + 100; ms += 500) expected.push_back({ms, false});
      for (int frame : played) expected.push_back({frame_ms(frame), true});
      std::sort(expected.begin(), expected.end(), [](const Onset& a, const Onset& b) { return a.song_ms < b.song_ms; });
      listener.wait_for(static_cast<int>(expected.size()), 3000);
      pty.send("\r");
      ASSERT_TRUE(pty.expect("ENTERが押されました\r\nENTERで終了します\r\n")) << name;
      pty.send("\r");
      EXPECT_EQ(exit_code(pty.wait_exit()), 0) << name;
      EXPECT_EQ(read_file(dir.file("ved.txt")), chart) << name << ": the chart is only read";
      EXPECT_FALSE(std::filesystem::exists(dir.file("ved.txt~"))) << name;

      std::string why;
      if (listener.xruns() > 0) why += " the server missed " + std::to_string(listener.xruns()) + " cycles;";
      if (listener.heard() < static_cast<int>(expected.size()))
        why += " " + std::to_string(listener.heard()) + " clicks heard of " + std::to_string(expected.size()) + ";";
      if (!why.empty() && attempt < ATTEMPTS) {
        note_attempt(name, attempt, why);
        continue;
      }
      note_attempt(name, attempt, "");
      EXPECT_EQ(listener.xruns(), 0) << name << ": the server missed cycles in every attempt";
      ASSERT_GE(listener.heard(), static_cast<int>(expected.size())) << name;
      // Output frames from the song position, at the song's rate (the
      // server's, too); the song's clicks are heard from their second
      // sample, the notes' from their first. The song's second click marks
      // it: slowed down, its first sample is heard late by the stretch's
      // lead (it has nothing before it to bring forward).
      auto frames_at = [&](double song_ms) { return std::llround((song_ms - row.start_ms) / 1000 / row.rate * RATE); };
      int mark = 0;
      for (int seen = 0; seen < 2; ++mark) seen += expected[static_cast<std::size_t>(mark)].note ? 0 : 1;
      --mark;
      int first_note = -1;
      for (int k = 0; k < static_cast<int>(expected.size()); ++k) {
        const Onset& onset = expected[static_cast<std::size_t>(k)];
        if (!onset.note) continue;
        if (first_note < 0) first_note = k;
        // From the song's click: to the sample at full speed; slowed, the
        // song's own click comes through the stretch a little off.
        double tolerance = row.rate == 1 ? 1 : RATE * 0.0017 / row.rate;
        std::int64_t mark_frames = frames_at(expected[static_cast<std::size_t>(mark)].song_ms) + 1;
        EXPECT_NEAR(static_cast<double>(listener.heard_frame(k) - listener.heard_frame(mark)),
                    static_cast<double>(frames_at(onset.song_ms) - mark_frames), tolerance)
            << name << ": the note at " << onset.song_ms << " ms, from the song's click";
        // From the first note's click: to the sample at any speed.
        EXPECT_NEAR(static_cast<double>(listener.heard_frame(k) - listener.heard_frame(first_note)),
                    static_cast<double>(frames_at(onset.song_ms) -
                                        frames_at(expected[static_cast<std::size_t>(first_note)].song_ms)),
                    1)
            << name << ": the note at " << onset.song_ms << " ms, from the first note";
      }
      break;
    }
  }
}

TEST_F(Song, ReviewClicksSoundAtTheSamplesOfTheirNotes) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizers slow the feeder and the card's reader: the samples are judged in the optimised build";
#endif
  review_clicks_sound_at_their_notes<JackServer, Listener>(server_, "JACK");
#if TAP_RECORDER_PULSE
  PulseCardServer* pulse = new PulseCardServer;
  review_clicks_sound_at_their_notes<PulseCardServer, SinkReader>(pulse, "PulseAudio");
  delete pulse;
#endif
}

// A chart made in three takes of one song, as a user makes it: the whole
// song, a section again from --start, then the space lane alone. Each take
// replaces the notes of its lanes over the time it covered, and leaves the
// rest, and the user's own lines, as they were.
TEST_F(Song, ThreeTakesMakeOneChart) {
  ASSERT_TRUE(server_->ready()) << "jackd did not start";
  TempDir dir;
  ASSERT_TRUE(write_click_song(dir.file("song.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 6));
  // Keys sent at these wall milliseconds after the start ENTER, then ENTER.
  struct Take {
    std::vector<std::string> args;
    std::vector<std::pair<int, const char*>> keys;
    int end_ms;
  };
  auto take = [&](const Take& t) {
    std::vector<std::string> args = t.args;
    args.push_back("song.wav");
    PtySession pty(PROGRAM, on_server(dir, *server_, args));
    ASSERT_TRUE(pty.expect(OPENING)) << pty.output();
    pty.send("\r");
    ASSERT_TRUE(pty.expect("計測開始！\r\n")) << pty.output();
    auto started = std::chrono::steady_clock::now();
    for (const auto& [at_ms, key] : t.keys) {
      std::this_thread::sleep_until(started + std::chrono::milliseconds(at_ms));
      pty.send(key);
    }
    std::this_thread::sleep_until(started + std::chrono::milliseconds(t.end_ms));
    pty.send("\r");
    ASSERT_TRUE(pty.expect("ENTERで終了します\r\n")) << pty.output();
    pty.send("\r");
    EXPECT_EQ(exit_code(pty.wait_exit()), 0) << pty.output();
  };
  auto lane = [&](const char* label) { return lane_frames(read_file(dir.file("ved.txt")), label); };
  auto near = [](const std::vector<int>& frames, std::vector<int> expected) {
    if (frames.size() != expected.size()) return false;
    for (std::size_t i = 0; i < frames.size(); ++i)
      if (std::abs(frames[i] - expected[i]) > 3) return false;
    return true;
  };

  take({{}, {{500, " "}, {1000, "\x1b[D"}, {2500, " "}, {3500, " "}}, 4000});
  std::vector<int> space = lane("&space_data="), up = lane("&up_data=");
  ASSERT_TRUE(near(space, {15, 75, 105}) && near(up, {30})) << read_file(dir.file("ved.txt"));
  // The user's own line, and a tuning of their own.
  std::string chart = read_file(dir.file("ved.txt"));
  chart.replace(chart.find("&tuning=Name"), 12, "&tuning=Mine");
  chart.insert(chart.find("&stop_data="), "&mine=1\r\n");
  std::ofstream(dir.file("ved.txt"), std::ios::binary) << chart;

  // From 2 s to about 3 s: space's 75 gives way, a right arrow (the down
  // lane) comes in; before and after, all stays.
  take({{"--merge", "--start=2"}, {{500, "\x1b[C"}}, 1000});
  std::vector<int> down = lane("&down_data=");
  EXPECT_EQ(lane("&space_data="), (std::vector<int>{space[0], space[2]}));
  EXPECT_EQ(lane("&up_data="), up);
  EXPECT_TRUE(near(down, {75})) << read_file(dir.file("ved.txt"));

  // The space lane alone, from 0 to about 2.5 s: its 15 gives way to two
  // new taps; the arrow is no tap of this take; the other lanes stay.
  take({{"--merge", "--lanes=space"}, {{1000, " "}, {1500, "\x1b[D"}, {2000, " "}}, 2500});
  std::vector<int> final_space = lane("&space_data=");
  ASSERT_EQ(final_space.size(), 3u) << read_file(dir.file("ved.txt"));
  EXPECT_TRUE(near({final_space[0], final_space[1]}, {30, 60})) << read_file(dir.file("ved.txt"));
  EXPECT_EQ(final_space[2], space[2]);
  EXPECT_EQ(lane("&up_data="), up);
  EXPECT_EQ(lane("&down_data="), down);
  std::string last = read_file(dir.file("ved.txt"));
  EXPECT_NE(last.find("\r\n&mine=1\r\n&stop_data=\r\n&speed_data=\r\n&tuning=Mine\r\n"), std::string::npos) << last;
}

TEST_F(Song, CalibrationTellsTheOffsetOfTheTapsOnTheClicks) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizers slow the key path by milliseconds: timing is judged in the optimised build";
#endif
  ASSERT_TRUE(server_->ready()) << "jackd did not start";
  struct Case {
    int taps;
    double late_ms;
    double scatter_ms;  // every other tap this much later, the others as much earlier
    int exit_code;
    const char* result;  // the end of the output
  };
  const Case cases[] = {
      {8, 30, 0, 0,
       "Your taps come ([0-9.]+) ms after the clicks on average [(]spread [01][.][0-9] ms over 8 taps[)][.]\r\n"
       "Use --offset (29|30|31)\r\n$"},
      {3, -20, 0, 65, "Too few taps near the clicks [(]3 of 16[)] to tell an offset: run --calibrate again[.]\r\n$"},
      {8, 30, 40, 65,
       "Your taps come ([0-9.]+) ms after the clicks on average [(]spread (3[89]|4[0-2])[.][0-9] ms over 8 "
       "taps[)][.]\r\n"
       "A spread of 30 ms or more is too wide to tell an offset: run --calibrate again, tapping along with the "
       "clicks[.]\r\n$"},
  };
  for (const Case& c : cases) {
    for (int attempt = 1;; ++attempt) {
      TempDir dir;
      Listener listener(server_->name());
      PtySession pty(PROGRAM, on_server(dir, *server_, {"--calibrate"}));
      ASSERT_TRUE(pty.expect("and press ENTER again once the clicks have stopped.\r\n")) << pty.output();
      pty.send("\r");
      ASSERT_TRUE(listener.wait_for(1)) << "the server played no click";
      pty.send("\x1b[D");  // an arrow is no tap, and is told so
      ASSERT_TRUE(pty.expect("not a tap: tap SPACE on the clicks\r\n")) << pty.output();
      for (int k = 0; k < c.taps; ++k) {
        // Late taps follow the click each was heard at; early ones go by
        // the first, half a second a click.
        if (c.late_ms >= 0) {
          ASSERT_TRUE(listener.wait_for(k + 1)) << k;
          sleep_until(listener.heard_ms(k) + c.late_ms + (k % 2 == 0 ? c.scatter_ms : -c.scatter_ms));
        } else {
          sleep_until(listener.heard_ms(0) + 500 * (k + 1) + c.late_ms);
        }
        pty.send(" ");
        ASSERT_TRUE(pty.expect("tap " + std::to_string(k + 1) + ": ")) << k;
      }
      pty.send("\r");
      EXPECT_EQ(exit_code(pty.wait_exit()), c.exit_code) << c.taps;
      std::string row = "calibration with " + std::to_string(c.taps) + (c.scatter_ms > 0 ? " scattered taps" : " taps");
      std::string why = std::string(listener.xruns() > 0 ? " the server missed cycles;" : "") +
                        (listener.clock_held() ? "" : " the server's clock wandered;");
      if (!why.empty() && attempt < ATTEMPTS) {
        note_attempt(row, attempt, why);
        continue;
      }
      note_attempt(row, attempt, "");
      ASSERT_EQ(listener.xruns(), 0) << "the server missed cycles in every attempt";
      ASSERT_TRUE(listener.clock_held()) << "the server's clock wandered in every attempt";
      pty.drain(50);
      std::string text;
      for (const std::string& line : pty.lines()) text += line + "\r\n";
      std::smatch match;
      ASSERT_TRUE(std::regex_search(text, match, std::regex(c.result))) << text;
      if (c.taps >= 4) {
        EXPECT_NEAR(std::stod(match[1].str()), c.late_ms, 2.0) << pty.output();
      }
      EXPECT_FALSE(std::filesystem::exists(dir.file("ved.txt")));
      EXPECT_TRUE(same_mode(pty.mode(), pty.initial_mode()));
      break;
    }
  }
}

template <typename Server>
void an_output_that_goes_away_costs_no_tap(std::vector<std::string> args = {}) {
  Server own;
  ASSERT_TRUE(own.ready()) << "the server did not start";
  TempDir dir;
  ASSERT_TRUE(write_click_song(dir.file("song.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 6));
  args.push_back("song.wav");
  PtySession pty(PROGRAM, on_server(dir, own, args));
  ASSERT_TRUE(pty.expect(OPENING));
  pty.send("\r");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  pty.send(" ");
  ASSERT_TRUE(pty.expect("SPACEが押されました\r\n"));
  own.stop();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  pty.send("\x1b[D");
  ASSERT_TRUE(
      pty.expect("tap-recorder: the song stopped (the audio output stopped answering); the taps are still "
                 "recorded\r\n←が押されました\r\n"))
      << pty.output();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  pty.send(" \r");
  ASSERT_TRUE(pty.expect("ENTERで終了します\r\n"));
  pty.send("\r");
  EXPECT_EQ(exit_code(pty.wait_exit()), 0);
  std::string chart = read_file(dir.file("ved.txt"));
  std::vector<int> space = lane_frames(chart, "&space_data="), left = lane_frames(chart, "&up_data=");
  ASSERT_EQ(space.size(), 2u) << chart;
  ASSERT_EQ(left.size(), 1u) << chart;
  // The song's clock goes on from its last report: 300 ms, 9 frames, apart.
  EXPECT_NEAR(left[0] - space[0], 9, 2) << chart;
  EXPECT_NEAR(space[1] - left[0], 9, 2) << chart;
  // The program's own lines and nothing else: no library's notes on the
  // server gone.
  pty.drain(50);
  const std::regex program_line(
      "Song: .*|ENTER.*|終了.*|計測開始！|.*が押されました|tap-recorder: the song stopped .*|Can Open File|&.*|"
      "That's All !!");
  for (const std::string& line : pty.lines()) EXPECT_TRUE(std::regex_match(line, program_line)) << line;
}

TEST_F(Song, AnOutputThatGoesAwayCostsNoTap) { an_output_that_goes_away_costs_no_tap<JackServer>(); }

#if TAP_RECORDER_PULSE
TEST_F(Song, OnPulseAudioAServerThatGoesAwayCostsNoTap) {
  an_output_that_goes_away_costs_no_tap<PulseServer>();
  // Through ALSA's plugin, whose library has much to say of it.
  an_output_that_goes_away_costs_no_tap<PulseServer>({"--device", "ALSA: pulse"});
}

// The server's sinks are listed by their descriptions first, its default
// the default, and --device takes those names; ALSA's devices that lead
// into a sound server are told apart.
TEST_F(Song, OnPulseAudioTheSinksAreListedAndNamed) {
  PulseServer pulse;
  ASSERT_TRUE(pulse.ready());
  struct Case {
    std::vector<std::string> args;
    int exit_code;
    std::string first_line;
  };
  const Case cases[] = {
      {{"--list-devices"}, 0, "PulseAudio: Null (default)"},
      {{"--device", "PulseAudio: Null", "song.wav"}, 0, "Song: song.wav (0:06.000)"},
      {{"--device=Null", "song.wav"}, 0, "Song: song.wav (0:06.000)"},
      {{"--device", "PulseAudio: Nowhere", "song.wav"},
       69,
       "tap-recorder: no audio output named 'PulseAudio: Nowhere' (see --list-devices)"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    ASSERT_TRUE(write_click_song(dir.file("song.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 6));
    PtySession pty(PROGRAM, on_server(dir, pulse, c.args));
    if (c.args[0] != "--list-devices" && c.exit_code == 0) {
      ASSERT_TRUE(pty.expect(OPENING)) << pty.output();
      pty.send("\r\r");
      ASSERT_TRUE(pty.expect("ENTERで終了します\r\n")) << pty.output();
      pty.send("\r");
    }
    EXPECT_EQ(exit_code(pty.wait_exit()), c.exit_code) << c.args[0];
    pty.drain(50);
    ASSERT_FALSE(pty.lines().empty()) << c.args[0];
    EXPECT_EQ(pty.lines()[0], c.first_line) << c.args[0];
    if (c.args[0] == "--list-devices") {
      std::string all = pty.output();
      if (all.find("ALSA: pulse") != std::string::npos) {
        EXPECT_NE(all.find("ALSA: pulse (timing by ALSA's plugin, not by the sound server)"), std::string::npos) << all;
      }
    }
  }
}
#endif

#if TAP_RECORDER_PIPEWIRE
// PipeWire's server is asked for its account every few milliseconds: a
// stream closed at any moment leaves an answer on its way, which must find
// nothing of the stream (the program died of an abort at its exit, and so
// would this test).
TEST_F(Song, OnPipeWireAStreamClosedAtAnyMomentEndsCleanly) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "in this process the leak checker finds what ALSA's plugins keep, unloaded and so unnamed: "
                  "the close is checked in the optimised build";
#endif
  PipeWireServer server;
  ASSERT_TRUE(server.ready());
  setenv("PULSE_SERVER", server.name().c_str(), 1);
  setenv("JACK_DEFAULT_SERVER", "no-such-server", 1);
  for (int i = 0; i < 150; ++i) {
    SongOptions options;
    options.rate = i % 2 == 0 ? 1 : 0.5;
    SongError error;
    std::unique_ptr<SongClock> clock = open_song_player(make_click_track(48000, 0, 500, 20), options, error);
    ASSERT_NE(clock, nullptr) << error.text;
    clock->start_capture();
    std::this_thread::sleep_for(std::chrono::microseconds(500 * (i % 17)));
    clock->elapsed_ms();
  }
  unsetenv("PULSE_SERVER");
  unsetenv("JACK_DEFAULT_SERVER");
}
#endif

// The first half of a song's bytes, as a download cut short leaves it.
bool write_cut_song(const std::string& path, int format) {
  if (!write_click_song(path + ".whole", format, 6, 0.2)) return false;
  std::ifstream whole(path + ".whole", std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(whole)), std::istreambuf_iterator<char>());
  std::filesystem::remove(path + ".whole");
  return static_cast<bool>(std::ofstream(path, std::ios::binary).write(bytes.data(), bytes.size() / 2));
}

// What decodes of it, "%.3f" seconds: its length.
std::string decoded_length(int format) {
  TempDir dir;
  std::string path = dir.file("cut");
  SF_INFO info{};
  SNDFILE* file = write_cut_song(path, format) ? sf_open(path.c_str(), SFM_READ, &info) : nullptr;
  if (file == nullptr) return "(none)";
  std::vector<float> buffer(4096 * static_cast<std::size_t>(info.channels));
  sf_count_t frames = 0;
  for (sf_count_t got; (got = sf_readf_float(file, buffer.data(), 4096)) > 0;) frames += got;
  sf_close(file);
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", static_cast<double>(frames) / RATE);
  return text;
}

TEST_F(Song, WhatCannotBePlayedIsToldBeforeTheTerminalIsTouched) {
  ASSERT_TRUE(server_->ready()) << "jackd did not start";
  struct Case {
    std::vector<std::string> args;
    bool on_our_server;
    int exit_code;
    std::string line;
  };
  const Case cases[] = {
      {{"missing.wav"}, true, 66, "tap-recorder: cannot play 'missing.wav': No such file or directory"},
      {{"text.wav"},
       true,
       66,
       "tap-recorder: cannot play 'text.wav': not an audio file this program reads (Format not recognised.)"},
      {{"--rate", "3", "song.wav"}, true, 64, "tap-recorder: --rate takes a speed from 0.25 to 2 (not '3')"},
      {{"--start", "0:09", "song.wav"}, true, 64, "tap-recorder: --start 9.000 s is past the song's end (6.000 s)"},
      // Far past any song: the frame number would overflow.
      {{"--start", "1e308", "song.wav"}, true, 64, "tap-recorder: --start 1e+308 s is past the song's end (6.000 s)"},
      {{"--start=2.1e14", "song.wav"}, true, 64, "tap-recorder: --start 2.1e+14 s is past the song's end (6.000 s)"},
      // Cut short, an Ogg file has no length to tell: it is what decodes.
      {{"--start", "9", "cut.ogg"},
       true,
       64,
       "tap-recorder: --start 9.000 s is past the song's end (" + decoded_length(SF_FORMAT_OGG | SF_FORMAT_VORBIS) +
           " s)"},
      {{"--start", "9", "cut.opus"},
       true,
       64,
       "tap-recorder: --start 9.000 s is past the song's end (" + decoded_length(SF_FORMAT_OGG | SF_FORMAT_OPUS) +
           " s)"},
      {{"text.mp3"}, true, 66, "tap-recorder: cannot play 'text.mp3': not an audio file this program reads"},
      // What is no file: at once, where a FIFO's open would wait for ever.
      {{"fifo.wav"}, true, 66, "tap-recorder: cannot play 'fifo.wav': it is a named pipe (FIFO), not a song file"},
      {{"."}, true, 66, "tap-recorder: cannot play '.': it is a directory, not a song file"},
      {{"--device", "nowhere", "song.wav"},
       true,
       69,
       "tap-recorder: no audio output named 'nowhere' (see --list-devices)"},
      {{"song.wav"}, false, 69, "tap-recorder: no audio output: no output device found"},
      {{"--list-devices"}, false, 69, "tap-recorder: no audio output: no output device found"},
      {{"--list-devices"}, true, 0, "JACK Audio Connection Kit: system (default)"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    ASSERT_TRUE(write_click_song(dir.file("song.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 6));
    std::ofstream(dir.file("text.wav")) << "not a song\n";
    std::ofstream(dir.file("text.mp3")) << "not a song\n";
    mkfifo(dir.file("fifo.wav").c_str(), 0600);
    ASSERT_TRUE(write_cut_song(dir.file("cut.ogg"), SF_FORMAT_OGG | SF_FORMAT_VORBIS));
    ASSERT_TRUE(write_cut_song(dir.file("cut.opus"), SF_FORMAT_OGG | SF_FORMAT_OPUS));
    PtySession::Options options = on_server(dir, *server_, c.args);
    if (!c.on_our_server) options.env.back() = "JACK_DEFAULT_SERVER=no-such-server";
    PtySession pty(PROGRAM, options);
    std::string shown = c.args[0] + (c.on_our_server ? "" : " (no server)");
    EXPECT_EQ(exit_code(pty.wait_exit()), c.exit_code) << shown;
    pty.drain(50);
    std::vector<std::string> lines = pty.lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), c.line), lines.end()) << shown << ": " << pty.output();
    EXPECT_EQ(pty.output().find("ENTERで"), std::string::npos) << shown;
    // Only the program's own lines: no decoder's or audio library's notes.
    for (const std::string& line : lines) {
      EXPECT_TRUE(line.rfind("tap-recorder", 0) == 0 || line.rfind("JACK", 0) == 0 || line.rfind("ALSA", 0) == 0)
          << shown << ": " << line;
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("ved.txt"))) << shown;
    EXPECT_TRUE(same_mode(pty.mode(), pty.initial_mode())) << shown;
  }
}

// The song adds threads, not allocations: nothing in the whole process,
// the decoder and the audio callback included, allocates between the start
// ENTER and the end of the capture; nor does a take into the chart there,
// one lane of it, snapped to a grid.
TEST_F(Song, NothingIsAllocatedDuringTheCaptureWithTheSongPlaying) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's allocator cannot be counted by preloading";
#else
  ASSERT_TRUE(server_->ready()) << "jackd did not start";
  const std::vector<std::string> rows[] = {{"song.wav"},
                                           {"--merge", "--lanes=left", "--bpm=120", "--snap=4", "song.wav"}};
  for (const std::vector<std::string>& args : rows) {
    TempDir dir;
    ASSERT_TRUE(write_click_song(dir.file("song.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 6, 0.02));
    std::ofstream(dir.file("ved.txt"), std::ios::binary) << crlf({"&left_data=200", "&space_data=10"});
    PtySession::Options options = on_server(dir, *server_, args);
    options.env.push_back(std::string("LD_PRELOAD=") + ALLOC_COUNTER_LIBRARY);
    options.env.push_back("ALLOC_COUNT_FILE=" + dir.file("counts"));
    PtySession pty(PROGRAM, options);
    ASSERT_TRUE(pty.expect(OPENING)) << args[0] << ": " << pty.output();
    pty.send("\r");
    ASSERT_TRUE(pty.expect("計測開始！\r\n")) << args[0];
    for (int i = 0; i < 100; ++i) {
      pty.send(i % 2 ? " " : "\x1b[D");
      pty.drain(15);  // 1.5 s: the song is decoded and played all the while
    }
    pty.send("\r");
    ASSERT_TRUE(pty.expect("ENTERで終了します\r\n")) << args[0];
    pty.send("\r");
    ASSERT_EQ(exit_code(pty.wait_exit()), 0) << args[0] << ": " << pty.output();
    SCOPED_TRACE(args[0]);
    expect_no_allocation_in_capture(dir.file("counts"));
  }
#endif
}

}  // namespace
}  // namespace tap::testing
