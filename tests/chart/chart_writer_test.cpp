#include "chart/chart_writer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>

#include "test_support.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tap {
namespace {

using testing::CapturedConsole;
using testing::read_file;
using testing::TempDir;

using testing::crlf;
using testing::FIXED_CHART_LINES;

// The lane lines, and the freeze lines where given, then the lines left.
std::vector<std::string> chart_lines(const std::vector<std::string>& given) {
  std::vector<std::string> lines = given;
  lines.insert(lines.end(), FIXED_CHART_LINES.begin() + static_cast<long>(given.size()) - LANE_COUNT,
               FIXED_CHART_LINES.end());
  return lines;
}

LaneLists& empty_lanes() {
  static LaneLists lanes;
  for (LaneList& list : lanes.lanes) list.count = 0;
  lanes.holds.count = 0;
  return lanes;
}

void set_lane(LaneLists& lanes, Lane lane, const std::vector<std::int32_t>& frames) {
  LaneList& list = lanes[lane];
  list.count = 0;
  for (std::int32_t f : frames) list.frames[list.count++] = f;
}

TEST(WriteChart, WritesTheThirteenLinesToFileAndConsole) {
  struct Case {
    const char* name;
    std::vector<std::vector<std::int32_t>> lanes;  // left, down, up, right, space
    std::vector<std::string> expected;
    std::vector<Freeze> holds = {};  // in the order of their presses
  };
  const Case cases[] = {
      {"two down taps and a space",
       {{2, 31}, {}, {}, {}, {75}},
       {"&left_data=2,31", "&down_data=", "&up_data=", "&right_data=", "&space_data=75"}},
      {"no taps", {{}, {}, {}, {}, {}}, {"&left_data=", "&down_data=", "&up_data=", "&right_data=", "&space_data="}},
      {"every lane, repeats and negatives",
       {{0}, {5, 5, 5}, {-1, -64424509}, {64424509}, {1, 22, 333, 4444}},
       {"&left_data=0", "&down_data=5,5,5", "&up_data=-1,-64424509", "&right_data=64424509",
        "&space_data=1,22,333,4444"}},
      {"holds in their lanes' freeze lines, in the order of their presses",
       {{7}, {}, {}, {}, {}},
       {"&left_data=7", "&down_data=", "&up_data=", "&right_data=", "&space_data=", "&frzLeft_data=120,165,300,391",
        "&frzDown_data=", "&frzUp_data=-3,2", "&frzRight_data=", "&frzSpace_data=130,131"},
       {{120, 165, Lane::left}, {130, 131, Lane::space}, {-3, 2, Lane::up}, {300, 391, Lane::left}}},
  };
  for (const Case& c : cases) {
    TempDir dir;
    CapturedConsole console;
    LaneLists& lanes = empty_lanes();
    for (int lane = 0; lane < LANE_COUNT; ++lane) set_lane(lanes, static_cast<Lane>(lane), c.lanes[lane]);
    for (const Freeze& hold : c.holds) lanes.holds.freezes[lanes.holds.count++] = hold;

    EXPECT_EQ(write_chart(lanes, console, dir.file("ved.txt").c_str()), ChartResult::opened) << c.name;

    std::vector<std::string> expected_console = {"Can Open File"};
    for (const std::string& line : chart_lines(c.expected)) expected_console.push_back(line);
    EXPECT_EQ(console.lines, expected_console) << c.name;
    EXPECT_EQ(read_file(dir.file("ved.txt")), crlf(chart_lines(c.expected))) << c.name;
    EXPECT_TRUE(console.errors.empty());
  }
}

TEST(WriteChart, ReplacesAnExistingFile) {
  TempDir dir;
  std::string path = dir.file("ved.txt");
  {
    std::ofstream old(path, std::ios::binary);
    old << std::string(5000, 'x');
  }
  CapturedConsole console;
  ASSERT_EQ(write_chart(empty_lanes(), console, path.c_str()), ChartResult::opened);
  EXPECT_EQ(read_file(path),
            crlf(chart_lines({"&left_data=", "&down_data=", "&up_data=", "&right_data=", "&space_data="})));
  // The chart it replaced is kept, once, and the dialogue says where.
  EXPECT_EQ(read_file(path + "~"), std::string(5000, 'x'));
  EXPECT_EQ(console.lines.back(), "Previous chart kept as " + path + "~");
  ASSERT_EQ(write_chart(empty_lanes(), console, path.c_str()), ChartResult::opened);
  EXPECT_EQ(read_file(path + "~"), read_file(path));
  EXPECT_TRUE(console.errors.empty());
}

TEST(WriteChart, FileThatCannotBeOpenedStillShowsTheLinesAfterDontOpen) {
  TempDir dir;
  std::string path = dir.file("ved.txt");
  ASSERT_TRUE(testing::make_directory(path));
  CapturedConsole console;
  LaneLists& lanes = empty_lanes();
  set_lane(lanes, Lane::left, {1, 2});
  EXPECT_EQ(write_chart(lanes, console, path.c_str()), ChartResult::not_opened);
  EXPECT_EQ(console.errors, std::vector<std::string>{"tap-recorder: cannot open " + path + ": Is a directory"});
  std::vector<std::string> expected = {"Don't open"};
  for (const std::string& line :
       chart_lines({"&left_data=1,2", "&down_data=", "&up_data=", "&right_data=", "&space_data="})) {
    expected.push_back(line);
  }
  EXPECT_EQ(console.lines, expected);
}

TEST(WriteChart, WriteErrorIsReportedAfterTheWholeEcho) {
  TempDir dir;
  std::string path = dir.file("ved.txt");
  if (!testing::make_full_disk_file(path)) GTEST_SKIP() << "no full-disk device here";
  CapturedConsole console;
  LaneLists& lanes = empty_lanes();
  set_lane(lanes, Lane::space, {75});
  EXPECT_EQ(write_chart(lanes, console, path.c_str()), ChartResult::write_failed);
  std::vector<std::string> expected = {"Can Open File"};
  for (const std::string& line :
       chart_lines({"&left_data=", "&down_data=", "&up_data=", "&right_data=", "&space_data=75"})) {
    expected.push_back(line);
  }
  expected.push_back("Could not write " + path + " (No space left on device)");
  EXPECT_EQ(console.lines, expected);
  EXPECT_EQ(console.errors,
            std::vector<std::string>{"tap-recorder: cannot write " + path + ": No space left on device"});
}

#ifndef _WIN32
const std::string OLD_CHART = "an old chart\r\n";

bool write_old_chart(const std::string& path) {
  return static_cast<bool>(std::ofstream(path, std::ios::binary) << OLD_CHART);
}

// The chart file is always one whole chart, the old or the new; what is not
// a regular file is written in place, never replaced, and never waited for.
TEST(WriteChart, ReplacesTheChartOnlyOnceTheNewOneIsWhole) {
  struct Case {
    const char* name;
    bool (*make)(const std::string& dir);  // puts ved.txt (or its link) there
    ChartResult result;
    const char* error;     // the end of the line on standard error, if any
    const char* chart_at;  // where the new chart (or the old, when it failed) is to be found
    bool old_kept;         // the old chart is still there
    bool link_kept;        // ved.txt is still a symbolic link
    const char* backup;    // where the old chart is kept beside the new, if anywhere
  };
  const Case cases[] = {
      {"a FIFO nobody reads", [](const std::string& d) { return mkfifo((d + "/ved.txt").c_str(), 0644) == 0; },
       ChartResult::not_opened, ": No such device or address", nullptr, false, false, nullptr},
      {"past a file size limit", [](const std::string& d) { return write_old_chart(d + "/ved.txt"); },
       ChartResult::write_failed, ": File too large", "ved.txt", true, false, nullptr},
      {"a chart with a directory named ved.txt~",
       [](const std::string& d) { return write_old_chart(d + "/ved.txt") && testing::make_directory(d + "/ved.txt~"); },
       ChartResult::opened, "/ved.txt~: Is a directory", "ved.txt", false, false, nullptr},
      {"a link to a chart",
       [](const std::string& d) {
         return write_old_chart(d + "/target.txt") && symlink("target.txt", (d + "/ved.txt").c_str()) == 0;
       },
       ChartResult::opened, nullptr, "target.txt", false, true, "target.txt~"},
      {"a link to /dev/null", [](const std::string& d) { return symlink("/dev/null", (d + "/ved.txt").c_str()) == 0; },
       ChartResult::opened, nullptr, nullptr, false, true, nullptr},
  };
  for (const Case& c : cases) {
    TempDir dir;
    ASSERT_TRUE(c.make(dir.path())) << c.name;
    std::string path = dir.file("ved.txt");
    CapturedConsole console;
    LaneLists& lanes = empty_lanes();
    set_lane(lanes, Lane::space, {75});
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    bool limited = std::string(c.name).find("limit") != std::string::npos;
    if (limited) {
      signal(SIGXFSZ, SIG_IGN);
      rlimit small = saved;
      small.rlim_cur = 100;  // the chart is more
      setrlimit(RLIMIT_FSIZE, &small);
    }
    ChartResult result = write_chart(lanes, console, path.c_str());
    if (limited) setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_EQ(result, c.result) << c.name;
    if (c.error != nullptr) {
      ASSERT_EQ(console.errors.size(), 1u) << c.name;
      EXPECT_NE(console.errors[0].find(c.error), std::string::npos) << c.name << ": " << console.errors[0];
    } else {
      EXPECT_TRUE(console.errors.empty()) << c.name;
    }
    if (c.chart_at != nullptr) {
      std::string chart = read_file(dir.file(c.chart_at));
      EXPECT_EQ(chart,
                c.old_kept
                    ? OLD_CHART
                    : crlf(chart_lines({"&left_data=", "&down_data=", "&up_data=", "&right_data=", "&space_data=75"})))
          << c.name;
    }
    if (c.backup != nullptr) {
      EXPECT_EQ(read_file(dir.file(c.backup)), OLD_CHART) << c.name;
    }
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode), c.link_kept) << c.name;
    // Nothing of an unfinished chart is left beside it.
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
      std::string name = entry.path().filename().string();
      EXPECT_TRUE(name == "ved.txt" || name == "target.txt" || (name.back() == '~' && c.result == ChartResult::opened))
          << c.name << ": " << name;
    }
  }
}

