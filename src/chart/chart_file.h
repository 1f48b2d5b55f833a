#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>

namespace tap {

/// Where the chart's bytes go. A regular file (or none yet) is written
/// beside itself, flushed to disk, and only then put in its place, so the
/// file is always one whole chart, the old or the new: a full disk or a
/// quota costs the new chart, never the old. Through a symbolic link its
/// target is replaced. Anything else (a FIFO someone reads, /dev/null, a
/// device) is written in place and never replaced. Opening never waits: a
/// FIFO nobody reads fails at once. Written in binary, so CR LF is exactly
/// what lands on every platform; the first failure is kept for the report.
class ChartFile {
 public:
  explicit ChartFile(const char* path);
  ~ChartFile();  // a new chart not put in place is removed
  ChartFile(const ChartFile&) = delete;
  ChartFile& operator=(const ChartFile&) = delete;

  bool is_open() const { return file_ != nullptr; }
  /// Why it could not be opened (an errno value).
  int open_error() const { return open_error_; }
  /// Why writing it failed (an errno value), once close() said so.
  int error() const { return error_; }

  void write(const char* text, std::size_t length);
  void end_line();
  /// Finishes the file and puts it in place; false when anything written
  /// to it failed, and then the old file is untouched.
  bool close();

 private:
  void note_failure();

  std::FILE* file_ = nullptr;
  int open_error_ = 0;
  int error_ = 0;
  // Set when the chart is written beside the file and replaces it.
  char temporary_[4200] = "";
  char target_[4200] = "";
};

}  // namespace tap
