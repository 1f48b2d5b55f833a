#include "recorder/recorder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>

#include "console/virtual_keys.h"
#include "recorder/review.h"
#include "test_support.h"

namespace tap {
namespace {

using testing::CapturedConsole;
using testing::read_file;
using testing::TempDir;

/// read_key's codes from a script; when the script runs out the terminal is
/// gone, as at the end of input.
class ScriptedKeys final : public KeySource {
 public:
  explicit ScriptedKeys(std::vector<int> codes, ReaderFault end = ReaderFault::terminal_lost, int signal = 0,
                        bool console_closed = false)
      : codes_(std::move(codes)), end_(end), signal_(signal), console_closed_(console_closed) {}

  int read_key() override {
    ++reads;
    if (next_ < codes_.size()) return codes_[next_++];
    status_.fault = end_;
    status_.signal_number = signal_;
    status_.console_closed = console_closed_;
    std::snprintf(status_.detail, sizeof status_.detail, "%s", signal_ != 0 ? "SIGTERM" : "end of input");
    return -1;
  }
  const KeyReaderStatus& status() const override { return status_; }
  // Before each code, `idle` waits that see no key.
  bool key_ready(int) override {
    if (waited_ < idle) {
      ++waited_;
      return false;
    }
    waited_ = 0;
    return true;
  }

  std::size_t reads = 0;
  int idle = 0;

 private:
  std::vector<int> codes_;
  std::size_t next_ = 0;
  int waited_ = 0;
  ReaderFault end_;
  int signal_;
  bool console_closed_;
  KeyReaderStatus status_;
};

/// Time moves 37 ms per reading (never a multiple of 100), starting at `start`; each reading notes how
/// many console lines were out at the moment it was taken.
class FakeClock final : public TimeSource {
 public:
  FakeClock(const CapturedConsole& console, std::uint32_t start) : console_(console), now_(start) {}
  std::uint32_t elapsed_ms() override {
    lines_out_at_reading.push_back(console_.lines.size());
    if (lines_out_at_reading.size() <= readings.size()) now_ = readings[lines_out_at_reading.size() - 1];
    std::uint32_t reading = now_;
    now_ += 37;
    return reading;
  }
  void stop_capture() override { ++stops; }
  // A song whose output stops after `notice_after` readings.
  const char* take_notice() override {
    if (notice_after < 0 || static_cast<int>(lines_out_at_reading.size()) < notice_after) return nullptr;
    notice_after = -1;
    return "the song stopped";
  }
  std::vector<std::size_t> lines_out_at_reading;
  std::vector<std::uint32_t> readings;  // the first readings, where given
  double rate() const override { return song_rate; }
  double song_rate = 1.0;
  int stops = 0;
  int notice_after = -1;