TEST(WriteChart, AReplacedChartKeepsItsPermissions) {
  TempDir dir;
  std::string path = dir.file("ved.txt");
  std::ofstream(path) << "old";
  chmod(path.c_str(), 0640);
  CapturedConsole console;
  ASSERT_EQ(write_chart(empty_lanes(), console, path.c_str()), ChartResult::opened);
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}
#endif

// One take (from 0 ms to 3010 ms, frame 90): down-arrow taps at 1145 and
// 2105 ms (Left, frames 34 and 63), space at 1355 ms (40), left arrow at
// 2645 ms (Up, 79), and the right arrow held from 1640 to 2220 ms (a hold
// in Down, 49 to 66). Each 20 ms off a 120 BPM quarter-beat grid (every
// 125 ms), the hold 15 and 30.
TEST(RunChartStage, TurnsThePressLogIntoTheChartFreshMergedOrOnTheGrid) {
  static PressLog log;
  log.slots[0].timestamp = 0;
  log.slots[1] = {1145, KEY_DOWN};
  log.slots[2] = {1355, KEY_SPACE};
  log.slots[3] = {1640, KEY_RIGHT, true, 2220};
  log.slots[4] = {2105, KEY_DOWN};
  log.slots[5] = {2645, KEY_LEFT};
  log.count = 6;
  log.ended = 3010;
  const std::string OLD =
      "&left_data=10,40,95\r\n&down_data=\r\n&up_data=50\r\n&right_data=7\r\n&space_data=5,100\r\n"
      "&frzLeft_data=20,25,35,38\r\n&frzDown_data=60,70,95,99\r\n&frzUp_data=\r\n"
      "&frzRight_data=\r\n&frzSpace_data=\r\n&stop_data=\r\n&speed_data=\r\n&tuning=My song\r\n"
      "&mine=a b,c\r\n";
  struct Case {
    const char* name;
    const char* old;  // nullptr: no ved.txt, and without merging
    unsigned lanes;
    std::int32_t from_ms;
    BeatGrid grid;
    std::vector<std::string> chart;
    std::vector<std::string> report;  // what the console shows after the chart
  };
  const unsigned ALL = 31, SPACE = 1u << 4;
  const Case cases[] = {
      {"fresh",
       nullptr,
       ALL,
       0,
       {},
       chart_lines({"&left_data=34,63", "&down_data=", "&up_data=79", "&right_data=", "&space_data=40",
                    "&frzLeft_data=", "&frzDown_data=49,66"}),
       {}},
      {"merged into no chart",
       "",
       ALL,
       0,
       {},
       chart_lines({"&left_data=34,63", "&down_data=", "&up_data=79", "&right_data=", "&space_data=40",
                    "&frzLeft_data=", "&frzDown_data=49,66"}),
       {}},
      // From 1000 ms (frame 29): 40, 50, the hold at 35 and the one at 60 give way.
      {"merged from 1000 ms",
       OLD.c_str(),
       ALL,
       1000,
       {},
       {"&left_data=10,34,63,95", "&down_data=", "&up_data=79", "&right_data=7", "&space_data=5,40,100",
        "&frzLeft_data=20,25", "&frzDown_data=49,66,95,99", "&frzUp_data=", "&frzRight_data=", "&frzSpace_data=",
        "&stop_data=", "&speed_data=", "&tuning=My song", "&mine=a b,c"},
       {}},
      // Space alone: the other lanes' lines stay as they were, unsorted too;
      // a line the file lacks comes after the one before it in a chart.
      {"merged into space",
       "&left_data=40,10\n&tuning=X\n&space_data=5,60,100",
       SPACE,
       0,
       {},
       {"&left_data=40,10", "&down_data=", "&up_data=", "&right_data=", "&tuning=X", "&space_data=40,100",
        "&frzLeft_data=", "&frzDown_data=", "&frzUp_data=", "&frzRight_data=", "&frzSpace_data=", "&stop_data=",
        "&speed_data="},
       {}},
      {"on the grid",
       nullptr,
       ALL,
       0,
       {120, 0, 4},
       chart_lines({"&left_data=33,63", "&down_data=", "&up_data=78", "&right_data=", "&space_data=41",
                    "&frzLeft_data=", "&frzDown_data=48,67"}),
       {"Snapped to 1/4 beat at 120 BPM from 0 ms (every 125.0 ms):",
        "  left: 2 moved 20.0 ms on average, 20.0 ms at most", "  down: 2 moved 22.5 ms on average, 30.0 ms at most",
        "  up: 1 moved 20.0 ms on average, 20.0 ms at most", "  right: no taps",
        "  space: 1 moved 20.0 ms on average, 20.0 ms at most"}},
      // Half a step off: most taps move a third of a step or more.
      {"on a grid half a step off",
       nullptr,
       ALL,
       0,
       {120, 62.5, 4},
       chart_lines({"&left_data=35,61", "&down_data=", "&up_data=80", "&right_data=", "&space_data=39",
                    "&frzLeft_data=", "&frzDown_data=50,65"}),
       {"Snapped to 1/4 beat at 120 BPM from 62.5 ms (every 125.0 ms):",
        "  left: 2 moved 42.5 ms on average, 42.5 ms at most", "  down: 2 moved 40.0 ms on average, 47.5 ms at most",
        "  up: 1 moved 42.5 ms on average, 42.5 ms at most", "  right: no taps",
        "  space: 1 moved 42.5 ms on average, 42.5 ms at most",
        "Most taps moved 41.7 ms (a third of the grid) or more: is the BPM or the first beat wrong?"}},
  };
  for (const Case& c : cases) {
    TempDir dir;
    std::string path = dir.file("ved.txt");
    ChartStage stage;
    stage.grid = c.grid;
    stage.lanes = c.lanes;
    stage.take_from_ms = c.from_ms;
    ChartText old;
    if (c.old != nullptr) {
      if (c.old[0] != '\0') std::ofstream(path, std::ios::binary) << c.old;
      char why[200] = "";
      ASSERT_TRUE(read_chart(path.c_str(), old, why, sizeof why)) << c.name << ": " << why;
      stage.merge_into = &old;
    }
    CapturedConsole console;
    ASSERT_EQ(run_chart_stage(log, empty_lanes(), console, path.c_str(), stage), ChartResult::opened) << c.name;
    EXPECT_EQ(read_file(path), crlf(c.chart)) << c.name;
    std::vector<std::string> shown(console.lines.begin() + 1,
                                   console.lines.begin() + 1 + static_cast<long>(c.chart.size()));
    EXPECT_EQ(shown, c.chart) << c.name << ": the console shows the chart";
    std::vector<std::string> report(console.lines.end() - static_cast<long>(c.report.size()), console.lines.end());
    EXPECT_EQ(report, c.report) << c.name;
  }
}

