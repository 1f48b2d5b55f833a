// The POSIX key reader: the controlling terminal in raw mode for the whole
// run, its bytes turned into key-down records by TerminalDecoder and then
// into codes by the same translation the Windows console uses.

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>

#include "console/key_reader.h"
#include "console/key_stream.h"
#include "console/termination.h"

namespace tap {
namespace {

// How long a partial sequence (a lone ESC above all) waits for the rest.
// Terminals send a sequence in one write, so the rest comes at once or never.
constexpr int SEQUENCE_WAIT_MS = 40;

// Shared with the signal handlers, which may only touch these: so they live
// here rather than in the KeyReader.
int tty_fd = -1;
termios saved_mode;
termios raw_mode;
volatile sig_atomic_t raw_active = 0;
volatile sig_atomic_t pending_signal = 0;

// Every signal whose default action ends the process, but for the crashes
// below: each ends the run the same way, with the chart written. A hang-up
// means the terminal is gone; the others are a request to stop. SIGQUIT and
// SIGXCPU dump core by default, but asked for from outside they are a
// request to stop like the others. Named as kill -l names them.
struct TerminationSignal {
  int signo;
  const char* name;
};
const TerminationSignal termination_signals[] = {
    {SIGTERM, "SIGTERM"},     {SIGHUP, "SIGHUP"},   {SIGINT, "SIGINT"},   {SIGQUIT, "SIGQUIT"},
    {SIGUSR1, "SIGUSR1"},     {SIGUSR2, "SIGUSR2"}, {SIGALRM, "SIGALRM"}, {SIGVTALRM, "SIGVTALRM"},
    {SIGPROF, "SIGPROF"},     {SIGXCPU, "SIGXCPU"},
#ifdef SIGPWR  // Linux
    {SIGPWR, "SIGPWR"},
#endif
#ifdef SIGSTKFLT  // Linux
    {SIGSTKFLT, "SIGSTKFLT"},
#endif
#ifdef SIGPOLL
    {SIGPOLL, "SIGPOLL"},
#endif
};
// Crashes: the terminal is restored and the program dies of the same signal.
const int fatal_signals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGSYS, SIGTRAP};

// Where each handled signal's disposition was found, to put it back.
constexpr int MAX_HANDLED = 64 + 8;
struct Disposition {
  int signo;
  struct sigaction previous;
};
Disposition dispositions[MAX_HANDLED];
int disposition_count = 0;

void set_tty_mode(const termios& mode) {
  while (tcsetattr(tty_fd, TCSANOW, &mode) != 0 && errno == EINTR) {
  }
}

// Async-signal-safe: tcsetattr on a copy made before any handler was set.
void restore_terminal_from_handler() {
  if (raw_active) {
    tcsetattr(tty_fd, TCSANOW, &saved_mode);
    raw_active = 0;
  }
}

void on_termination(int signo) {
  int saved_errno = errno;
  if (pending_signal != 0) {
    // A second request while the first is still being honoured: the program
    // is stuck somewhere, a blocked console output above all. With taps at
    // stake it gives the console up and finishes the chart file; otherwise
    // it ends now.
    if (taps_at_stake()) {
      abandon_console_output();
      errno = saved_errno;
      return;
    }
    restore_terminal_from_handler();
    _exit(128 + signo);
  }
  pending_signal = signo;
  // A read blocked right now returns EINTR; one about to start must not
  // block either, so the terminal stops blocking. The program is ending.
  int flags = fcntl(tty_fd, F_GETFL);
  if (flags != -1) fcntl(tty_fd, F_SETFL, flags | O_NONBLOCK);
  errno = saved_errno;
}

void on_stop(int) {
  int saved_errno = errno;
  bool was_raw = raw_active != 0;
  restore_terminal_from_handler();
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  struct sigaction ours {};
  sigaction(SIGTSTP, &dfl, &ours);
  sigset_t tstp;
  sigemptyset(&tstp);
  sigaddset(&tstp, SIGTSTP);
  sigprocmask(SIG_UNBLOCK, &tstp, nullptr);
  raise(SIGTSTP);
  // Continued: take the terminal back and carry on where the run was.
  sigaction(SIGTSTP, &ours, nullptr);
  if (was_raw) {
    tcsetattr(tty_fd, TCSANOW, &raw_mode);
    raw_active = 1;
  }
  errno = saved_errno;
}

// A stop the program could not see (SIGSTOP) let the shell put its own mode
// back on the terminal: take raw mode again on the way back, if the program
// is in the foreground. In the background the next read stops it again
// (SIGTTIN), and the SIGCONT that brings it forward lands here once more.
void on_continue(int) {
  int saved_errno = errno;
  if (raw_active && tcgetpgrp(tty_fd) == getpgrp()) tcsetattr(tty_fd, TCSANOW, &raw_mode);
  errno = saved_errno;
}

void on_fatal(int signo) {
  // SA_RESETHAND has put the default action back; dying of the same signal
  // keeps the core dump and the status the shell expects.
  restore_terminal_from_handler();
  raise(signo);
}

// A signal that was ignored when the program started (SIGHUP under nohup)
// stays ignored; the others get `handler` until reset_signal_handlers.
void install_handler(int signo, void (*handler)(int), int flags) {
  if (disposition_count == MAX_HANDLED) return;
  Disposition& saved = dispositions[disposition_count];
  if (sigaction(signo, nullptr, &saved.previous) != 0) return;
  if (saved.previous.sa_handler == SIG_IGN) return;
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = flags;
  if (sigaction(signo, &action, nullptr) != 0) return;
  saved.signo = signo;
  ++disposition_count;
}

void install_signal_handlers() {
  for (const TerminationSignal& signal : termination_signals) install_handler(signal.signo, on_termination, 0);
#ifdef SIGRTMIN  // Linux; macOS has no real-time signals
  for (int signo = SIGRTMIN; signo <= SIGRTMAX; ++signo) install_handler(signo, on_termination, 0);
#endif
  for (int signo : fatal_signals) install_handler(signo, on_fatal, SA_RESETHAND | SA_NODEFER);
  install_handler(SIGTSTP, on_stop, 0);
  install_handler(SIGCONT, on_continue, SA_RESTART);
  // A closed standard output must not kill the program with the terminal raw.
  install_handler(SIGPIPE, SIG_IGN, 0);
  // Past a file size limit (ulimit -f) the write fails with EFBIG and is
  // reported like any other write error, instead of the signal killing the
  // program at its first write.
  install_handler(SIGXFSZ, SIG_IGN, 0);
}

void reset_signal_handlers() {
  while (disposition_count > 0) {
    const Disposition& saved = dispositions[--disposition_count];
    sigaction(saved.signo, &saved.previous, nullptr);
  }
}

// The signal's name as kill -l gives it.
void name_signal(int signo, char* out, std::size_t size) {
  for (const TerminationSignal& signal : termination_signals) {
    if (signal.signo == signo) {
      std::snprintf(out, size, "%s", signal.name);
      return;
    }
  }
#ifdef SIGRTMIN
  if (signo >= SIGRTMIN && signo <= SIGRTMAX) {
    std::snprintf(out, size, "SIGRTMIN+%d", signo - SIGRTMIN);
    return;
  }
#endif
  std::snprintf(out, size, "signal %d", signo);
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

struct KeyReader::Platform {
  explicit Platform(TextEncoding encoding) : keys(encoding) {}
  KeyStream keys;
};

KeyReader::KeyReader(TextEncoding encoding) { open_ = open_key_reader(encoding); }

KeyReader::~KeyReader() { close_key_reader(); }

bool KeyReader::open_key_reader(TextEncoding encoding) {
  char detail[sizeof status_.detail];
  tty_fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (tty_fd < 0) {
    std::snprintf(detail, sizeof detail, "/dev/tty: %s", strerror(errno));
    fail(ReaderFault::no_terminal, detail);
    return false;
  }
  if (tcgetattr(tty_fd, &saved_mode) != 0) {
    std::snprintf(detail, sizeof detail, "/dev/tty: %s", strerror(errno));
    close(tty_fd);
    tty_fd = -1;
    fail(ReaderFault::no_terminal, detail);
    return false;
  }
  platform_ = std::make_unique<Platform>(encoding);
  raw_mode = make_raw(saved_mode);
  install_signal_handlers();
  // TCSANOW rather than TCSAFLUSH: keys typed ahead are kept.
  raw_active = 1;
  set_tty_mode(raw_mode);
  return true;
}

int KeyReader::read_key() {
  if (!open_) return -1;
  KeyStream& keys = platform_->keys;
  int code = 0;
  // A second code is owed whatever happened since its first half.
  if (keys.take_pending(code)) return code;
  if (status_.fault != ReaderFault::none) return -1;
  for (;;) {
    if (pending_signal != 0) {
      // A hang-up means the terminal is gone, whoever sent it; the others
      // are a request to stop.
      int signo = pending_signal;
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
      // select() rather than poll(): macOS's poll() does not support
      // devices and reports POLLNVAL for a terminal at once.
      fd_set readable;
      FD_ZERO(&readable);
      FD_SET(tty_fd, &readable);
      timeval wait{0, SEQUENCE_WAIT_MS * 1000};
      int ready = select(tty_fd + 1, &readable, nullptr, nullptr, &wait);
      if (ready < 0) {
        if (errno == EINTR) continue;
        return fail(ReaderFault::terminal_lost, strerror(errno));
      }
      if (ready == 0) {
        if (keys.flush(code)) return code;
        continue;
      }
    }
    ssize_t n = read(tty_fd, keys.space(), keys.space_size());
    if (n == 0) return fail(ReaderFault::terminal_lost, "end of input");
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;  // a signal: seen at the top of the loop
      return fail(ReaderFault::terminal_lost, strerror(errno));
    }
    keys.filled(static_cast<std::size_t>(n));
  }
}

void KeyReader::close_key_reader() {
  if (tty_fd < 0) return;
  // Block every signal but a crash, so that none lands between the restore
  // and the reset and puts the terminal back a second time.
  sigset_t block, previous;
  sigfillset(&block);
  for (int signo : fatal_signals) sigdelset(&block, signo);
  sigprocmask(SIG_BLOCK, &block, &previous);
  if (raw_active) {
    set_tty_mode(saved_mode);
    raw_active = 0;
  }
  reset_signal_handlers();
  close(tty_fd);
  tty_fd = -1;
  sigprocmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace tap
