#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <termios.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>

#include "e2e/pty_session.h"
#include "test_support.h"

namespace tap::testing {

inline const std::string PROGRAM = TAP_RECORDER_BINARY;
inline const std::string OPENING = "ENTERで計測を開始します\r\n終了時にENTERで出力します\r\n";

inline PtySession::Options in(const TempDir& dir) {
  PtySession::Options options;
  options.cwd = dir.path();
  return options;
}

/// The exit code, or a value no exit code has when the program died of a signal.
inline int exit_code(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1000 - status; }

inline bool same_mode(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
         std::equal(std::begin(a.c_cc), std::end(a.c_cc), std::begin(b.c_cc));
}

/// What the allocation counter (alloc_counter.cpp, preloaded) wrote at the
/// program's exit: it saw the capture open and close, it counted at all, and
/// it counted nothing in between.
inline void expect_no_allocation_in_capture(const std::string& counts_path) {
  std::ifstream counts(counts_path);
  long at_start = -1, at_end = -1, total = -1;
  counts >> at_start >> at_end >> total;
  ASSERT_GE(at_start, 0) << "the capture's first line was not seen";
  ASSERT_GE(at_end, 0) << "the capture's last line was not seen";
  EXPECT_GT(total, 0) << "no allocation counted at all: the counter is not in place";
  EXPECT_EQ(at_end - at_start, 0);
}

inline bool is_raw(const termios& mode) { return (mode.c_lflag & (ECHO | ICANON | ISIG)) == 0; }

}  // namespace tap::testing
