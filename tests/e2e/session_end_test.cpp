// The ways a terminal session really ends, with the program started from an
// interactive shell as a user would start it.

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <thread>

#include "e2e/e2e_support.h"

namespace tap::testing {
namespace {

using Clock = std::chrono::steady_clock;

/// bash -i as the session leader of a fresh pty, the way a terminal window
/// runs the user's shell. This process is made a subreaper, so the program
/// is reaped here once the shell is gone.
class InteractiveShell {
 public:
  explicit InteractiveShell(const std::string& cwd) {
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    winsize size{};
    size.ws_row = 40;
    size.ws_col = 100;
    shell_ = forkpty(&master_, nullptr, nullptr, &size);
    if (shell_ == 0) {
      if (chdir(cwd.c_str()) != 0) _exit(125);
      const char* env[] = {"LANG=C.UTF-8", "PATH=/usr/bin:/bin", "PS1=$ ", "TERM=xterm", "HOME=/", nullptr};
      execle("/bin/bash", "bash", "--norc", "--noprofile", "-i", nullptr, env);
      _exit(127);
    }
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  }
  ~InteractiveShell() {
    if (master_ >= 0) close(master_);
    if (shell_ > 0) kill(shell_, SIGKILL);
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
  }

  void type(const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      pump(1);
      ssize_t n = write(master_, bytes.data() + sent, bytes.size() - sent);
      if (n > 0) sent += static_cast<std::size_t>(n);
    }
  }
  /// Types without reading what comes back, until the terminal takes no
  /// more: the program is then blocked writing to a console nobody reads.
  void type_until_blocked(const std::string& bytes) {
    std::size_t sent = 0;
    auto last = Clock::now();
    while (sent < bytes.size() && Clock::now() - last < std::chrono::milliseconds(300)) {
      ssize_t n = write(master_, bytes.data() + sent, bytes.size() - sent);
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
        last = Clock::now();
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
  }
  /// Reads what the program wrote, until it has been quiet for `quiet_ms`.
  void read_all(int quiet_ms = 200) {
    std::size_t seen = output_.size();
    for (auto last = Clock::now(); Clock::now() - last < std::chrono::milliseconds(quiet_ms);) {
      pump(10);
      if (output_.size() != seen) {
        seen = output_.size();
        last = Clock::now();
      }
    }
  }
  /// Reads until `text` has been seen `times` times in all; false on timeout.
  bool wait_for(const std::string& text, int times = 1, int timeout_ms = 20000) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (count(text) < times) {
      if (Clock::now() > deadline) return false;
      pump(10);
    }
    return true;
  }
  int count(const std::string& text) const {
    int n = 0;
    for (std::size_t at = output_.find(text); at != std::string::npos; at = output_.find(text, at + text.size())) ++n;
    return n;
  }
  /// The terminal window is closed.
  void close_window() {
    close(master_);
    master_ = -1;
  }
  pid_t shell() const { return shell_; }
  const std::string& output() const { return output_; }

 private:
  void pump(int timeout_ms) {
    pollfd fd{master_, POLLIN, 0};
    if (poll(&fd, 1, timeout_ms) <= 0) return;
    char buffer[65536];
    ssize_t n = read(master_, buffer, sizeof buffer);
    if (n > 0) output_.append(buffer, static_cast<std::size_t>(n));
  }

  int master_ = -1;
  pid_t shell_ = -1;
  std::string output_;
};

/// Keeps every CPU busy for as long as it lives, as a parallel build would.
class BusyMachine {
 public:
  BusyMachine() {
    for (pid_t& child : children_) {
      child = fork();
      if (child == 0) {
        for (volatile unsigned long spin = 0;; ++spin) {
        }
      }
    }
  }
  ~BusyMachine() {
    for (pid_t child : children_) {
      kill(child, SIGKILL);
      waitpid(child, nullptr, 0);
    }
  }

