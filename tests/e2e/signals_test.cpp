#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <regex>

#include "e2e/e2e_support.h"

namespace tap::testing {
namespace {

bool file_exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

struct Ending {
  int signo;
  int exit_code;
  std::string message;
};

// Every signal whose default action would end the program.
const Ending ENDINGS[] = {
    {SIGTERM, 143, "tap-recorder: stopped by SIGTERM"},
    {SIGINT, 130, "tap-recorder: stopped by SIGINT"},
    {SIGQUIT, 131, "tap-recorder: stopped by SIGQUIT"},
    {SIGHUP, 2, "tap-recorder: the terminal was lost (hang-up)"},
    {SIGUSR1, 138, "tap-recorder: stopped by SIGUSR1"},
    {SIGUSR2, 140, "tap-recorder: stopped by SIGUSR2"},
    {SIGALRM, 142, "tap-recorder: stopped by SIGALRM"},
    {SIGVTALRM, 154, "tap-recorder: stopped by SIGVTALRM"},
    {SIGPROF, 155, "tap-recorder: stopped by SIGPROF"},
    {SIGXCPU, 152, "tap-recorder: stopped by SIGXCPU"},
    {SIGPWR, 158, "tap-recorder: stopped by SIGPWR"},
    {SIGRTMIN + 3, 128 + SIGRTMIN + 3, "tap-recorder: stopped by SIGRTMIN+3"},
    {SIGRTMIN, 128 + SIGRTMIN, "tap-recorder: stopped by SIGRTMIN"},
    {SIGRTMAX - 3, 128 + SIGRTMAX - 3, "tap-recorder: stopped by SIGRTMAX-3"},
    {SIGRTMAX, 128 + SIGRTMAX, "tap-recorder: stopped by SIGRTMAX"},
    // Sent with kill, the crash signals are no crash but a request to stop.
    {SIGSEGV, 139, "tap-recorder: stopped by SIGSEGV"},
    {SIGBUS, 135, "tap-recorder: stopped by SIGBUS"},
    {SIGABRT, 134, "tap-recorder: stopped by SIGABRT"},
    {SIGTRAP, 133, "tap-recorder: stopped by SIGTRAP"},
};

// With --holds, in a terminal that answers the kitty keyboard protocol's
// query: the program asks it for releases, and takes that back however it
// ends.
PtySession::Options holds_in_a_kitty_terminal(const TempDir& dir) {
  PtySession::Options options = in(dir);
  options.args = {"--holds"};
  return options;
}
bool answer_as_a_kitty_terminal(PtySession& pty) {
  if (!pty.expect("\x1b[?u\x1b[c")) return false;
  pty.send("\x1b[?0u\x1b[?62;22c");
  return pty.expect("\x1b[>10u");
}

TEST(Signals, DuringTheCaptureTheChartIsWrittenAndTheTerminalRestored) {
  for (const Ending& e : ENDINGS) {
    TempDir dir;
    bool kitty = e.signo == SIGTERM || e.signo == SIGHUP;
    PtySession pty(PROGRAM, kitty ? holds_in_a_kitty_terminal(dir) : in(dir));
    if (kitty) {
      ASSERT_TRUE(answer_as_a_kitty_terminal(pty)) << e.signo;
    }
    ASSERT_TRUE(pty.expect(OPENING));
    pty.send("\r \x1b[D");
    ASSERT_TRUE(pty.expect("←が押されました\r\n")) << e.signo;
    kill(pty.pid(), e.signo);
    int status = pty.wait_exit();
    ASSERT_TRUE(WIFEXITED(status)) << e.signo;
    EXPECT_EQ(WEXITSTATUS(status), e.exit_code) << e.signo;
    EXPECT_TRUE(pty.expect("Can Open File\r\n")) << e.signo;
    EXPECT_TRUE(pty.expect(e.message + "\r\n")) << e.signo;
    EXPECT_EQ(pty.output().find("That's All !!"), std::string::npos) << e.signo;
    EXPECT_NE(pty.output().find("\x1b[?2004l"), std::string::npos) << e.signo << ": paste marking left on";
    if (kitty) {
      EXPECT_NE(pty.output().find("\x1b[<u"), std::string::npos) << e.signo << ": releases left on";
    }
    std::string chart = read_file(dir.file("ved.txt"));
    EXPECT_TRUE(std::regex_search(chart, std::regex("&up_data=[0-9]+\r\n&right_data=\r\n&space_data=[0-9]+\r\n")))
        << e.signo;
    EXPECT_NE(chart.find("&tuning=Name\r\n"), std::string::npos) << e.signo;
    EXPECT_TRUE(same_mode(pty.mode(), pty.initial_mode())) << e.signo;
  }
}

TEST(Signals, WhileWaitingForEnterTheProgramEndsWithTheTerminalRestored) {
  for (const Ending& e : ENDINGS) {
    for (bool at_the_end : {false, true}) {
      TempDir dir;
      PtySession pty(PROGRAM, in(dir));
      ASSERT_TRUE(pty.expect(OPENING));
      if (at_the_end) {
        pty.send("\r \r");
        ASSERT_TRUE(pty.expect("ENTERで終了します\r\n"));
      }
      kill(pty.pid(), e.signo);
      int status = pty.wait_exit();
      ASSERT_TRUE(WIFEXITED(status)) << e.signo;
      EXPECT_EQ(WEXITSTATUS(status), e.exit_code) << e.signo;
      EXPECT_TRUE(pty.expect(e.message + "\r\n")) << e.signo;
      EXPECT_EQ(file_exists(dir.file("ved.txt")), at_the_end) << e.signo;
      EXPECT_EQ(pty.output().find("終了！"), std::string::npos) << e.signo;
      EXPECT_TRUE(same_mode(pty.mode(), pty.initial_mode())) << e.signo;
    }
  }
}

// SIGTSTP is the program's to handle; SIGSTOP cannot be caught, and the
// shell puts its own mode back on the terminal when its job stops.
TEST(Signals, StopRestoresTheTerminalAndContinueCarriesOnRecording) {
  for (int stop : {SIGTSTP, SIGSTOP}) {
    TempDir dir;
    PtySession pty(PROGRAM, in(dir));
    ASSERT_TRUE(pty.expect(OPENING));
    pty.send("\r ");
    ASSERT_TRUE(pty.expect("SPACEが押されました\r\n"));
    kill(pty.pid(), stop);
    ASSERT_TRUE(pty.wait_stopped()) << stop;
    if (stop == SIGSTOP) pty.set_mode(pty.initial_mode());
    EXPECT_TRUE(same_mode(pty.mode(), pty.initial_mode())) << stop;

    kill(pty.pid(), SIGCONT);
    for (int i = 0; i < 200 && !is_raw(pty.mode()); ++i) pty.drain(5);
    EXPECT_TRUE(is_raw(pty.mode())) << stop;
    pty.send("\x1b[D");
    ASSERT_TRUE(pty.expect("←が押されました\r\n")) << stop;
    pty.send("\r\r");
    int status = pty.wait_exit();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << stop << ": " << status;
    std::string chart = read_file(dir.file("ved.txt"));
    EXPECT_TRUE(std::regex_search(chart, std::regex("&up_data=[0-9]+\r\n&right_data=\r\n&space_data=[0-9]+\r\n")))
        << stop;
    EXPECT_TRUE(same_mode(pty.mode(), pty.initial_mode())) << stop;
  }
}

// Under nohup a hang-up was ignored before the program started: it stays so.
TEST(Signals, AnIgnoredHangUpStaysIgnored) {
  TempDir dir;
  PtySession::Options options = in(dir);
  options.ignore_hang_up = true;
  PtySession pty(PROGRAM, options);
  ASSERT_TRUE(pty.expect(OPENING));
  pty.send("\r ");
  ASSERT_TRUE(pty.expect("SPACEが押されました\r\n"));
  kill(pty.pid(), SIGHUP);
  pty.send("\x1b[D");
  ASSERT_TRUE(pty.expect("←が押されました\r\n"));
  pty.send("\r\r");
  EXPECT_EQ(exit_code(pty.wait_exit()), 0);
  EXPECT_TRUE(same_mode(pty.mode(), pty.initial_mode()));
}

// A crash of the program's own (here raised from inside it as it answers
// SPACE).
TEST(Signals, CrashRestoresTheTerminalAndDiesOfTheSameSignal) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizers take a crash for their own";
#else
  for (int signo : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGSYS, SIGTRAP}) {
    TempDir dir;
    bool kitty = signo == SIGSEGV;
    PtySession::Options options = kitty ? holds_in_a_kitty_terminal(dir) : in(dir);
    options.env.push_back(std::string("LD_PRELOAD=") + CRASH_ON_TAP_LIBRARY);
    options.env.push_back("CRASH_SIGNAL=" + std::to_string(signo));
    PtySession pty(PROGRAM, options);
    if (kitty) {
      ASSERT_TRUE(answer_as_a_kitty_terminal(pty));
    }
    ASSERT_TRUE(pty.expect(OPENING));
    ASSERT_TRUE(is_raw(pty.mode()));
    pty.send("\r ");
    int status = pty.wait_exit();
    ASSERT_TRUE(WIFSIGNALED(status)) << signo << " status " << status;
    EXPECT_EQ(WTERMSIG(status), signo);
    if (kitty) {
      EXPECT_NE(pty.output().find("\x1b[<u"), std::string::npos) << "releases left on";
    }
    EXPECT_TRUE(same_mode(pty.mode(), pty.initial_mode())) << signo;
  }
#endif
}

}  // namespace
}  // namespace tap::testing
