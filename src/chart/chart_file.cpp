#include "chart/chart_file.h"

#include <cerrno>

// What every platform's chart file does alike; opening and putting the file
// in place are the platforms' own.

namespace tap {

void ChartFile::write(const char* text, std::size_t length) {
  if (file_ != nullptr && std::fwrite(text, 1, length, file_) != length) note_failure();
}

void ChartFile::end_line() {
  write("\r\n", 2);
  if (file_ != nullptr && std::fflush(file_) != 0) note_failure();
}

void ChartFile::note_failure() {
  if (error_ == 0) error_ = errno != 0 ? errno : EIO;
}

}  // namespace tap
