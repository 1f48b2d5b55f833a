// The floor: the least a program can do to answer a key in a terminal. Raw
// mode on the terminal, then one blocking read and one write per key.

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>

namespace {

void say(const char* line) {
  char text[128];
  std::size_t n = std::strlen(line);
  std::memcpy(text, line, n);
  text[n++] = '\n';
  if (write(STDOUT_FILENO, text, n) < 0) _exit(1);
}

}  // namespace

int main() {
  int tty = open("/dev/tty", O_RDWR);
  termios saved{};
  if (tty < 0 || tcgetattr(tty, &saved) != 0) return 2;
  termios raw = saved;
  raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | ISIG | IEXTEN);
  raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  tcsetattr(tty, TCSANOW, &raw);

  say("ENTERで計測を開始します");
  say("終了時にENTERで出力します");
  char bytes[256];
  bool started = false;
  for (;;) {
    ssize_t n = read(tty, bytes, sizeof bytes);
    if (n <= 0) break;
    bool enter = std::memchr(bytes, '\r', static_cast<std::size_t>(n)) != nullptr;
    if (!started) {
      if (enter) {
        started = true;
        say("計測開始！");
      }
      continue;
    }
    if (enter) {
      say("ENTERが押されました");
      break;
    }
    say(bytes[0] == ' ' ? "SPACEが押されました" : "←が押されました");
  }
  tcsetattr(tty, TCSANOW, &saved);
  return 0;
}
