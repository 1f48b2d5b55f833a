#include "console/terminal_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>

namespace tap {
namespace {

int tty_fd = -1;
termios saved_mode;
termios raw_mode;
volatile sig_atomic_t raw_active = 0;
volatile sig_atomic_t releases_wanted = 0;

constexpr char PASTE_MARKING_ON[] = "\x1b[?2004h";
constexpr char PASTE_MARKING_OFF[] = "\x1b[?2004l";
// The kitty keyboard protocol's flags pushed on its stack and popped off
// again: report event types (2) and every key as an escape code (8), so
// that the space bar's release is told too.
constexpr char RELEASES_ON[] = "\x1b[>10u";
constexpr char RELEASES_OFF[] = "\x1b[<u";

void tell_terminal(const char* sequence, std::size_t length) {
  while (write(tty_fd, sequence, length) < 0 && errno == EINTR) {
  }
}

termios make_raw(const termios& mode) {
  termios raw = mode;
  // No echo, no line editing, no signals from Ctrl+C/Z/\, no flow control,
  // no CR-to-LF: every key reaches us as its bytes. Output processing is
  // left alone so that LF still starts a new line.
  raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  raw.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | BRKINT | PARMRK);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  return raw;
}

}  // namespace

bool open_terminal(char* why, std::size_t size) {
  tty_fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (tty_fd >= 0 && tcgetattr(tty_fd, &saved_mode) == 0) {
    raw_mode = make_raw(saved_mode);
    return true;
  }
  std::snprintf(why, size, "/dev/tty: %s", strerror(errno));
  close_terminal();
  return false;
}

void close_terminal() {
  if (tty_fd >= 0) close(tty_fd);
  tty_fd = -1;
}

int terminal_fd() { return tty_fd; }

bool terminal_turned_cr_into_lf() {
  return (saved_mode.c_iflag & ICRNL) != 0 && (saved_mode.c_iflag & (IGNCR | INLCR)) == 0;
}

bool terminal_in_foreground() { return tcgetpgrp(tty_fd) == getpgrp(); }

// Marked on before the mode is asked for: a stop while the request waits
// (SIGTTOU) finds it on, and puts the found mode back.
bool enter_raw_mode() {
  raw_active = 1;
  if (tcsetattr(tty_fd, TCSANOW, &raw_mode) == 0) {
    tell_terminal(PASTE_MARKING_ON, sizeof PASTE_MARKING_ON - 1);
    if (releases_wanted) tell_terminal(RELEASES_ON, sizeof RELEASES_ON - 1);
    return true;
  }
  raw_active = 0;
  return false;
}

void leave_raw_mode() {
  if (raw_active && terminal_in_foreground()) {
    if (releases_wanted) tell_terminal(RELEASES_OFF, sizeof RELEASES_OFF - 1);
    tell_terminal(PASTE_MARKING_OFF, sizeof PASTE_MARKING_OFF - 1);
    while (tcsetattr(tty_fd, TCSANOW, &saved_mode) != 0 && errno == EINTR) {
    }
  }
  raw_active = 0;
}

void report_key_releases() {
  releases_wanted = 1;
  if (raw_active) tell_terminal(RELEASES_ON, sizeof RELEASES_ON - 1);
}

}  // namespace tap
