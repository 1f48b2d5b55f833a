#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "e2e/e2e_support.h"

namespace tap::testing {
namespace {

const std::string OTHER = "何らかのキーが押されました";

void expect_raw(const PtySession& pty) {
  termios now = pty.mode();
  EXPECT_EQ(now.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
  EXPECT_EQ(now.c_iflag & (IXON | ICRNL), 0u);
  EXPECT_EQ(now.c_oflag, pty.initial_mode().c_oflag);  // output processing untouched
}

// The chart lines as the console showed them, after "Can Open File".
std::vector<std::string> console_chart(const PtySession& pty) {
  std::vector<std::string> lines = pty.lines();
  auto at = std::find(lines.begin(), lines.end(), "Can Open File");
  if (lines.end() - at < 14) return {};
  return std::vector<std::string>(at + 1, at + 14);
}

TEST(EndToEnd, WholeDialogueInATerminal) {
  TempDir dir;
  PtySession pty(PROGRAM, in(dir));
  ASSERT_TRUE(pty.expect(OPENING));
  expect_raw(pty);

  pty.send("a\x1b[D\x1b[A ");  // before the start: no answer, nothing recorded
  pty.send("\r");
  ASSERT_TRUE(pty.expect("計測開始！\r\n"));
  pty.send(
      "\x1b[D\x1b[B\x1b[A\x1b[C "           // the four arrows and the space bar
      "\x1bOD\x1b[1;2D"                     // Left in application mode, Shift+Left
      "\x1b[1;5D\x1b[1;3D\x1bOP\x1b\x1b[D"  // Ctrl+Left, Alt+Left, F1, rxvt's Alt+Left
      "x\x03\x1a\x1c"                       // a letter, Ctrl+C, Ctrl+Z, Ctrl+backslash
      "\x1b[I"                              // a sequence that is no key: no answer
      "\xe3\x81\x82"                        // one character of three bytes
      "\r");
  ASSERT_TRUE(pty.expect("ENTERで終了します\r\n"));
  expect_raw(pty);
  pty.send("\r");
  EXPECT_EQ(exit_code(pty.wait_exit()), 0);

  std::vector<std::string> chart = console_chart(pty);
  ASSERT_EQ(chart.size(), 13u);
  std::vector<std::string> expected = {"ENTERで計測を開始します",
                                       "終了時にENTERで出力します",
                                       "計測開始！",
                                       "←が押されました",
                                       "↓が押されました",
                                       "↑が押されました",
                                       "→が押されました",
                                       "SPACEが押されました",
                                       "←が押されました",
                                       "←が押されました",
                                       OTHER,
                                       OTHER,
                                       OTHER,
                                       OTHER,
                                       OTHER,
                                       OTHER,
                                       OTHER,
                                       OTHER,
                                       OTHER,
                                       "ENTERが押されました",
                                       "Can Open File"};
  expected.insert(expected.end(), chart.begin(), chart.end());
  expected.insert(expected.end(), {"That's All !!", "ENTERで終了します", "終了！"});
  EXPECT_EQ(pty.lines(), expected);

  // Down lands in Left, Right in Down, the three Lefts in Up, Up in Right.
  const std::vector<std::pair<std::string, int>> lanes = {
      {"&left_data=", 1}, {"&down_data=", 1}, {"&up_data=", 3}, {"&right_data=", 1}, {"&space_data=", 1}};
  for (std::size_t i = 0; i < lanes.size(); ++i) {
    EXPECT_TRUE(std::regex_match(chart[i], std::regex(lanes[i].first + "[0-9]+(,[0-9]+)*"))) << chart[i];
    EXPECT_EQ(value_count(chart[i], lanes[i].first), lanes[i].second) << chart[i];
  }
  EXPECT_EQ(std::vector<std::string>(chart.begin() + 5, chart.end()), FIXED_CHART_LINES);
  EXPECT_EQ(read_file(dir.file("ved.txt")), crlf(chart));
  EXPECT_TRUE(same_mode(pty.mode(), pty.initial_mode()));
}

// A terminal that tells no releases repeats a held key after its delay:
// the program takes the repeats for a hold, ended half an interval past
// the last, which is within one repeat interval of the release.
TEST(EndToEnd, WithHoldsAKeyHeldInATerminalWithoutReleasesIsAHoldByItsRepeats) {
  struct Case {
    int delay_ms, interval_ms;  // the terminal's auto-repeat
  };
  for (const Case& c : {Case{250, 33}, Case{500, 40}}) {
    TempDir dir;
    PtySession::Options options = in(dir);
    options.args = {"--holds"};
    PtySession pty(PROGRAM, options);
    ASSERT_TRUE(
        pty.expect("Holds: from key repeats (this terminal reports no releases: a hold shows once its key "
                   "repeats, and its end to half a repeat interval)\r\n" +
                   OPENING));
    pty.send("\r");
    ASSERT_TRUE(pty.expect("計測開始！\r\n"));
    auto start = std::chrono::steady_clock::now();
    auto ms_since = [&start] {
      return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    };
    std::this_thread::sleep_for(std::chrono::milliseconds(215));  // no edge of a frame near
    double pressed = ms_since();
    pty.send("\x1b[B");  // down: the left lane
    std::this_thread::sleep_for(std::chrono::milliseconds(c.delay_ms));
    double last = 0;
    for (int k = 0; k < 1000 / c.interval_ms; ++k) {
      last = ms_since();
      pty.send("\x1b[B");
      std::this_thread::sleep_for(std::chrono::milliseconds(c.interval_ms));
    }
    double released = last + c.interval_ms / 2.0;  // somewhere within the interval after the last repeat
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    pty.send(" \r");
    ASSERT_TRUE(pty.expect("ENTERで終了します\r\n", 5000));
    pty.send("\r");
    EXPECT_EQ(exit_code(pty.wait_exit()), 0);
    std::string chart = read_file(dir.file("ved.txt"));
    std::vector<int> hold = lane_frames(chart, "&frzLeft_data=");
    ASSERT_EQ(hold.size(), 2u) << chart;
    EXPECT_NEAR(hold[0], pressed * 0.03, 1.0) << c.delay_ms;
    EXPECT_NEAR(hold[1], released * 0.03, 0.5 + c.interval_ms * 0.03) << c.delay_ms;
    EXPECT_EQ(value_count(chart, "&left_data="), 0) << chart;
    EXPECT_EQ(value_count(chart, "&space_data="), 1) << chart;
    // The press and the delay's repeat are answered before it is known what
    // they are; the repeats after them are not.
    std::vector<std::string> lines = pty.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "↓が押されました"), 2);
  }
}

// A terminal that answers the kitty keyboard protocol's query is asked for
// releases, which then end the holds; the request is taken back at the end.
TEST(EndToEnd, WithHoldsATerminalThatSpeaksTheKittyProtocolTellsEachRelease) {
  TempDir dir;
  PtySession::Options options = in(dir);
  options.args = {"--holds"};
  PtySession pty(PROGRAM, options);
  ASSERT_TRUE(pty.expect("\x1b[?u\x1b[c"));
  pty.send("\x1b[?0u\x1b[?62;22c");
  ASSERT_TRUE(pty.expect("Holds: from key releases\r\n" + OPENING));
  EXPECT_NE(pty.output().find("\x1b[>10u"), std::string::npos);
  pty.send("\x1b[13u\x1b[13;1:3u");  // every key as an escape code: ENTER, pressed and let go
  ASSERT_TRUE(pty.expect("計測開始！\r\n"));
  auto start = std::chrono::steady_clock::now();
  auto ms_since = [&start] {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  };
  std::this_thread::sleep_for(std::chrono::milliseconds(215));
  double down_pressed = ms_since();
  pty.send("\x1b[B");
  for (int k = 0; k < 10; ++k) {
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    pty.send("\x1b[1;1:2B");  // its repeats
  }
  double down_released = ms_since();
  pty.send("\x1b[1;1:3B");
  pty.send("\x1b[32u\x1b[32;1:3u\x1b[1;1:3D");  // a tap, and a release of a key never pressed
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  double up_pressed = ms_since();
  pty.send("\x1b[A");  // still down at the closing ENTER
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  double closed = ms_since();
  pty.send("\x1b[13u");
  ASSERT_TRUE(pty.expect("ENTERで終了します\r\n"));
  pty.send("\x1b[13;1:3u\x1b[13u");
  EXPECT_EQ(exit_code(pty.wait_exit()), 0);

  std::string chart = read_file(dir.file("ved.txt"));
  std::vector<int> down = lane_frames(chart, "&frzLeft_data="), up = lane_frames(chart, "&frzRight_data=");
  ASSERT_EQ(down.size(), 2u) << chart;
  ASSERT_EQ(up.size(), 2u) << chart;
  EXPECT_NEAR(down[0], down_pressed * 0.03, 1.0);
  EXPECT_NEAR(down[1], down_released * 0.03, 1.0);
  EXPECT_NEAR(up[0], up_pressed * 0.03, 1.0);
  EXPECT_NEAR(up[1], closed * 0.03, 1.0);
  EXPECT_EQ(value_count(chart, "&left_data="), 0) << chart;
  EXPECT_EQ(value_count(chart, "&right_data="), 0) << chart;
  EXPECT_EQ(value_count(chart, "&space_data="), 1) << chart;
  std::vector<std::string> lines = pty.lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "↓が押されました"), 1);  // its repeats are no taps
  EXPECT_EQ(std::count(lines.begin(), lines.end(), OTHER), 0);
  // Taken back before the paste marking, as it was asked after it.
  std::size_t off = pty.output().rfind("\x1b[<u");
  ASSERT_NE(off, std::string::npos);
  EXPECT_EQ(pty.output().find("\x1b[?2004l", off), off + 4);
}

