#include <errno.h>
#include <fcntl.h>
#include <langinfo.h>
#include <locale.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "console/console_output.h"
#include "console/termination.h"

namespace tap {
namespace {

// Writes all of it, across short writes and interrupting signals. A
// standard output that is gone (closed pipe, full disk, hung-up terminal)
// just loses the text, and so does one given up on because it blocked: the
// chart file is what must survive.
void write_all(int fd, const char* text, std::size_t length) {
  while (length > 0 && !console_output_abandoned()) {
    ssize_t n = ::write(fd, text, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    text += n;
    length -= static_cast<std::size_t>(n);
  }
}

}  // namespace

void claim_standard_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open() takes the lowest free descriptor, which is this one.
    int null = open("/dev/null", O_RDWR);
    if (null != fd && null >= 0) close(null);
  }
}

namespace {
// Where the program's own error lines go: standard error as it was found.
int own_error_fd = STDERR_FILENO;
}  // namespace

void keep_others_off_standard_error() {
  if (own_error_fd != STDERR_FILENO) return;
  int saved = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (saved >= 0 && null >= 0 && dup2(null, STDERR_FILENO) == STDERR_FILENO) {
    own_error_fd = saved;
  } else if (saved >= 0) {
    close(saved);
  }
  if (null >= 0) close(null);
}

bool standard_output_is(const char* path) {
  struct stat out {};
  struct stat file {};
  return fstat(STDOUT_FILENO, &out) == 0 && stat(path, &file) == 0 && S_ISREG(out.st_mode) &&
         out.st_dev == file.st_dev && out.st_ino == file.st_ino;
}

bool console_window_is_own() { return false; }

TextEncoding console_text_encoding() {
  // Only the character type is taken from the environment; numbers and
  // messages stay in the C locale.
  setlocale(LC_CTYPE, "");
  return is_shift_jis_codeset(nl_langinfo(CODESET)) ? TextEncoding::shift_jis : TextEncoding::utf8;
}

namespace {

// A terminal left with output processing off (stty raw, -opost, -onlcr)
// does not turn LF into CR LF, and lines would staircase: there the line
// end carries its own CR. The program never changes that mode.
const char* line_end_for(int fd) {
  termios mode{};
  if (!isatty(fd) || tcgetattr(fd, &mode) != 0) return "\n";
  return (mode.c_oflag & OPOST) != 0 && (mode.c_oflag & ONLCR) != 0 ? "\n" : "\r\n";
}

}  // namespace

StandardConsole::StandardConsole() : out_end_(line_end_for(STDOUT_FILENO)), error_end_(line_end_for(STDERR_FILENO)) {}

void StandardConsole::end_line() {
  write(out_end_, std::strlen(out_end_));
  flush();
}

void StandardConsole::flush() {
  write_all(STDOUT_FILENO, buffer_, used_);
  used_ = 0;
}

void StandardConsole::error_line(const char* text) {
  char line[512];
  std::size_t n = std::strlen(text);
  if (n > sizeof line - 2) n = sizeof line - 2;
  std::memcpy(line, text, n);
  for (const char* end = error_end_; *end != '\0'; ++end) line[n++] = *end;
  write_all(own_error_fd, line, n);
}

}  // namespace tap
