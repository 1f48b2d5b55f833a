// Preloaded into the program by the crash test: the program's answer to
// SPACE raises the signal CRASH_SIGNAL names, from inside the program, as
// a fault of its own would.

#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

extern "C" ssize_t write(int fd, const void* buffer, size_t length) {
  static const char SPACE_ANSWER[] = "SPACEが押されました";
  const char* crash = std::getenv("CRASH_SIGNAL");
  if (crash != nullptr && fd == 1 && length >= sizeof SPACE_ANSWER - 1 &&
      std::memcmp(buffer, SPACE_ANSWER, sizeof SPACE_ANSWER - 1) == 0)
    raise(std::atoi(crash));
  return syscall(SYS_write, fd, buffer, length);
}
