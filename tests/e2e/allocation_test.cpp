#include <gtest/gtest.h>
#include <sys/wait.h>

#include <fstream>

#include "e2e/e2e_support.h"

namespace tap::testing {
namespace {

TEST(Allocation, NoneBetweenTheStartEnterAndTheEndOfTheCapture) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's allocator cannot be counted by preloading";
#else
  TempDir dir;
  PtySession::Options options;
  options.cwd = dir.path();
  options.env.push_back(std::string("LD_PRELOAD=") + ALLOC_COUNTER_LIBRARY);
  options.env.push_back("ALLOC_COUNT_FILE=" + dir.file("counts"));
  PtySession pty(PROGRAM, options);
  ASSERT_TRUE(pty.expect("終了時にENTERで出力します\r\n"));
  pty.send("\r");
  ASSERT_TRUE(pty.expect("計測開始！\r\n"));
  std::string keys;
  for (int i = 0; i < 300; ++i) keys += "\x1b[D\x1b[B\x1b[A\x1b[C x\x1b[1;5D\x1bOP\x1b[I\xe3\x81\x82\x03";
  pty.send(keys);
  pty.send("\x1b");  // a lone ESC: the reader's wait for more
  pty.drain(100);
  pty.send("\r");
  ASSERT_TRUE(pty.expect("ENTERで終了します\r\n", 30000));
  pty.send("\r");
  int status = pty.wait_exit();
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

  expect_no_allocation_in_capture(dir.file("counts"));
#endif
}

}  // namespace
}  // namespace tap::testing
