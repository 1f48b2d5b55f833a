#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "chart/chart_file.h"

namespace tap {
namespace {

// The new chart's name beside the old: hidden, and unique.
bool temporary_beside(const char* target, char* out, std::size_t size) {
  const char* slash = std::strrchr(target, '/');
  int n = slash == nullptr
              ? std::snprintf(out, size, ".%s.XXXXXX", target)
              : std::snprintf(out, size, "%.*s/.%s.XXXXXX", static_cast<int>(slash - target), target, slash + 1);
  return n > 0 && static_cast<std::size_t>(n) < size;
}

mode_t new_file_mode() {
  mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

// The directory entry of the rename reaches the disk too.
void sync_directory_of(const char* target) {
  char directory[PATH_MAX];
  const char* slash = std::strrchr(target, '/');
  if (slash == nullptr) {
    std::snprintf(directory, sizeof directory, ".");
  } else {
    std::snprintf(directory, sizeof directory, "%.*s", slash == target ? 1 : static_cast<int>(slash - target), target);
  }
  int fd = open(directory, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  ::close(fd);
}

// The old chart's bytes into a new file, where no hard link can be made;
// 0 or the errno value of what failed.
int copy_file(const char* from, const char* to, mode_t mode) {
  int in = open(from, O_RDONLY | O_NOCTTY | O_CLOEXEC);
  if (in < 0) return errno;
  int out = open(to, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, mode);
  int error = out < 0 ? errno : 0;
  char buffer[8192];
  for (ssize_t n; error == 0 && (n = read(in, buffer, sizeof buffer)) != 0;) {
    if (n < 0) {
      if (errno != EINTR) error = errno;
      continue;
    }
    for (ssize_t done = 0; error == 0 && done < n;) {
      ssize_t w = write(out, buffer + done, static_cast<std::size_t>(n - done));
      if (w > 0) done += w;
      if (w < 0 && errno != EINTR) error = errno;
    }
  }
  if (error == 0 && fsync(out) != 0) error = errno;
  if (out >= 0 && ::close(out) != 0 && error == 0) error = errno;
  ::close(in);
  return error;
}

}  // namespace

bool ChartFile::keep_previous() {
  char backup[sizeof target_ + 1];
  char temporary[sizeof temporary_ + 2];
  int n = std::snprintf(backup, sizeof backup, "%s~", target_);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof backup ||
      !temporary_beside(backup, temporary, sizeof temporary)) {
    kept_error_ = ENAMETOOLONG;
    return false;
  }
  int fd = mkostemp(temporary, O_CLOEXEC);
  if (fd < 0) {
    kept_error_ = errno;
    return false;
  }
  ::close(fd);
  unlink(temporary);
  // The old chart's own inode under a second name: its bytes as they are,
  // at no cost; the copy only where links cannot be made.
  struct stat st {};
  if (link(target_, temporary) != 0) {
    kept_error_ = stat(target_, &st) == 0 ? copy_file(target_, temporary, st.st_mode & 07777) : errno;
  }
  if (kept_error_ == 0 && rename(temporary, backup) != 0) kept_error_ = errno;
  if (kept_error_ == 0) return true;
  unlink(temporary);
  return false;
}

ChartFile::ChartFile(const char* path) {
  // Through a symbolic link, its target is the chart.
  char resolved[PATH_MAX];
  bool found = realpath(path, resolved) != nullptr;
  struct stat link {};
  bool dangling = !found && lstat(path, &link) == 0 && S_ISLNK(link.st_mode);
  const char* target = found ? resolved : path;

  mode_t mode = new_file_mode();
  // O_NONBLOCK: a FIFO nobody reads fails at once (ENXIO) instead of waiting.
  int fd = open(target, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd >= 0) {
    struct stat st {};
    if (fstat(fd, &st) == 0 && !S_ISREG(st.st_mode)) {
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
      file_ = fdopen(fd, "wb");
      if (file_ == nullptr) {
        open_error_ = errno;
        ::close(fd);
      }
      return;
    }
    mode = st.st_mode & 07777;
    ::close(fd);
    had_previous_ = true;
    struct stat named {};
    bool through_link = lstat(path, &named) == 0 && S_ISLNK(named.st_mode);
    std::snprintf(kept_as_, sizeof kept_as_, "%s~", through_link ? target : path);
  } else if (errno != ENOENT) {
    open_error_ = errno;
    return;
  }

  if (!dangling && temporary_beside(target, temporary_, sizeof temporary_)) {
    int temporary = mkostemp(temporary_, O_CLOEXEC);
    if (temporary >= 0) {
      fchmod(temporary, mode);
      file_ = fdopen(temporary, "wb");
      if (file_ != nullptr) {
        std::snprintf(target_, sizeof target_, "%s", target);
        return;
      }
      ::close(temporary);
      unlink(temporary_);
    }
  }
  // No new file can be made beside it (a directory the user cannot write,
  // a link that leads nowhere yet): written in place, as the only way left.
  temporary_[0] = '\0';
  fd = open(target, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
  if (fd < 0 || (file_ = fdopen(fd, "wb")) == nullptr) {
    open_error_ = errno;
    if (fd >= 0) ::close(fd);
  }
}

ChartFile::~ChartFile() {
  if (file_ != nullptr) std::fclose(file_);
  if (temporary_[0] != '\0') unlink(temporary_);
}

bool ChartFile::close() {
  if (file_ == nullptr) return false;
  if (std::fflush(file_) != 0) note_failure();
  if (temporary_[0] != '\0' && error_ == 0 && fsync(fileno(file_)) != 0) note_failure();
  if (std::fclose(file_) != 0) note_failure();
  file_ = nullptr;
  if (temporary_[0] == '\0') return error_ == 0;
  if (error_ == 0 && had_previous_) keep_previous();
  if (error_ == 0 && rename(temporary_, target_) != 0) note_failure();
  if (error_ != 0) {
    unlink(temporary_);
  } else {
    sync_directory_of(target_);
    replaced_previous_ = had_previous_;
  }
  temporary_[0] = '\0';
  return error_ == 0;
}

}  // namespace tap
