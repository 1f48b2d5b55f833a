#include <gtest/gtest.h>
#include <sys/wait.h>

#include <random>
#include <regex>

#include "e2e/e2e_support.h"

namespace tap::testing {
namespace {

struct Known {
  const char* bytes;
  const char* answer;
  const char* lane;  // where the tap lands in the chart
};

const Known KNOWN[] = {
    {"\x1b[D", "←が押されました", "&up_data="},    {"\x1b[B", "↓が押されました", "&left_data="},
    {"\x1b[A", "↑が押されました", "&right_data="}, {"\x1b[C", "→が押されました", "&down_data="},
    {" ", "SPACEが押されました", "&space_data="},
};

// A megabyte of random bytes, the known keys mixed in between. Random bytes
// never include CR or a space, nor M and u, which end sequences that mean
// Enter (ESC O M, CSI 13 u), nor 0xA0, which after 0xC2 is Alt+Space; a CAN (Ctrl+X) before each known key ends
// whatever the random bytes left half-sent, so each known key arrives whole.
TEST(Flood, RandomBytesAroundKnownKeysLoseNoKnownKey) {
  std::mt19937 random(20261208);
  std::string flood;
  int sent[5] = {};
  while (flood.size() < (1u << 20)) {
    std::size_t run = random() % 1000;
    for (std::size_t i = 0; i < run; ++i) {
      unsigned char b;
      do {
        b = static_cast<unsigned char>(random());
      } while (b == '\r' || b == ' ' || b == 'M' || b == 'u' || b == 0xA0);
      flood += static_cast<char>(b);
    }
    int k = static_cast<int>(random() % 5);
    flood += '\x18';
    flood += KNOWN[k].bytes;
    ++sent[k];
  }

  TempDir dir;
  PtySession::Options options;
  options.cwd = dir.path();
  PtySession pty(PROGRAM, options);
  ASSERT_TRUE(pty.expect("終了時にENTERで出力します\r\n"));
  pty.send("\r");
  ASSERT_TRUE(pty.expect("計測開始！\r\n"));
  pty.send(flood);
  pty.send("\x18\r");
  ASSERT_TRUE(pty.expect("ENTERが押されました\r\n", 240000));
  ASSERT_TRUE(pty.expect("ENTERで終了します\r\n", 10000));
  pty.send("\r");
  int status = pty.wait_exit(60000);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

  std::vector<std::string> lines = pty.lines();
  std::string chart = read_file(dir.file("ved.txt"));
  int answered_total = 0, sent_total = 0;
  for (int k = 0; k < 5; ++k) {
    int answered = static_cast<int>(std::count(lines.begin(), lines.end(), KNOWN[k].answer));
    // Random bytes may make an arrow of their own now and then, never lose one.
    EXPECT_GE(answered, sent[k]) << KNOWN[k].answer;
    EXPECT_EQ(value_count(chart, KNOWN[k].lane), answered) << KNOWN[k].lane;
    answered_total += answered;
    sent_total += sent[k];
  }
  EXPECT_LE(answered_total, sent_total + 20);
}

}  // namespace
}  // namespace tap::testing
