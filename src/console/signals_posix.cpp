// Signal dispositions for a run on a terminal: requests to stop, stops and
// continues, crashes. Every handler is async-signal-safe: it touches only
// the flags here and the terminal's modes, and calls only what POSIX allows.

#include "console/signals_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "console/terminal_posix.h"
#include "console/termination.h"
#include "exit_codes.h"

namespace tap {
namespace {

// The run wants raw mode: between take_terminal and give_terminal_back.
volatile sig_atomic_t raw_wanted = 0;
volatile sig_atomic_t pending_signal = 0;

struct NamedSignal {
  int signo;
  const char* name;
};
// Every signal whose default action ends the process, but for the crashes
// below: each ends the run the same way, with the chart written. A hang-up
// means the terminal is gone; the others are a request to stop. SIGQUIT and
// SIGXCPU dump core by default, but asked for from outside they are a
// request to stop like the others.
const NamedSignal termination_signals[] = {
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
// Crashes: the terminal is restored and the program dies of the same
// signal. Sent by another process with kill they are no crash, but a
// request to stop like the others.
const NamedSignal fatal_signals[] = {{SIGSEGV, "SIGSEGV"}, {SIGBUS, "SIGBUS"}, {SIGFPE, "SIGFPE"},  {SIGILL, "SIGILL"},
                                     {SIGABRT, "SIGABRT"}, {SIGSYS, "SIGSYS"}, {SIGTRAP, "SIGTRAP"}};

// Where each handled signal's disposition was found, to put it back.
constexpr int MAX_HANDLED = 64 + 8;
struct Disposition {
  int signo;
  struct sigaction previous;
};
Disposition dispositions[MAX_HANDLED];
int disposition_count = 0;

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
    leave_raw_mode();
    _exit(EXIT_SIGNAL_BASE + signo);
  }
  pending_signal = signo;
  // The program is ending: its last lines must not stop it if it is in the
  // background of a terminal with tostop set.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGTTOU, &ignore, nullptr);
  // A read blocked right now returns EINTR; one about to start must not
  // block either, so the terminal stops blocking.
  int flags = fcntl(terminal_fd(), F_GETFL);
  if (flags != -1) fcntl(terminal_fd(), F_SETFL, flags | O_NONBLOCK);
  errno = saved_errno;
}

void on_stop(int) {
  int saved_errno = errno;
  leave_raw_mode();
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
  // Continued: take the terminal back, if it is ours, and carry on where
  // the run was. In the background, the SIGCONT that brings the program
  // forward takes it.
  sigaction(SIGTSTP, &ours, nullptr);
  if (raw_wanted && pending_signal == 0 && terminal_in_foreground()) enter_raw_mode();
  errno = saved_errno;
}

// A stop the program could not see (SIGSTOP) let the shell put its own mode
// back on the terminal: take raw mode again on the way back, if the program
// is in the foreground. In the background the next read stops it again
// (SIGTTIN), and the SIGCONT that brings it forward lands here once more.
void on_continue(int) {
  int saved_errno = errno;
  if (raw_wanted && pending_signal == 0 && terminal_in_foreground()) enter_raw_mode();
  errno = saved_errno;
}

// Another process's kill, not a fault: si_code says who sent it (a user's
// codes are not positive), and the program's own abort() or raise() comes
// from its own pid.
bool sent_from_outside(const siginfo_t* info) {
  return info != nullptr && info->si_code <= 0 && info->si_pid != getpid();
}

void on_fatal(int signo, siginfo_t* info, void*) {
  if (sent_from_outside(info)) {
    // SA_RESETHAND put the default action back: ours again, for a crash
    // that may still come.
    struct sigaction again {};
    again.sa_sigaction = on_fatal;
    sigemptyset(&again.sa_mask);
    again.sa_flags = SA_SIGINFO | SA_RESETHAND | SA_NODEFER;
    sigaction(signo, &again, nullptr);
    on_termination(signo);
    return;
  }
  // Dying of the same signal keeps the core dump and the status the shell
  // expects.
  leave_raw_mode();
  raise(signo);
}

// A signal that was ignored when the program started (SIGHUP under nohup)
// stays ignored; the others get `action` until give_terminal_back.
void install(int signo, struct sigaction action) {
  if (disposition_count == MAX_HANDLED) return;
  Disposition& saved = dispositions[disposition_count];
  if (sigaction(signo, nullptr, &saved.previous) != 0) return;
  if (saved.previous.sa_handler == SIG_IGN) return;
  sigemptyset(&action.sa_mask);
  if (sigaction(signo, &action, nullptr) != 0) return;
  saved.signo = signo;
  ++disposition_count;
}

void install_handler(int signo, void (*handler)(int), int flags) {
  struct sigaction action {};
  action.sa_handler = handler;
  action.sa_flags = flags;
  install(signo, action);
}

void install_signal_handlers() {
  for (const NamedSignal& signal : termination_signals) install_handler(signal.signo, on_termination, 0);
#ifdef SIGRTMIN  // Linux; macOS has no real-time signals
  for (int signo = SIGRTMIN; signo <= SIGRTMAX; ++signo) install_handler(signo, on_termination, 0);
#endif
  for (const NamedSignal& signal : fatal_signals) {
    struct sigaction action {};
    action.sa_sigaction = on_fatal;
    action.sa_flags = SA_SIGINFO | SA_RESETHAND | SA_NODEFER;
    install(signal.signo, action);
  }
  install_handler(SIGTSTP, on_stop, 0);
  install_handler(SIGCONT, on_continue, SA_RESTART);
  // A closed standard output must not kill the program with the terminal raw.
  install_handler(SIGPIPE, SIG_IGN, 0);
  // Past a file size limit (ulimit -f) the write fails with EFBIG and is
  // reported like any other write error, instead of the signal killing the
  // program at its first write.
  install_handler(SIGXFSZ, SIG_IGN, 0);
  // Put back with the others: on_termination ignores it.
  install_handler(SIGTTOU, SIG_DFL, 0);
}

}  // namespace

