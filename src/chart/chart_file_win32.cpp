#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "chart/chart_file.h"

namespace tap {

ChartFile::ChartFile(const char* path) {
  // The C runtime says "Permission denied" of a directory: say what it is.
  DWORD attributes = GetFileAttributesA(path);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    open_error_ = EISDIR;
    return;
  }
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
    file_ = std::fopen(path, "wb");
    if (file_ == nullptr) open_error_ = errno;
    return;
  }
  std::fclose(probe);
  char directory[MAX_PATH];
  std::snprintf(directory, sizeof directory, "%s", path);
  char* slash = std::strrchr(directory, '\\');
  char* forward = std::strrchr(directory, '/');
  if (forward != nullptr && (slash == nullptr || forward > slash)) slash = forward;
  if (slash != nullptr) {
    *slash = '\0';
  } else {
    std::snprintf(directory, sizeof directory, ".");
  }
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
  if (error_ == 0 && !MoveFileExA(temporary_, target_, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error_ = EACCES;
  }
  if (error_ != 0) DeleteFileA(temporary_);
  temporary_[0] = '\0';
  return error_ == 0;
}

}  // namespace tap
