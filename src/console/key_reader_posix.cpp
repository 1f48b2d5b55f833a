// The POSIX key reader: the controlling terminal in raw mode for the whole
// run, its bytes turned into key-down records by TerminalDecoder and then
// into codes by the same translation the Windows console uses.

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

#include "console/key_reader.h"
#include "console/key_stream.h"
#include "console/signals_posix.h"
#include "console/terminal_posix.h"

namespace tap {
namespace {

// How long a partial sequence (a lone ESC above all) or a string waits for
// the rest. Terminals send a sequence or a reply in one write, so the rest
// comes at once or never; one that a key press opened (Alt+] is OSC's
// opener) waits for nothing, and the taps after it are late by this at most.
constexpr int SEQUENCE_WAIT_MS = 10;
// How long the terminal gets to answer whether it tells releases: one on
// the other side of a network answers within this too.
constexpr int ANSWER_WAIT_MS = 300;

// Until the terminal has bytes to read or `wait_us` has passed: select()'s
// result. select() rather than poll(): macOS's poll() does not support
// devices and reports POLLNVAL for a terminal at once.
int wait_for_input(long wait_us) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(terminal_fd(), &readable);
  timeval wait{static_cast<time_t>(wait_us / 1000000), static_cast<suseconds_t>(wait_us % 1000000)};
  return select(terminal_fd() + 1, &readable, nullptr, nullptr, &wait);
}

}  // namespace

struct KeyReader::Platform {
  explicit Platform(TextEncoding encoding) : keys(encoding) {}
  KeyStream keys;
  // A code key_ready took from the bytes held, for the next read.
  int ahead = 0;
  bool has_ahead = false;
  // Bytes typed before raw mode was taken, which the terminal's old mode
  // took in: where it turned CR into LF, an LF among them is the ENTER the
  // user typed while the program was starting.
  int typed_ahead = 0;

  // The `n` bytes just read: an LF typed ahead is the ENTER it stands for.
  void restore_typed_enters(unsigned char* bytes, ssize_t n) {
    for (ssize_t i = 0; i < n && typed_ahead > 0; ++i, --typed_ahead) {
      if (bytes[i] == '\n') bytes[i] = '\r';
    }
  }
};

KeyReader::KeyReader(TextEncoding encoding) { open_ = open_key_reader(encoding); }

KeyReader::~KeyReader() { close_key_reader(); }

bool KeyReader::open_key_reader(TextEncoding encoding) {
  char why[sizeof status_.detail];
  if (!open_terminal(why, sizeof why)) {
    fail(ReaderFault::no_terminal, why);
    return false;
  }
  platform_ = std::make_unique<Platform>(encoding);
  take_terminal();
  int waiting = 0;
  if (terminal_turned_cr_into_lf() && ioctl(terminal_fd(), FIONREAD, &waiting) == 0) platform_->typed_ahead = waiting;
  return true;
}

int KeyReader::read_key() {
  if (!open_) return -1;
  KeyStream& keys = platform_->keys;
  int code = 0;
  if (platform_->has_ahead) {
    platform_->has_ahead = false;
    return platform_->ahead;
  }
  // A second code is owed whatever happened since its first half.
  if (keys.take_pending(code)) return code;
  if (status_.fault != ReaderFault::none) return -1;
  for (;;) {
    if (int signo = termination_requested()) {
      // A hang-up means the terminal is gone, whoever sent it; the others
      // are a request to stop.
      if (signo == SIGHUP) return fail(ReaderFault::terminal_lost, "hang-up");
      status_.signal_number = signo;
      char name[32];
      name_signal(signo, name, sizeof name);
      return fail(ReaderFault::signal, name);
    }
    if (keys.next(code)) return code;

    // Only a partial sequence waits with a timeout; otherwise one blocking
    // read per key, the least a terminal program can do.
    if (keys.waiting()) {
      int ready = wait_for_input(SEQUENCE_WAIT_MS * 1000L);
      if (ready < 0) {
        if (errno == EINTR) continue;
        return fail(ReaderFault::terminal_lost, strerror(errno));
      }
      if (ready == 0) {
        if (keys.flush(code)) return code;
        continue;
      }
    }
    unsigned char* into = keys.space();
    ssize_t n = read(terminal_fd(), into, keys.space_size());
    if (n == 0) return fail(ReaderFault::terminal_lost, "end of input");
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;  // a signal: seen at the top of the loop
      return fail(ReaderFault::terminal_lost, strerror(errno));
    }
    platform_->restore_typed_enters(into, n);
    keys.filled(static_cast<std::size_t>(n));
  }
}

// Bytes held from an earlier read may already make a key; a partial
// sequence is settled by the read itself within SEQUENCE_WAIT_MS.
bool KeyReader::key_ready(int wait_ms) {
  if (!open_) return true;
  Platform& state = *platform_;
  if (state.has_ahead || state.keys.has_pending() || state.keys.waiting() || status_.fault != ReaderFault::none ||
      termination_requested() != 0)
    return true;
  if (state.keys.next(state.ahead)) {
    state.has_ahead = true;
    return true;
  }
  // An error or a signal is for the read to tell.
  return wait_for_input(wait_ms * 1000L) != 0;
}

// Most terminals send the bytes of a key-down alone; those that speak the
// kitty keyboard protocol tell releases when asked. Whether one does is
// asked of it, with a request every terminal answers behind: what the
// answers bring with them (keys typed meanwhile) goes to the keys.
bool KeyReader::report_releases() {
  if (!open_) return false;
  static const char QUERY[] = "\x1b[?u\x1b[c";
  if (write(terminal_fd(), QUERY, sizeof QUERY - 1) != static_cast<ssize_t>(sizeof QUERY - 1)) return false;
  unsigned char answer[256];
  std::size_t got = 0;
  ProtocolAnswer heard = ProtocolAnswer::waiting;
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  while (heard == ProtocolAnswer::waiting && got < sizeof answer) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    long waited_us = (now.tv_sec - start.tv_sec) * 1000000L + (now.tv_nsec - start.tv_nsec) / 1000;
    if (waited_us >= ANSWER_WAIT_MS * 1000L) break;
    int ready = wait_for_input(ANSWER_WAIT_MS * 1000L - waited_us);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    ssize_t n = read(terminal_fd(), answer + got, sizeof answer - got);
    if (n <= 0) break;
    platform_->restore_typed_enters(answer + got, n);
    platform_->keys.push(answer + got, static_cast<std::size_t>(n));
    got += static_cast<std::size_t>(n);
    heard = kitty_protocol_answer(answer, got);
  }
  if (heard != ProtocolAnswer::speaks) return false;
  report_key_releases();
  platform_->keys.report_releases();
  return true;
}

void KeyReader::close_key_reader() {
  if (terminal_fd() < 0) return;
  give_terminal_back();
  close_terminal();
}

}  // namespace tap