// A take over the middle of a full chart (9999 notes across the lanes and
// the holds), read, merged and written back, well within a frame's time.
TEST(RunChartStage, AFullChartTakesATakeWithinTenMilliseconds) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "timed in the optimised build";
#endif
  std::string text;
  for (int line = 0; line < FRAME_LINES; ++line) {
    text += CHART_LABELS[line];
    for (int n = 0; n < 1000; ++n) text += (n == 0 ? "" : ",") + std::to_string(n * 20 + line);
    text += "\r\n";
  }
  auto log = std::make_unique<PressLog>();
  log->count = MAX_PRESS_SLOTS;
  for (int i = 1; i < MAX_PRESS_SLOTS; ++i) log->slots[i] = {static_cast<std::uint32_t>(100000 + i * 10), KEY_SPACE};
  log->ended = 100000 + MAX_PRESS_SLOTS * 10;
  auto lanes = std::make_unique<LaneLists>();
  TempDir dir;
  NullConsole console;
  auto started = std::chrono::steady_clock::now();
  ChartText chart;
  char why[100];
  ASSERT_TRUE(parse_chart(text, chart, why, sizeof why)) << why;
  ChartStage stage;
  stage.merge_into = &chart;
  stage.take_from_ms = 100000;
  EXPECT_EQ(run_chart_stage(*log, *lanes, console, dir.file("ved.txt").c_str(), stage), ChartResult::opened);
  double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
  std::printf("[ MEASURED ] a take of %d taps into a chart of %d notes: %.2f ms\n", MAX_PRESS_SLOTS - 1,
              FRAME_LINES * 1000, ms);
  EXPECT_LT(ms, 10);
  EXPECT_EQ(testing::value_count(read_file(dir.file("ved.txt")), "&space_data="), 1000 - 150 + MAX_PRESS_SLOTS - 1);
}