void take_terminal() {
  install_signal_handlers();
  raw_wanted = 1;
  // TCSANOW rather than TCSAFLUSH: keys typed ahead are kept. From the
  // background this stops the program (SIGTTOU) until it is brought
  // forward; a request to stop meanwhile ends the wait (EINTR).
  while (!enter_raw_mode() && errno == EINTR && pending_signal == 0) {
  }
}

void give_terminal_back() {
  // Every signal but a crash is held, so that none lands between the
  // restore and the reset and puts the terminal back a second time.
  sigset_t block, previous;
  sigfillset(&block);
  for (const NamedSignal& signal : fatal_signals) sigdelset(&block, signal.signo);
  sigprocmask(SIG_BLOCK, &block, &previous);
  raw_wanted = 0;
  leave_raw_mode();
  while (disposition_count > 0) {
    const Disposition& saved = dispositions[--disposition_count];
    sigaction(saved.signo, &saved.previous, nullptr);
  }
  sigprocmask(SIG_SETMASK, &previous, nullptr);
}

int termination_requested() { return pending_signal; }

void name_signal(int signo, char* out, std::size_t size) {
  for (const NamedSignal& signal : termination_signals) {
    if (signal.signo == signo) {
      std::snprintf(out, size, "%s", signal.name);
      return;
    }
  }
  for (const NamedSignal& signal : fatal_signals) {
    if (signal.signo == signo) {
      std::snprintf(out, size, "%s", signal.name);
      return;
    }
  }
#ifdef SIGRTMIN
  // As bash's kill -l: the lower half counts up from SIGRTMIN, the upper
  // half down from SIGRTMAX.
  if (signo >= SIGRTMIN && signo <= SIGRTMAX) {
    if (signo == SIGRTMIN) {
      std::snprintf(out, size, "SIGRTMIN");
    } else if (signo == SIGRTMAX) {
      std::snprintf(out, size, "SIGRTMAX");
    } else if (signo - SIGRTMIN <= (SIGRTMAX - SIGRTMIN) / 2) {
      std::snprintf(out, size, "SIGRTMIN+%d", signo - SIGRTMIN);
    } else {
      std::snprintf(out, size, "SIGRTMAX-%d", SIGRTMAX - signo);
    }
    return;
  }
#endif
  std::snprintf(out, size, "signal %d", signo);
}

}  // namespace tap
