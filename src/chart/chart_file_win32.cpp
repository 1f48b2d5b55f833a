#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "chart/chart_file.h"

namespace tap {
namespace {

// The directory a file named by `path` is in, for a new file beside it.
void directory_of(const char* path, char* out, std::size_t size) {
  std::snprintf(out, size, "%s", path);
  char* slash = std::strrchr(out, '\\');
  char* forward = std::strrchr(out, '/');
  if (forward != nullptr && (slash == nullptr || forward > slash)) slash = forward;
  if (slash != nullptr) {
    *slash = '\0';
  } else {
    std::snprintf(out, size, ".");
  }
}

}  // namespace

bool ChartFile::keep_previous() {
  char backup[sizeof target_ + 1];
  char directory[MAX_PATH];
  char temporary[MAX_PATH];
  std::snprintf(backup, sizeof backup, "%s~", target_);
  directory_of(backup, directory, sizeof directory);
  if (GetTempFileNameA(directory, "ved", 0, temporary) == 0) {
    kept_error_ = EACCES;
    return false;
  }
  if (CopyFileA(target_, temporary, FALSE) &&
      MoveFileExA(temporary, backup, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  kept_error_ = GetLastError() == ERROR_ACCESS_DENIED ? EACCES : EIO;
  DeleteFileA(temporary);
  return false;
}

ChartFile::ChartFile(const char* path) {
  // The C runtime says "Permission denied" of a directory: say what it is.
  DWORD attributes = GetFileAttributesA(path);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    open_error_ = EISDIR;
    return;
  }
  had_previous_ = attributes != INVALID_FILE_ATTRIBUTES;
  // Opened without truncating first: whether it can be written at all, and
  // what it is.
  std::FILE* probe = std::fopen(path, "ab");
  if (probe == nullptr) {
    open_error_ = errno;
    return;
  }
  bool disk_file = GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(probe)))) == FILE_TYPE_DISK;
  if (!disk_file) {
    // NUL, a console, a pipe: written in place.
    std::fclose(probe);
    had_previous_ = false;
    file_ = std::fopen(path, "wb");
    if (file_ == nullptr) open_error_ = errno;
    return;
  }
  std::fclose(probe);
  std::snprintf(kept_as_, sizeof kept_as_, "%s~", path);
  char directory[MAX_PATH];
  directory_of(path, directory, sizeof directory);
  if (GetTempFileNameA(directory, "ved", 0, temporary_) != 0) {
    file_ = std::fopen(temporary_, "wb");
    if (file_ != nullptr) {
      std::snprintf(target_, sizeof target_, "%s", path);
      return;
    }
    DeleteFileA(temporary_);
  }
  temporary_[0] = '\0';
  file_ = std::fopen(path, "wb");
  if (file_ == nullptr) open_error_ = errno;
}

ChartFile::~ChartFile() {
  if (file_ != nullptr) std::fclose(file_);
  if (temporary_[0] != '\0') DeleteFileA(temporary_);
}

bool ChartFile::close() {
  if (file_ == nullptr) return false;
  if (std::fflush(file_) != 0) note_failure();
  if (temporary_[0] != '\0' && error_ == 0 && _commit(_fileno(file_)) != 0) note_failure();
  if (std::fclose(file_) != 0) note_failure();
  file_ = nullptr;
  if (temporary_[0] == '\0') return error_ == 0;
  if (error_ == 0 && had_previous_) keep_previous();
  if (error_ == 0 && !MoveFileExA(temporary_, target_, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error_ = EACCES;
  }
  if (error_ != 0) DeleteFileA(temporary_);
  replaced_previous_ = error_ == 0 && had_previous_;
  temporary_[0] = '\0';
  return error_ == 0;
}

}  // namespace tap