TEST(EndToEnd, LoneEscapeIsAKeyAfterAShortWaitAndSplitSequencesDecode) {
  TempDir dir;
  PtySession pty(PROGRAM, in(dir));
  ASSERT_TRUE(pty.expect(OPENING));
  pty.send("\r");
  ASSERT_TRUE(pty.expect("計測開始！\r\n"));

  auto sent = std::chrono::steady_clock::now();
  pty.send("\x1b");
  ASSERT_TRUE(pty.expect(OTHER + "\r\n", 2000));
  auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - sent);
  EXPECT_LT(waited.count(), 150);

  pty.send("\x1b[");
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  pty.send("1;2");
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  pty.send("D");
  ASSERT_TRUE(pty.expect("←が押されました\r\n", 2000));
  pty.send("\r\r");
  EXPECT_EQ(exit_code(pty.wait_exit()), 0);
  // Nothing but the two keys was answered.
  std::vector<std::string> lines = pty.lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), OTHER), 1);
  EXPECT_NE(read_file(dir.file("ved.txt")).find("&up_data="), std::string::npos);
  EXPECT_EQ(value_count(console_chart(pty)[2], "&up_data="), 1);
}

// A key that opens a terminal string or a sequence (Alt+], Alt+[ and 1, st's
// Ctrl+Delete) and then a held space's auto-repeat: the string or sequence
// is cut as soon as its bytes stop coming, and no tap after it is lost.
TEST(EndToEnd, AKeyThatOpensAStringSwallowsNoTapAfterIt) {
  for (const char* opener : {"\x1b]", "\x1bP", "\x1b[1", "\x1b[M"}) {
    TempDir dir;
    PtySession pty(PROGRAM, in(dir));
    ASSERT_TRUE(pty.expect(OPENING));
    pty.send("\r");
    ASSERT_TRUE(pty.expect("計測開始！\r\n"));
    pty.send(opener);
    for (int i = 0; i < 10; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
      pty.send(" ");
    }
    pty.drain(100);
    pty.send("\r");
    ASSERT_TRUE(pty.expect("ENTERで終了します\r\n"));
    pty.send("\r");
    EXPECT_EQ(exit_code(pty.wait_exit()), 0);
    std::string chart = read_file(dir.file("ved.txt"));
    EXPECT_EQ(value_count(chart, "&space_data="), 10) << opener << ": " << chart;
  }
}