 private:
  const CapturedConsole& console_;
  std::uint32_t now_;
};

using testing::crlf;

const std::vector<std::string> EMPTY_LANES = {
    "&left_data=", "&down_data=", "&up_data=", "&right_data=", "&space_data="};

std::vector<std::string> join(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

struct RecorderRun {
  TempDir dir;
  CapturedConsole console;
  FakeClock clock{console, 5000};
  int exit_code = -99;
  std::string chart() const { return read_file(dir.file("ved.txt")); }
  bool chart_exists() const { return std::filesystem::exists(dir.file("ved.txt")); }
};

int run_recorder(RecorderRun& run, KeySource& keys, TextEncoding encoding = TextEncoding::utf8) {
  std::string path = run.dir.file("ved.txt");
  // The Recorder is large; keep it off the test's stack.
  auto recorder = std::make_unique<Recorder>(keys, run.clock, run.console, encoding, path.c_str());
  run.exit_code = recorder->run();
  return run.exit_code;
}

const std::vector<std::string> OPENING = {"ENTERで計測を開始します", "終了時にENTERで出力します"};
const std::vector<std::string> CLOSING = {"That's All !!", "ENTERで終了します", "終了！"};

TEST(Recorder, WholeDialogueRecordsEachArrowInItsRotatedLane) {
  RecorderRun run;
  // clang-format off
  ScriptedKeys keys({'a', 0, 75, 32, -1,  // before the start: ignored silently
                     13,
                     0, 75, 0, 80, 0, 72, 0, 77, 32,  // left, down, up, right, space
                     'x', 0, 59, -1, 3, 10, 0, 115, 0, 155,  // letter, F1, byte 255, Ctrl+C, Ctrl+J, Ctrl/Alt+Left
                     32, 13,
                     'q', 0, 72, 13});
  // clang-format on
  EXPECT_EQ(run_recorder(run, keys), EXIT_DONE);

  const std::string other = "何らかのキーが押されました";
  EXPECT_EQ(run.console.lines, join({OPENING,
                                     {"計測開始！", "←が押されました", "↓が押されました", "↑が押されました",
                                      "→が押されました", "SPACEが押されました", other, other, other, other, other,
                                      other, other, "SPACEが押されました", "ENTERが押されました", "Can Open File"},
                                     {"&left_data=2", "&down_data=4", "&up_data=1", "&right_data=3", "&space_data=5,6"},
                                     testing::FIXED_CHART_LINES,
                                     CLOSING}));
  EXPECT_EQ(run.chart(), crlf({"&left_data=2", "&down_data=4", "&up_data=1", "&right_data=3", "&space_data=5,6",
                               "&frzLeft_data=", "&frzDown_data=", "&frzUp_data=", "&frzRight_data=", "&frzSpace_data=",
                               "&stop_data=", "&speed_data=", "&tuning=Name"}));
  EXPECT_TRUE(run.console.errors.empty());
  EXPECT_EQ(keys.reads, 31u);  // everything, and nothing after the last ENTER
}

TEST(Recorder, ATakeOfSomeLanesAnswersAKeyOfAnotherAsAnyOtherAndMergesAtItsEnd) {
  RecorderRun run;
  std::string path = run.dir.file("ved.txt");
  std::ofstream(path, std::ios::binary) << "&up_data=1,2,90000\r\n&down_data=3,90000\r\n&mine=x\r\n";
  ChartText old;
  char why[200];
  ASSERT_TRUE(read_chart(path.c_str(), old, why, sizeof why)) << why;
  ChartStage stage;
  stage.merge_into = &old;
  stage.lanes = 1u << static_cast<int>(Lane::down) | 1u << static_cast<int>(Lane::space);
  ScriptedKeys keys({13, 0, 75, 0, 77, 32, 13, 13});  // left (Up), right (Down), space
  auto recorder = std::make_unique<Recorder>(keys, run.clock, run.console, TextEncoding::utf8, path.c_str());
  recorder->set_chart_stage(stage);
  EXPECT_EQ(recorder->run(), EXIT_DONE);
  EXPECT_EQ(recorder->press_log().count, 3);
  std::vector<std::string> shown(run.console.lines.begin() + 3, run.console.lines.begin() + 7);
  EXPECT_EQ(shown, (std::vector<std::string>{"何らかのキーが押されました", "→が押されました", "SPACEが押されました",
                                             "ENTERが押されました"}));
  // Taps at 37 and 74 ms (frames 1 and 2), the end at 111 ms (3): Up is
  // not the take's and keeps its notes; Down's past the end stay.
  std::string chart = run.chart();
  for (const char* line : {"&up_data=1,2,90000\r\n", "&down_data=1,90000\r\n&mine=x\r\n", "&space_data=2\r\n"})
    EXPECT_NE(chart.find(line), std::string::npos) << line << " in " << chart;
}

int run_recorder_with_holds(RecorderRun& run, KeySource& keys, int threshold_ms,
                            Recorder::HoldsFrom from = Recorder::HoldsFrom::releases) {
  std::string path = run.dir.file("ved.txt");
  auto recorder = std::make_unique<Recorder>(keys, run.clock, run.console, TextEncoding::utf8, path.c_str());
  recorder->set_holds(threshold_ms, from);
  run.exit_code = recorder->run();
  return run.exit_code;
}

TEST(Recorder, AKeyHeldPastTheThresholdIsAHoldFromItsPressToItsRelease) {
  constexpr int RELEASED = CODE_RELEASED;
  struct Case {
    const char* name;
    int threshold_ms;
    Recorder::HoldsFrom from;
    std::vector<std::uint32_t> readings;  // the clock's first readings, where given
    std::vector<int> keys;
    std::vector<std::string> answers;  // between the start line and ENTER's
    std::vector<std::string> chart;
  };
  // clang-format off
  const Case cases[] = {
      // Readings 37 ms apart, one for each tap after its line and one for
      // each release of a key that is down.
      {"from releases", 50, Recorder::HoldsFrom::releases, {},
       {13,                     // 5000
        0, 80,                  // down pressed: 5037
        32, RELEASED + '9',     // space, released 37 ms on: a tap
        0, 80,                  // down repeats while held: nothing
        RELEASED + '2',         // down released at 5148, 111 ms on: a hold
        0, 75, RELEASED + '1',  // left, released 37 ms on: a tap
        RELEASED + '4',         // right was not down: nothing
        0, 77, 32, RELEASED + '9',
        13,                     // right still down: ends here, 5370
        13},
       {"↓が押されました", "SPACEが押されました", "←が押されました", "→が押されました", "SPACEが押されました"},
       {"&left_data=", "&down_data=", "&up_data=5", "&right_data=", "&space_data=2,8",
        "&frzLeft_data=1,4", "&frzDown_data=7,11", "&frzUp_data=", "&frzRight_data=", "&frzSpace_data=",
        "&stop_data=", "&speed_data=", "&tuning=Name"}},
      // A press, the terminal's repeat after its delay (answered as a tap
      // until the next repeat shows what it was), repeats 33 ms apart; a new
      // press 200 ms on; a press whose repeats came too soon to be a hold.
      {"from repeats", 250, Recorder::HoldsFrom::repeats,
       {5000, 5101, 5401, 5434, 5467, 5667, 5671, 5701, 5801, 5831},
       {13, 32, 32, 32, 32, 32, 0, 80, 0, 80, 0, 80, 13, 13},
       {"SPACEが押されました", "SPACEが押されました", "SPACEが押されました", "↓が押されました", "↓が押されました"},
       {"&left_data=21", "&down_data=", "&up_data=", "&right_data=", "&space_data=20",
        "&frzLeft_data=", "&frzDown_data=", "&frzUp_data=", "&frzRight_data=", "&frzSpace_data=3,14",
        "&stop_data=", "&speed_data=", "&tuning=Name"}},
  };
  // clang-format on
  for (const Case& c : cases) {
    RecorderRun run;
    run.clock.readings = c.readings;
    ScriptedKeys keys(c.keys);
    EXPECT_EQ(run_recorder_with_holds(run, keys, c.threshold_ms, c.from), EXIT_DONE) << c.name;
    EXPECT_EQ(run.console.lines,
              join({OPENING, {"計測開始！"}, c.answers, {"ENTERが押されました", "Can Open File"}, c.chart, CLOSING}))
        << c.name;
    EXPECT_EQ(run.chart(), crlf(c.chart)) << c.name;
  }
}

TEST(Recorder, AHoldsThresholdIsTheUsersTimeAtAnyRate) {
  struct Case {
    double rate;
    const char *left, *freeze;
  };
  // Down held 37 ms of the song; the threshold is 25 ms of the user's.
  for (const Case& c : {Case{2.0, "&left_data=1", "&frzLeft_data="}, Case{0.5, "&left_data=", "&frzLeft_data=1,2"}}) {
    RecorderRun run;
    run.clock.song_rate = c.rate;
    ScriptedKeys keys({13, 0, 80, CODE_RELEASED + '2', 13, 13});
    EXPECT_EQ(run_recorder_with_holds(run, keys, 25), EXIT_DONE);
    EXPECT_NE(run.chart().find(std::string(c.left) + "\r\n"), std::string::npos) << c.rate << run.chart();
    EXPECT_NE(run.chart().find(std::string(c.freeze) + "\r\n"), std::string::npos) << c.rate << run.chart();
  }
}

TEST(Recorder, StartTimeIsReadBeforeTheStartLineAndEachTapAfterItsLine) {
  RecorderRun run;
  ScriptedKeys keys({13, 32, 'z', 0, 80, 13, 13});
  ASSERT_EQ(run_recorder(run, keys), EXIT_DONE);
  // Lines out: 2 prompts before the start reading; then "計測開始！" and the
  // space line (4), the other key and the down line (6).
  EXPECT_EQ(run.clock.lines_out_at_reading, (std::vector<std::size_t>{2, 4, 6}));
}

TEST(Recorder, ASongThatStopsIsToldOnceAndTheCaptureGoesOn) {
  RecorderRun run;
  run.clock.notice_after = 2;  // the start and the first tap were read on the song's clock
  ScriptedKeys keys({13, 32, 32, 0, 75, 13, 13});
  ASSERT_EQ(run_recorder(run, keys), EXIT_DONE);
  EXPECT_EQ(run.console.errors, std::vector<std::string>{"the song stopped"});
  EXPECT_NE(run.chart().find("&up_data=3\r\n&right_data=\r\n&space_data=1,2\r\n"), std::string::npos);
  EXPECT_EQ(run.clock.stops, 1);
}

TEST(Recorder, EnterRightAfterTheStartWritesAnEmptyChart) {
  RecorderRun run;
  ScriptedKeys keys({13, 13, 13});
  EXPECT_EQ(run_recorder(run, keys), EXIT_DONE);
  EXPECT_EQ(run.console.lines, join({OPENING,
                                     {"計測開始！", "ENTERが押されました", "Can Open File"},
                                     EMPTY_LANES,
                                     testing::FIXED_CHART_LINES,
                                     CLOSING}));
  EXPECT_EQ(run.chart(), crlf(join({EMPTY_LANES, testing::FIXED_CHART_LINES})));
}

TEST(Recorder, FullLogEndsTheCaptureWithoutEnter) {
  RecorderRun run;
  std::vector<int> codes = {13};
  for (int i = 0; i < 9999; ++i) codes.push_back(32);
  codes.push_back(13);  // answers the closing prompt, not the capture
  ScriptedKeys keys(codes);
  EXPECT_EQ(run_recorder(run, keys), EXIT_DONE);

  const auto& lines = run.console.lines;
  ASSERT_EQ(lines.size(), 2u + 1u + 9999u + 1u + 13u + 3u);
  EXPECT_EQ(lines[2 + 1 + 9999 - 1], "SPACEが押されました");
  EXPECT_EQ(lines[2 + 1 + 9999], "Can Open File");
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "ENTERが押されました"), 0);
  std::string space_line = lines[2 + 1 + 9999 + 1 + 4];
  EXPECT_EQ(std::count(space_line.begin(), space_line.end(), ','), 9998);
  EXPECT_EQ(space_line.rfind("&space_data=1,2,3,", 0), 0u);  // 37 ms apart
}

// A window of its own closes as the program ends: there the chart waits for
// ENTER so that the taps can be copied.
TEST(Recorder, ChartFileThatCannotBeOpenedShowsTheChartAndEndsWithCodeOne) {
  for (bool own_window : {false, true}) {
    RecorderRun run;
    ASSERT_TRUE(testing::make_directory(run.dir.file("ved.txt")));
    ScriptedKeys keys({13, 32, 13, 'x', 0, 72, 13, 13});
    std::string path = run.dir.file("ved.txt");
    auto recorder = std::make_unique<Recorder>(keys, run.clock, run.console, TextEncoding::utf8, path.c_str());
    recorder->set_own_window(own_window);
    EXPECT_EQ(recorder->run(), EXIT_CHART_NOT_WRITTEN) << own_window;
    std::vector<std::string> expected =
        join({OPENING,
              {"計測開始！", "SPACEが押されました", "ENTERが押されました", "Don't open"},
              {"&left_data=", "&down_data=", "&up_data=", "&right_data=", "&space_data=1"},
              testing::FIXED_CHART_LINES});
    if (own_window) expected.push_back("ENTERで終了します");
    EXPECT_EQ(run.console.lines, expected) << own_window;
    EXPECT_EQ(keys.reads, own_window ? 7u : 3u);  // a wait for ENTER only in a window of its own
  }
}

TEST(Recorder, ChartWriteErrorEndsWithCodeOneAndNoPrompt) {
  RecorderRun run;
  if (!testing::make_full_disk_file(run.dir.file("ved.txt"))) GTEST_SKIP() << "no full-disk device here";
  ScriptedKeys keys({13, 32, 13, 13});
  EXPECT_EQ(run_recorder(run, keys), EXIT_CHART_NOT_WRITTEN);
  EXPECT_EQ(run.console.lines.back(), "Could not write " + run.dir.file("ved.txt") + " (No space left on device)");
  EXPECT_EQ(run.console.lines[run.console.lines.size() - 2], "&tuning=Name");
  EXPECT_EQ(keys.reads, 3u);
}

TEST(Recorder, TerminalLostBeforeTheStartEndsAtOnceWithCodeTwo) {
  RecorderRun run;
  ScriptedKeys keys({'a', 0, 77});
  EXPECT_EQ(run_recorder(run, keys), EXIT_NO_TERMINAL);
  EXPECT_EQ(run.console.lines, OPENING);
  EXPECT_EQ(run.console.errors, std::vector<std::string>{"tap-recorder: the terminal was lost (end of input)"});
  EXPECT_FALSE(run.chart_exists());
}

TEST(Recorder, TerminalLostDuringTheCaptureStillWritesTheChart) {
  struct Case {
    const char* name;
    std::vector<int> codes;
  };
  const Case cases[] = {
      {"between keys", {13, 0, 75, 32}},
      {"between the two codes of a key", {13, 0, 75, 32, 0}},
  };
  for (const Case& c : cases) {
    RecorderRun run;
    ScriptedKeys keys(c.codes);
    EXPECT_EQ(run_recorder(run, keys), EXIT_NO_TERMINAL) << c.name;
    EXPECT_EQ(run.console.lines, join({OPENING,
                                       {"計測開始！", "←が押されました", "SPACEが押されました", "Can Open File"},
                                       {"&left_data=", "&down_data=", "&up_data=1", "&right_data=", "&space_data=2"},
                                       testing::FIXED_CHART_LINES}))
        << c.name;
    EXPECT_EQ(run.console.errors, std::vector<std::string>{"tap-recorder: the terminal was lost (end of input)"});
    EXPECT_NE(run.chart().find("&up_data=1\r\n"), std::string::npos);
  }
}

TEST(Recorder, ConsoleClosedDuringTheCaptureWritesTheChartToTheFileAlone) {
  RecorderRun run;
  ScriptedKeys keys({13, 32}, ReaderFault::terminal_lost, 0, true);
  EXPECT_EQ(run_recorder(run, keys), EXIT_NO_TERMINAL);
  EXPECT_EQ(run.console.lines, join({OPENING, {"計測開始！", "SPACEが押されました"}}));
  EXPECT_NE(run.chart().find("&space_data=1\r\n"), std::string::npos);
  EXPECT_NE(run.chart().find("&tuning=Name\r\n"), std::string::npos);
}

TEST(Recorder, SignalDuringTheCaptureWritesTheChartAndEndsWithItsCode) {
  RecorderRun run;
  ScriptedKeys keys({13, 32}, ReaderFault::signal, 15);
  EXPECT_EQ(run_recorder(run, keys), 128 + 15);
  EXPECT_EQ(run.console.errors, std::vector<std::string>{"tap-recorder: stopped by SIGTERM"});
  EXPECT_NE(run.chart().find("&space_data=1\r\n"), std::string::npos);
  EXPECT_EQ(run.console.lines.back(), "&tuning=Name");
}

TEST(Recorder, TerminalLostAtTheClosingPromptKeepsTheChart) {
  RecorderRun run;
  ScriptedKeys keys({13, 32, 13, 'x'});
  EXPECT_EQ(run_recorder(run, keys), EXIT_NO_TERMINAL);
  EXPECT_EQ(run.console.lines.back(), "ENTERで終了します");
  EXPECT_NE(run.chart().find("&space_data=1\r\n"), std::string::npos);
}

TEST(Recorder, ShiftJisConsoleGetsShiftJisBytes) {
  RecorderRun run;
  ScriptedKeys keys({13, 0, 75, 13, 13});
  EXPECT_EQ(run_recorder(run, keys, TextEncoding::shift_jis), EXIT_DONE);
  EXPECT_EQ(run.console.lines[2], "\x8cv\x91\xaa\x8aJ\x8en\x81I");  // 計測開始！
  EXPECT_EQ(run.console.lines[3],
            "\x81\xa9\x82\xaa\x89\x9f\x82\xb3\x82\xea\x82\xdc\x82\xb5\x82\xbd");  // ←が押されました
  EXPECT_EQ(run.console.lines[5], "Can Open File");
}

// The clock moves 37 ms a reading and the review reads it once a wait:
// 20 waits before a key are 740 ms of the song.
TEST(Review, EachNotesLineIsShownAsTheSongReachesItAndNothingElseIsSaid) {
  ChartText chart;
  char why[100];
  ASSERT_TRUE(parse_chart("&left_data=3,15\r\n&space_data=6\r\n&frzDown_data=9,12\r\n&right_data=1\r\n", chart, why,
                          sizeof why));
  std::vector<ChartNote> notes = chart_notes(chart);
  ASSERT_EQ(notes.size(), 6u);
  const std::string left = "↓が押されました", down = "→が押されました", right = "↑が押されました",
                    space = "SPACEが押されました";
  const std::vector<std::string> start = {"ENTERで計測を開始します", "終了時にENTERで出力します", "計測開始！"};
  const std::vector<std::string> end = {"ENTERが押されました", "ENTERで終了します", "終了！"};
  struct Case {
    const char* what;
    std::vector<int> codes;
    std::int32_t from_ms;
    std::vector<std::string> lines;
    int exit_code = EXIT_DONE;
  };
  const Case cases[] = {
      // frame 1 at 33 ms, left 100, space 200, the hold 300 (its end at
      // 400 unshown), left 500.
      {"all", {13, 13, 13}, 0, join({start, {right, left, space, down, left}, end})},
      {"other keys", {13, 'x', 0, 72, 13, 13}, 0, join({start, {right, left, space, down, left}, end})},
      {"from --start", {13, 13, 13}, 250, join({start, {down, left}, end})},
      {"lost", {13}, 0, join({start, {right, left, space, down, left}})},
  };
  for (const Case& c : cases) {
    CapturedConsole console;
    // A song's clock: positions from the song's beginning, where playback
    // begins from the first reading after the start on.
    FakeClock clock(console, 0);
    clock.readings = {0, static_cast<std::uint32_t>(c.from_ms)};
    ScriptedKeys keys(c.codes);
    keys.idle = 20;
    int exit_code = run_review(keys, clock, console, TextEncoding::utf8, notes, c.from_ms);
    EXPECT_EQ(console.lines, c.lines) << c.what;
    EXPECT_EQ(exit_code, c.codes.size() == 1 ? EXIT_NO_TERMINAL : EXIT_DONE) << c.what;
    EXPECT_EQ(clock.stops, 1) << c.what;
  }
}

TEST(ReportReaderFault, MessageAndExitCodeForEachFault) {
  struct Case {
    ReaderFault fault;
    int signal;
    const char* detail;
    const char* line;
    int code;
  };
  const Case cases[] = {
      {ReaderFault::no_terminal, 0, "/dev/tty: No such device or address",
       "tap-recorder: no terminal to read keys from (/dev/tty: No such device or address)", 2},
      {ReaderFault::terminal_lost, 0, "Input/output error", "tap-recorder: the terminal was lost (Input/output error)",
       2},
      {ReaderFault::signal, 2, "SIGINT", "tap-recorder: stopped by SIGINT", 130},
      {ReaderFault::signal, 3, "SIGQUIT", "tap-recorder: stopped by SIGQUIT", 131},
  };
  for (const Case& c : cases) {
    KeyReaderStatus status;
    status.fault = c.fault;
    status.signal_number = c.signal;
    std::snprintf(status.detail, sizeof status.detail, "%s", c.detail);
    CapturedConsole console;
    EXPECT_EQ(report_reader_fault(status, console), c.code);
    EXPECT_EQ(console.errors, std::vector<std::string>{c.line});
    EXPECT_TRUE(console.lines.empty());
  }
}

}  // namespace
}  // namespace tap
