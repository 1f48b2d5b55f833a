#pragma once

#include <sys/types.h>
#include <termios.h>

#include <string>
#include <vector>

namespace tap::testing {

/// The program run on a fresh pseudo-terminal that is its controlling
/// terminal, the test typing into the terminal's master side and reading
/// what the program writes, as a terminal emulator would.
class PtySession {
 public:
  struct Options {
    std::string cwd;
    std::vector<std::string> env = {"LANG=C.UTF-8", "PATH=/usr/bin:/bin"};
    std::vector<std::string> args;  // after the program's name
    bool stdin_from_dev_null = false;
    std::string typed_ahead;
    bool output_processing_off = false;   // as after stty raw: LF is not turned into CR LF  // typed before the program
                                          // starts, in the terminal's own mode
    std::string stdout_path;              // standard output to this file (in cwd), not the terminal
    std::vector<int> closed_descriptors;  // of 0, 1 and 2: closed before the program starts
    bool ignore_hang_up = false;          // as nohup starts it
    long file_size_limit = -1;            // bytes, as ulimit -f sets it
    int cpu = -1;                         // pin the program to this CPU (benchmarks), or leave it free
  };

  PtySession(const std::string& program, const Options& options);
  ~PtySession();
  PtySession(const PtySession&) = delete;
  PtySession& operator=(const PtySession&) = delete;

  /// Types bytes, reading the program's output meanwhile so neither side
  /// blocks on a full buffer.
  void send(const std::string& bytes);

  /// Types bytes and spins until the first byte of the answer; returns the
  /// nanoseconds in between, or -1 when none came within `timeout_ms`. The
  /// rest of the answer is read until the output has been quiet for
  /// `quiet_us` microseconds.
  long long time_answer(const std::string& bytes, int timeout_ms = 2000, int quiet_us = 1000);

  /// Waits until `text` appears in the output after the previous match and
  /// moves past it. False after `timeout_ms` without it.
  bool expect(const std::string& text, int timeout_ms = 5000);

  /// Reads whatever the program writes for `ms` milliseconds.
  void drain(int ms);

  /// Waits for the program to end and returns its wait status (the program's
  /// exit code, or death by the same signal); -1 on timeout.
  int wait_exit(int timeout_ms = 10000);

  /// Waits until the program has stopped (SIGTSTP); false on timeout.
  bool wait_stopped(int timeout_ms = 5000);

  /// The terminal's current mode, as the program left it or set it.
  termios mode() const;

  /// Sets the terminal's mode, as a shell does when its job stops.
  void set_mode(const termios& mode);

  /// The terminal's mode before the program started.
  const termios& initial_mode() const { return initial_mode_; }

  /// Hangs up: closes the terminal's master side.
  void hang_up();

  const std::string& output() const { return output_; }
  /// The output split at CR LF, the terminal's line end, without the
  /// program's switches of paste marking.
  std::vector<std::string> lines() const;
  pid_t pid() const { return pid_; }

 private:
  bool read_some(int timeout_ms);

  int master_ = -1;
  pid_t shell_ = -1;  // stands in for the user's shell; ends as the program ends
  pid_t pid_ = -1;
  int status_ = -1;
  std::string output_;
  std::size_t matched_ = 0;
  bool closed_ = false;
  termios initial_mode_{};
};

/// Runs the program with no controlling terminal at all and returns its
/// wait status, with standard output and error captured.
int run_without_terminal(const std::string& program, const std::string& cwd, std::string& out, std::string& err);

}  // namespace tap::testing