 private:
  pid_t children_[2];
};

// Waits for `pid`, a child of the shell and so ours once the shell is gone.
int wait_for_program(pid_t pid, int timeout_ms) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (Clock::now() < deadline) {
    int status = 0;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return status;
    if (done < 0 && errno == ECHILD && kill(pid, 0) != 0) return -2;  // reaped elsewhere
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return -1;
}

// Closing the window hangs the terminal up: the read fails, the shell passes
// a SIGHUP on to its job and the kernel sends another when the shell goes.
// A logout sends SIGTERM and then SIGHUP, maybe while the console blocks.
// However those land, the chart holds every tap that was answered.
TEST(SessionEnd, ClosingTheTerminalWindowKeepsEveryAnsweredTap) {
  BusyMachine busy;
  const int runs = 30;
  const int taps = 6000;
  std::string arrows;
  for (int i = 0; i < taps; ++i) arrows += i % 2 == 0 ? "\x1b[C" : " ";
  int lost = 0;
  for (int run = 0; run < runs; ++run) {
    bool logout = run % 3 == 2;
    TempDir dir;
    InteractiveShell shell(dir.path());
    ASSERT_TRUE(shell.wait_for("$ ")) << run;
    shell.type("sh -c 'echo $$ > pid; exec " + PROGRAM + "'\r");
    ASSERT_TRUE(shell.wait_for("終了時にENTERで出力します\r\n")) << run;
    pid_t pid = std::stoi(read_file(dir.file("pid")));
    shell.type("\r");
    if (logout) {
      shell.type(arrows.substr(0, 600));
      ASSERT_TRUE(shell.wait_for("が押されました", 100)) << run;
      shell.type_until_blocked(arrows.substr(600));
      kill(pid, SIGTERM);
      kill(pid, SIGHUP);
      shell.read_all();
    } else {
      shell.type(arrows);
      // A few thousand answered, then the window goes while answers are still coming.
      ASSERT_TRUE(shell.wait_for("が押されました", taps / 2)) << run;
    }
    shell.close_window();
    int status = wait_for_program(pid, 20000);
    ASSERT_NE(status, -1) << "run " << run << ": the program did not end";
    int answered = shell.count("→が押されました") + shell.count("SPACEが押されました");

    std::string chart = read_file(dir.file("ved.txt"));
    bool whole = std::regex_match(chart, std::regex("&left_data=\r\n&down_data=[0-9,]*\r\n&up_data=\r\n"
                                                    "&right_data=\r\n&space_data=[0-9,]*\r\n&frzLeft_data=\r\n"
                                                    "&frzDown_data=\r\n&frzUp_data=\r\n&frzRight_data=\r\n"
                                                    "&frzSpace_data=\r\n&stop_data=\r\n&speed_data=\r\n"
                                                    "&tuning=Name\r\n"));
    int recorded = value_count(chart, "&down_data=") + value_count(chart, "&space_data=");
    if (!whole || recorded < answered || answered == 0) {
      ++lost;
      ADD_FAILURE() << "run " << run << (logout ? " (logout)" : "") << ": " << recorded << " of " << answered
                    << " answered taps in a chart of " << chart.size() << " bytes, exit status " << status;
    }
  }
  EXPECT_EQ(lost, 0) << "of " << runs << " closes";
}

// A job that is stopped or in the background ends on kill like any other:
// it must not stop itself again changing the terminal's mode from there.
TEST(SessionEnd, KillEndsAStoppedOrBackgroundJob) {
  struct Case {
    const char* name;
    bool in_background;  // started with &, it stops at once (tty output)
    bool tap_first;      // in the foreground, a tap, then SIGTSTP from outside
  };
  const Case cases[] = {{"started in the background", true, false}, {"stopped during the capture", false, true}};
  for (const Case& c : cases) {
    TempDir dir;
    InteractiveShell shell(dir.path());
    ASSERT_TRUE(shell.wait_for("$ ")) << c.name;
    if (c.in_background) {
      shell.type(PROGRAM + " &\r");
      shell.type("jobs\r");
      for (int i = 0; i < 50 && shell.count("Stopped") == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        shell.type("jobs\r");
      }
    } else {
      shell.type("sh -c 'echo $$ > pid; exec " + PROGRAM + "'\r");
      ASSERT_TRUE(shell.wait_for("終了時にENTERで出力します\r\n")) << c.name;
      shell.type("\r ");
      ASSERT_TRUE(shell.wait_for("SPACEが押されました")) << c.name;
      kill(std::stoi(read_file(dir.file("pid"))), SIGTSTP);
    }
    ASSERT_TRUE(shell.wait_for("Stopped", 1, 5000)) << c.name;
    // The shell tells of a job that ended at its next prompt.
    shell.type("kill %1; sleep 1; jobs\r");
    ASSERT_TRUE(shell.wait_for("Exit 143", 1, 5000)) << c.name << ": the job did not end in a second\n"
                                                     << shell.output();
    if (c.tap_first) {
      EXPECT_TRUE(std::regex_search(read_file(dir.file("ved.txt")), std::regex("&space_data=[0-9]+\r\n"))) << c.name;
    }
  }
}

}  // namespace
}  // namespace tap::testing
