#include "e2e/pty_session.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace tap::testing {
namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

// The state letter of /proc/PID/stat: R, S, T (stopped), Z, ...
char process_state(pid_t pid) {
  std::string path = "/proc/" + std::to_string(pid) + "/stat";
  FILE* file = fopen(path.c_str(), "r");
  if (file == nullptr) return '?';
  char line[512] = {};
  size_t n = fread(line, 1, sizeof line - 1, file);
  fclose(file);
  const char* paren = strrchr(line, ')');
  return paren != nullptr && paren + 2 < line + n ? paren[2] : '?';
}

[[noreturn]] void exec_program(const std::string& program, const std::vector<std::string>& env,
                               const std::vector<std::string>& args = {}) {
  std::vector<char*> envp;
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  std::vector<char*> argv = {const_cast<char*>(program.c_str())};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  execve(program.c_str(), argv.data(), envp.data());
  _exit(127);
}

}  // namespace

PtySession::PtySession(const std::string& program, const Options& options) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) throw std::runtime_error("no pty");
  std::string slave_name = ptsname(master_);
  tcgetattr(master_, &initial_mode_);
  winsize size{};
  size.ws_row = 40;
  size.ws_col = 100;
  int pid_pipe[2];
  if (pipe(pid_pipe) != 0) throw std::runtime_error("no pipe");
  // Typed ahead: the terminal's mode at that moment (CR to LF, echo) takes
  // it in, as it does while a program is still starting.
  int early_slave = -1;
  if (!options.typed_ahead.empty()) {
    early_slave = open(slave_name.c_str(), O_RDWR | O_NOCTTY);
    if (write(master_, options.typed_ahead.data(), options.typed_ahead.size()) < 0)
      throw std::runtime_error("no write");
  }
  shell_ = fork();
  if (shell_ == 0) {
    // Like a shell with job control: a session leader on the terminal that
    // runs the program as the foreground job in a process group of its own,
    // so that stop signals stop it (an orphaned group ignores them).
    rlimit no_core{0, 0};  // the fatal-signal tests would leave core files
    setrlimit(RLIMIT_CORE, &no_core);
    setsid();
    int slave = open(slave_name.c_str(), O_RDWR);
    if (slave < 0) _exit(126);
    ioctl(slave, TIOCSCTTY, 0);
    ioctl(slave, TIOCSWINSZ, &size);
    if (options.output_processing_off) {
      termios mode{};
      tcgetattr(slave, &mode);
      mode.c_oflag &= ~static_cast<tcflag_t>(OPOST);
      tcsetattr(slave, TCSANOW, &mode);
    }
    close(master_);
    close(pid_pipe[0]);
    signal(SIGTTOU, SIG_IGN);
    pid_t job = fork();
    if (job == 0) {
      setpgid(0, 0);
      tcsetpgrp(slave, getpid());
      signal(SIGTTOU, SIG_DFL);
      dup2(slave, 0);
      dup2(slave, 1);
      dup2(slave, 2);
      if (slave > 2) close(slave);
      close(pid_pipe[1]);
      if (options.stdin_from_dev_null) {
        int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        close(null);
      }
      if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(125);
      if (!options.stdout_path.empty()) {
        int out = open(options.stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        close(out);
      }
      for (int fd : options.closed_descriptors) close(fd);
      if (options.ignore_hang_up) signal(SIGHUP, SIG_IGN);
      if (options.file_size_limit >= 0) {
        rlimit limit{static_cast<rlim_t>(options.file_size_limit), static_cast<rlim_t>(options.file_size_limit)};
        setrlimit(RLIMIT_FSIZE, &limit);
      }
      if (options.cpu >= 0) {
        cpu_set_t cpus;
        CPU_ZERO(&cpus);
        CPU_SET(options.cpu, &cpus);
        sched_setaffinity(0, sizeof cpus, &cpus);
      }
      exec_program(program, options.env, options.args);
    }
    setpgid(job, job);
    tcsetpgrp(slave, job);
    if (write(pid_pipe[1], &job, sizeof job) != sizeof job) _exit(124);
    close(pid_pipe[1]);
    // A hang-up is the program's to handle; this stand-in shell only reports
    // how the program ended, as its own end.
    signal(SIGHUP, SIG_IGN);
    int status = 0;
    while (waitpid(job, &status, 0) != job) {
    }
    if (WIFEXITED(status)) _exit(WEXITSTATUS(status));
    signal(WTERMSIG(status), SIG_DFL);
    kill(getpid(), WTERMSIG(status));
    _exit(123);
  }
  close(pid_pipe[1]);
  if (early_slave >= 0) close(early_slave);
  if (read(pid_pipe[0], &pid_, sizeof pid_) != sizeof pid_) pid_ = -1;
  close(pid_pipe[0]);
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

PtySession::~PtySession() {
  if (status_ == -1 && shell_ > 0) {
    if (pid_ > 0) kill(pid_, SIGKILL);
    waitpid(shell_, nullptr, 0);
  }
  if (master_ >= 0) close(master_);
}

bool PtySession::read_some(int timeout_ms) {
  if (master_ < 0) return false;
  pollfd fd{master_, POLLIN, 0};
  if (poll(&fd, 1, timeout_ms) <= 0) return false;
  char buffer[65536];
  ssize_t n = read(master_, buffer, sizeof buffer);
  if (n <= 0) {
    // EIO once every holder of the terminal's other side has closed it.
    if (n == 0 || (errno != EAGAIN && errno != EINTR)) closed_ = true;
    return false;
  }
  output_.append(buffer, static_cast<std::size_t>(n));
  return true;
}

void PtySession::send(const std::string& bytes) {
  std::size_t sent = 0;
  auto deadline = Clock::now() + std::chrono::seconds(60);
  while (sent < bytes.size() && Clock::now() < deadline) {
    pollfd fd{master_, POLLIN | POLLOUT, 0};
    if (poll(&fd, 1, 100) <= 0) continue;
    if (fd.revents & POLLIN) read_some(0);
    if (fd.revents & POLLOUT) {
      ssize_t n = write(master_, bytes.data() + sent, bytes.size() - sent);
      if (n > 0)
        sent += static_cast<std::size_t>(n);
      else if (n < 0 && errno != EAGAIN && errno != EINTR)
        break;
    }
    if (fd.revents & (POLLERR | POLLHUP)) break;
  }
}

long long PtySession::time_answer(const std::string& bytes, int timeout_ms, int quiet_us) {
  char buffer[65536];
  auto sent = Clock::now();
  if (write(master_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) return -1;
  auto deadline = sent + std::chrono::milliseconds(timeout_ms);
  long long latency = -1;
  // Spinning rather than poll(): the measure is the program's answer, not
  // this process's wake-up.
  for (;;) {
    ssize_t n = read(master_, buffer, sizeof buffer);
    auto now = Clock::now();
    if (n > 0) {
      latency = std::chrono::duration_cast<std::chrono::nanoseconds>(now - sent).count();
      output_.append(buffer, static_cast<std::size_t>(n));
      break;
    }
    if (now > deadline) return -1;
    sched_yield();  // lets the kernel's pty worker on this CPU pass the bytes on
  }
  auto last = Clock::now();
  while (Clock::now() - last < std::chrono::microseconds(quiet_us)) {
    ssize_t n = read(master_, buffer, sizeof buffer);
    if (n > 0) {
      output_.append(buffer, static_cast<std::size_t>(n));
      last = Clock::now();
    }
    sched_yield();
  }
  return latency;
}

bool PtySession::expect(const std::string& text, int timeout_ms) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    std::size_t at = output_.find(text, matched_);
    if (at != std::string::npos) {
      matched_ = at + text.size();
      return true;
    }
    if (closed_ || remaining_ms(deadline) == 0) return false;
    read_some(remaining_ms(deadline));
  }
}