TEST(EndToEnd, FullLogEndsTheCaptureWithoutEnter) {
  TempDir dir;
  PtySession pty(PROGRAM, in(dir));
  ASSERT_TRUE(pty.expect(OPENING));
  pty.send("\r");
  std::string taps;
  for (int i = 0; i < 9999; ++i) taps += "\x1b[C";
  taps += "   ";  // past the full log: read by the closing prompt, which ignores them
  pty.send(taps);
  ASSERT_TRUE(pty.expect("ENTERで終了します\r\n", 60000));
  pty.send("\r");
  EXPECT_EQ(exit_code(pty.wait_exit(30000)), 0);

  EXPECT_EQ(pty.output().find("ENTERが押されました"), std::string::npos);
  std::vector<std::string> lines = pty.lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "→が押されました"), 9999);
  std::vector<std::string> chart = console_chart(pty);
  ASSERT_EQ(chart.size(), 13u);
  EXPECT_EQ(value_count(chart[1], "&down_data="), 9999);  // right arrows land in Down
  EXPECT_EQ(read_file(dir.file("ved.txt")), crlf(chart));
}

TEST(EndToEnd, ChartFileThatCannotBeWrittenEndsWithCodeOne) {
  enum class Obstacle { directory, full_disk, file_size_limit };
  struct Case {
    const char* name;
    Obstacle obstacle;
    const char* first_line;
    const char* last_line;
    const char* reason;  // on standard error
  };
  const Case cases[] = {
      {"a directory", Obstacle::directory, "Don't open", "&tuning=Name",
       "tap-recorder: cannot open ved.txt: Is a directory"},
      {"a full disk", Obstacle::full_disk, "Can Open File", "Could not write ved.txt (No space left on device)",
       "tap-recorder: cannot write ved.txt: No space left on device"},
      {"ulimit -f", Obstacle::file_size_limit, "Can Open File", "Could not write ved.txt (File too large)",
       "tap-recorder: cannot write ved.txt: File too large"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    PtySession::Options options = in(dir);
    if (c.obstacle == Obstacle::directory) {
      ASSERT_EQ(mkdir(dir.file("ved.txt").c_str(), 0755), 0);
    } else if (c.obstacle == Obstacle::full_disk) {
      ASSERT_EQ(symlink("/dev/full", dir.file("ved.txt").c_str()), 0);
    } else {
      options.file_size_limit = 20;  // room for one line and a half
    }
    PtySession pty(PROGRAM, options);
    ASSERT_TRUE(pty.expect(OPENING)) << c.name;
    pty.send("\r \r");
    EXPECT_EQ(exit_code(pty.wait_exit()), 1) << c.name;
    std::vector<std::string> lines = pty.lines();
    // The reason comes on standard error, here the same terminal.
    auto reason = std::find(lines.begin(), lines.end(), c.reason);
    ASSERT_NE(reason, lines.end()) << c.name;
    lines.erase(reason);
    auto first = std::find(lines.begin(), lines.end(), c.first_line);
    ASSERT_NE(first, lines.end()) << c.name;
    bool opened = c.obstacle != Obstacle::directory;
    ASSERT_EQ(lines.end() - first, opened ? 15 : 14) << c.name;  // the thirteen chart lines follow
    EXPECT_TRUE(std::regex_match(first[5], std::regex("&space_data=[0-9]+"))) << c.name;
    EXPECT_EQ(lines.back(), c.last_line) << c.name;
    EXPECT_EQ(pty.output().find("That's All !!"), std::string::npos) << c.name;
    EXPECT_TRUE(same_mode(pty.mode(), pty.initial_mode())) << c.name;
  }
}

// Keys come from the terminal whatever standard input is; descriptors that
// were closed at the start are not taken by the terminal or by ved.txt.
TEST(EndToEnd, StandardStreamsAreNotWhereKeysComeFromOrTheChartGoes) {
  struct Case {
    const char* name;
    bool stdin_from_dev_null;
    std::vector<int> closed;
  };
  const Case cases[] = {
      {"stdin from /dev/null", true, {}},
      {"<&- >&-", false, {0, 1}},
      {"<&- >&- 2>&-", false, {0, 1, 2}},
  };
  for (const Case& c : cases) {
    TempDir dir;
    PtySession::Options options = in(dir);
    options.stdin_from_dev_null = c.stdin_from_dev_null;
    options.closed_descriptors = c.closed;
    PtySession pty(PROGRAM, options);
    bool output_seen = c.closed.empty();
    if (output_seen) {
      ASSERT_TRUE(pty.expect(OPENING)) << c.name;
    } else {
      for (int i = 0; i < 400 && !is_raw(pty.mode()); ++i) pty.drain(5);  // keys typed before raw mode turn CR to LF
      ASSERT_TRUE(is_raw(pty.mode())) << c.name;
    }
    pty.send("\r \r\r");
    EXPECT_EQ(exit_code(pty.wait_exit()), 0) << c.name;
    EXPECT_EQ(pty.expect("SPACEが押されました\r\n", 100), output_seen) << c.name;
    std::string chart = read_file(dir.file("ved.txt"));
    EXPECT_TRUE(std::regex_match(chart, std::regex("&left_data=\r\n&down_data=\r\n&up_data=\r\n&right_data=\r\n"
                                                   "&space_data=[0-9]+\r\n(&[a-zA-Z]+_data=\r\n){7}&tuning=Name\r\n")))
        << c.name << ": " << chart;
  }
}

TEST(EndToEnd, NoTerminalEndsAtOnceWithCodeTwo) {
  TempDir dir;
  std::string out, err;
  int status = run_without_terminal(PROGRAM, dir.path(), out, err);
  EXPECT_EQ(exit_code(status), 2);
  EXPECT_EQ(err, "tap-recorder: no terminal to read keys from (/dev/tty: No such device or address)\n");
  EXPECT_EQ(out, "");
}

// An argument is answered before the terminal is touched: no raw mode, no
// prompt, no ved.txt.
TEST(EndToEnd, ArgumentsAreAnsweredWithoutARecording) {
  struct Case {
    std::vector<std::string> args;
    int exit_code;
    const char* first_line;
    const char* chart = nullptr;  // a ved.txt there before, to be left as it is
  };
  const Case cases[] = {
      {{"--help"}, 0, "Usage: tap-recorder [OPTION]... [SONG]"},
      {{"--version"}, 0, "tap-recorder " TAP_RECORDER_VERSION},
      {{"--record"}, 64, "tap-recorder: unknown argument '--record' (try 'tap-recorder --help')"},
      {{"--merge"}, 64, "tap-recorder: --merge needs a song: a take goes into the chart at the song's positions"},
      // Read before the song is even looked for.
      {{"--merge", "no-such-song.wav"},
       65,
       "tap-recorder: ved.txt is no chart to merge into (line 2 (&down_data=): '3x' is not a whole number a "
       "frame can be); it is left as it is",
       "&left_data=1\r\n&down_data=3x\r\n"},
      {{"--merge", "no-such-song.wav"},
       65,
       "tap-recorder: ved.txt is no chart to merge into (line 1 (&frzUp_data=): 1 values, not pairs of a press and "
       "its release); it is left as it is",
       "&frzUp_data=9"},
      {{"--review", "no-such-song.wav"}, 66, "tap-recorder: there is no ved.txt here to play back"},
      {{"--review", "no-such-song.wav"},
       65,
       "tap-recorder: ved.txt is no chart to play back (line 1 (&space_data=): '' is not a whole number a frame can "
       "be)",
       "&space_data=4,,5\r\n"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    if (c.chart != nullptr) std::ofstream(dir.file("ved.txt"), std::ios::binary) << c.chart;
    PtySession::Options options = in(dir);
    options.args = c.args;
    PtySession pty(PROGRAM, options);
    const std::string& arg = c.args[0];
    EXPECT_EQ(exit_code(pty.wait_exit()), c.exit_code) << arg;
    pty.drain(50);
    ASSERT_FALSE(pty.lines().empty()) << arg;
    EXPECT_EQ(pty.lines()[0], c.first_line);
    EXPECT_EQ(pty.output().find("ENTERで"), std::string::npos) << arg;
    if (c.chart == nullptr)
      EXPECT_FALSE(std::filesystem::exists(dir.file("ved.txt"))) << arg;
    else
      EXPECT_EQ(read_file(dir.file("ved.txt")), c.chart) << arg;
    EXPECT_FALSE(std::filesystem::exists(dir.file("ved.txt~"))) << arg;
    EXPECT_TRUE(same_mode(pty.mode(), pty.initial_mode())) << arg;
  }
}

// tap-recorder > ved.txt would mix the console's lines into the chart.
TEST(EndToEnd, StandardOutputIntoTheChartFileIsRefused) {
  TempDir dir;
  PtySession::Options options = in(dir);
  options.stdout_path = "ved.txt";
  PtySession pty(PROGRAM, options);
  EXPECT_EQ(exit_code(pty.wait_exit()), 73);
  pty.drain(50);
  EXPECT_EQ(pty.lines(), std::vector<std::string>{
                             "tap-recorder: standard output is ved.txt, where the chart goes; send it elsewhere"});
  EXPECT_EQ(read_file(dir.file("ved.txt")), "");
  EXPECT_TRUE(same_mode(pty.mode(), pty.initial_mode()));
}

// The terminal is in its normal mode while the program starts: an ENTER
// typed then comes as LF, and is still the ENTER that starts the run.
TEST(EndToEnd, EnterTypedWhileTheProgramStartsStartsTheRun) {
  TempDir dir;
  PtySession::Options options = in(dir);
  options.typed_ahead = "\r";
  PtySession pty(PROGRAM, options);
  ASSERT_TRUE(pty.expect("計測開始！\r\n"));
  pty.send(" \r");
  ASSERT_TRUE(pty.expect("ENTERで終了します\r\n"));
  pty.send("\r");
  EXPECT_EQ(exit_code(pty.wait_exit()), 0);
  EXPECT_EQ(value_count(read_file(dir.file("ved.txt")), "&space_data="), 1);
}

// A terminal left in stty raw turns no LF into CR LF: every line, the
// chart's above all, still starts at the left edge.
TEST(EndToEnd, LinesEndInCrLfWhereTheTerminalAddsNoCr) {
  TempDir dir;
  PtySession::Options options = in(dir);
  options.output_processing_off = true;
  PtySession pty(PROGRAM, options);
  ASSERT_TRUE(pty.expect(OPENING));
  pty.send("\r \x1b");  // a SPACE, and Esc: some other key
  ASSERT_TRUE(pty.expect("何らかのキーが押されました\r\n"));
  pty.send("\r");
  ASSERT_TRUE(pty.expect("&tuning=Name\r\nThat's All !!\r\nENTERで終了します\r\n"));
  pty.send("\r");
  EXPECT_EQ(exit_code(pty.wait_exit()), 0);
  EXPECT_EQ(std::regex_search(pty.output(), std::regex("[^\r]\n")), false) << pty.output();
  EXPECT_EQ(pty.mode().c_oflag, pty.initial_mode().c_oflag & ~static_cast<tcflag_t>(OPOST));
}

// The terminal marks a paste for the run, and a paste is no taps.
TEST(EndToEnd, APasteIsNoTaps) {
  TempDir dir;
  PtySession pty(PROGRAM, in(dir));
  ASSERT_TRUE(pty.expect("\x1b[?2004h"));
  ASSERT_TRUE(pty.expect(OPENING));
  std::string text;
  for (int i = 0; i < 500; ++i) text += "a pasted word \x1b[A\r";
  pty.send("\r\x1b[200~" + text + "\x1b[201~ \r");
  ASSERT_TRUE(pty.expect("計測開始！\r\nSPACEが押されました\r\nENTERが押されました\r\n"));
  ASSERT_TRUE(pty.expect("ENTERで終了します\r\n"));
  pty.send("\r");
  EXPECT_EQ(exit_code(pty.wait_exit()), 0);
  EXPECT_TRUE(pty.expect("終了！\r\n\x1b[?2004l"));
  EXPECT_EQ(value_count(read_file(dir.file("ved.txt")), "&space_data="), 1);
}

TEST(EndToEnd, HangUpDuringTheCaptureStillWritesTheChart) {
  TempDir dir;
  PtySession pty(PROGRAM, in(dir));
  ASSERT_TRUE(pty.expect(OPENING));
  pty.send("\r \x1b[D");
  ASSERT_TRUE(pty.expect("←が押されました\r\n"));
  pty.hang_up();
  EXPECT_EQ(exit_code(pty.wait_exit()), 2);
  std::string chart = read_file(dir.file("ved.txt"));
  EXPECT_TRUE(std::regex_search(chart, std::regex("&up_data=[0-9]+\r\n")));
  EXPECT_TRUE(std::regex_search(chart, std::regex("&space_data=[0-9]+\r\n")));
  EXPECT_NE(chart.find("&tuning=Name\r\n"), std::string::npos);
}

// A Shift-JIS terminal: the messages come as the Shift-JIS bytes, and a
// character typed in Shift-JIS is one key.
TEST(EndToEnd, ShiftJisLocaleWritesAndReadsShiftJis) {
  TempDir locales;
  std::string command = "localedef -c -f SHIFT_JIS -i ja_JP '" + locales.file("ja_JP.SJIS") + "' 2>/dev/null";
  ASSERT_GE(std::system(command.c_str()), 0);
  if (!std::filesystem::exists(locales.file("ja_JP.SJIS"))) {
    GTEST_SKIP() << "localedef can make no ja_JP.SJIS locale here (the test command installs what it needs)";
  }

  TempDir dir;
  PtySession::Options options = in(dir);
  options.env = {"LANG=ja_JP.SJIS", "LOCPATH=" + locales.path(), "PATH=/usr/bin:/bin"};
  PtySession pty(PROGRAM, options);
  ASSERT_TRUE(pty.expect(to_cp932(OPENING)));
  pty.send("\r");
  ASSERT_TRUE(pty.expect(to_cp932("計測開始！\r\n")));
  pty.send("\x82\xa0\x1b[D\r\r");  // あ in Shift-JIS, Left, and the two ENTERs
  EXPECT_EQ(exit_code(pty.wait_exit()), 0);
  std::vector<std::string> lines = pty.lines();
  std::vector<std::string> expected = {"ENTERで計測を開始します", "終了時にENTERで出力します", "計測開始！", OTHER,
                                       "←が押されました",         "ENTERが押されました"};
  for (std::string& line : expected) line = to_cp932(line);
  ASSERT_GE(lines.size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 6), expected);
  EXPECT_EQ(lines.back(), to_cp932("終了！"));
}

}  // namespace
}  // namespace tap::testing