TEST(ReadChart, RefusesWhatIsNoChartAndSaysWhere) {
  const struct {
    std::string bytes;
    const char* why;  // "" for a chart
  } cases[] = {
      {"&left_data=1,-2\r\n&user line=x\n\r\n&frzUp_data=3,4", ""},
      {"&left_data=1,x2\r\n", "line 1 (&left_data=): 'x2' is not a whole number a frame can be"},
      {"&up_data=\r\n&down_data=1,,2\r\n", "line 2 (&down_data=): '' is not a whole number a frame can be"},
      {"&down_data=2147483648", "'2147483648' is not a whole number a frame can be"},
      {"&down_data=1.5", "'1.5' is not"},
      {"&space_data= 7", "' 7' is not"},
      {"&frzLeft_data=1,2,3\r\n", "line 1 (&frzLeft_data=): 3 values, not pairs of a press and its release"},
      {"&tuning=Name\r\njust words\r\n", "line 2: no '=' in it, as every line of a chart has"},
      {"&left_data=1\r\n&left_data=2\r\n", "line 2 (&left_data=): a second &left_data= line"},
      {std::string("&tuning=a\0b", 11), "line 1: not text (byte 0x00 at column 10)"},
      {std::string(MAX_CHART_BYTES + 1, 'a'), "8388609 bytes, more than a chart can be (8388608 at most)"},
  };
  for (const auto& c : cases) {
    ChartText chart;
    char why[200] = "";
    bool taken = parse_chart(c.bytes, chart, why, sizeof why);
    EXPECT_EQ(taken, c.why[0] == '\0') << c.bytes.substr(0, 40) << ": " << why;
    EXPECT_NE(std::string(why).find(c.why), std::string::npos) << why;
  }
  TempDir dir;
  ChartText chart;
  char why[200] = "";
  EXPECT_FALSE(read_chart(dir.path().c_str(), chart, why, sizeof why));
  EXPECT_STREQ(why, "not a regular file");
}

}  // namespace
}  // namespace tap