void PtySession::drain(int ms) {
  auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  while (remaining_ms(deadline) > 0) read_some(remaining_ms(deadline));
}

int PtySession::wait_exit(int timeout_ms) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (status_ == -1) {
    int status = 0;
    pid_t done = waitpid(shell_, &status, WNOHANG);
    if (done == shell_) {
      status_ = status;
      break;
    }
    if (remaining_ms(deadline) == 0) return -1;
    if (!read_some(10)) usleep(1000);
  }
  while (read_some(0)) {
  }
  return status_;
}

bool PtySession::wait_stopped(int timeout_ms) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (process_state(pid_) == 'T') return true;
    if (remaining_ms(deadline) == 0) return false;
    if (!read_some(10)) usleep(1000);
  }
}

termios PtySession::mode() const {
  termios mode{};
  tcgetattr(master_, &mode);
  return mode;
}

void PtySession::set_mode(const termios& mode) { tcsetattr(master_, TCSANOW, &mode); }

void PtySession::hang_up() {
  close(master_);
  master_ = -1;
}

std::vector<std::string> PtySession::lines() const {
  // The program's switches of the terminal's paste marking are no text.
  std::string text = output_;
  for (const char* mode : {"\x1b[?2004h", "\x1b[?2004l"}) {
    for (std::size_t at = text.find(mode); at != std::string::npos; at = text.find(mode, at)) text.erase(at, 8);
  }
  std::vector<std::string> result;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) break;
    result.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  if (start < text.size()) result.push_back(text.substr(start));
  return result;
}

int run_without_terminal(const std::string& program, const std::string& cwd, std::string& out, std::string& err) {
  int out_pipe[2], err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    setsid();  // a new session has no controlling terminal
    int null = open("/dev/null", O_RDONLY);
    dup2(null, 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    close(out_pipe[0]);
    close(err_pipe[0]);
    if (chdir(cwd.c_str()) != 0) _exit(125);
    exec_program(program, {"LANG=C.UTF-8"});
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  auto slurp = [](int fd, std::string& into) {
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) into.append(buffer, static_cast<std::size_t>(n));
    close(fd);
  };
  slurp(out_pipe[0], out);
  slurp(err_pipe[0], err);
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

}  // namespace tap::testing
