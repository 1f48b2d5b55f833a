// Preloaded into the program by the allocation test: counts every heap
// allocation, and notes the count when the program writes the line that
// opens the capture and the line that closes it. At exit it writes
// "<at start> <at end> <total>" to the file named by ALLOC_COUNT_FILE.

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
}

namespace {

volatile long allocations = 0;
long at_start = -1;
long at_end = -1;

const char CAPTURE_STARTED[] = "計測開始！";
const char ENTER_PRESSED[] = "ENTERが押されました";

bool starts_with(const void* buffer, size_t length, const char* text) {
  size_t n = std::strlen(text);
  return length >= n && std::memcmp(buffer, text, n) == 0;
}

struct Report {
  ~Report() {
    const char* path = std::getenv("ALLOC_COUNT_FILE");
    if (path == nullptr) return;
    char line[96];
    int n = std::snprintf(line, sizeof line, "%ld %ld %ld\n", at_start, at_end, static_cast<long>(allocations));
    int fd = static_cast<int>(syscall(SYS_open, path, O_WRONLY | O_CREAT | O_TRUNC, 0644));
    if (fd < 0) return;
    syscall(SYS_write, fd, line, n);
    syscall(SYS_close, fd);
  }
} report;

}  // namespace

extern "C" {

void* malloc(size_t size) {
  allocations = allocations + 1;
  return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
  allocations = allocations + 1;
  return __libc_calloc(count, size);
}
void* realloc(void* pointer, size_t size) {
  allocations = allocations + 1;
  return __libc_realloc(pointer, size);
}
void* memalign(size_t alignment, size_t size) {
  allocations = allocations + 1;
  return __libc_memalign(alignment, size);
}
void* aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }
int posix_memalign(void** out, size_t alignment, size_t size) {
  *out = memalign(alignment, size);
  return *out == nullptr ? 12 : 0;
}

ssize_t write(int fd, const void* buffer, size_t length) {
  if (fd == 1 && at_start < 0 && starts_with(buffer, length, CAPTURE_STARTED)) at_start = allocations;
  if (fd == 1 && at_end < 0 && starts_with(buffer, length, ENTER_PRESSED)) at_end = allocations;
  return syscall(SYS_write, fd, buffer, length);
}
}
