#include "chart/chart_writer.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace tap {
namespace {

using testing::CapturedConsole;
using testing::read_file;
using testing::TempDir;

using testing::crlf;
using testing::FIXED_CHART_LINES;

std::vector<std::string> chart_lines(const std::vector<std::string>& lanes) {
  std::vector<std::string> lines = lanes;
  lines.insert(lines.end(), FIXED_CHART_LINES.begin(), FIXED_CHART_LINES.end());
  return lines;
}

LaneLists& empty_lanes() {
  static LaneLists lanes;
  for (LaneList& list : lanes.lanes) list.count = 0;
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
  };
  for (const Case& c : cases) {
    TempDir dir;
    CapturedConsole console;
    LaneLists& lanes = empty_lanes();
    for (int lane = 0; lane < LANE_COUNT; ++lane) set_lane(lanes, static_cast<Lane>(lane), c.lanes[lane]);

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
}

TEST(WriteChart, FileThatCannotBeOpenedStillShowsTheLinesAfterDontOpen) {
  TempDir dir;
  std::string path = dir.file("ved.txt");
  ASSERT_TRUE(testing::make_directory(path));
  CapturedConsole console;
  LaneLists& lanes = empty_lanes();
  set_lane(lanes, Lane::left, {1, 2});
  EXPECT_EQ(write_chart(lanes, console, path.c_str()), ChartResult::not_opened);
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
}

TEST(RunChartStage, TurnsThePressLogIntoTheChart) {
  TempDir dir;
  static PressLog log;
  log.slots[0].timestamp = 1000;
  log.slots[1] = {1100, KEY_DOWN};
  log.slots[2] = {2034, KEY_DOWN};
  log.slots[3] = {3500, KEY_SPACE};
  log.slots[4] = {3501, KEY_LEFT};
  log.count = 5;
  CapturedConsole console;
  ASSERT_EQ(run_chart_stage(log, empty_lanes(), console, dir.file("ved.txt").c_str()), ChartResult::opened);
  EXPECT_EQ(read_file(dir.file("ved.txt")),
            crlf(chart_lines({"&left_data=2,31", "&down_data=", "&up_data=75", "&right_data=", "&space_data=75"})));
}

}  // namespace
}  // namespace tap
