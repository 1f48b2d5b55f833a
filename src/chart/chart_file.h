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
  /// to it failed, and then the old file is untouched. A chart it replaces
  /// is first kept beside it as NAME~, itself replaced whole.
  bool close();

  /// Whether close() found a chart to replace, and then the name it was
  /// kept under (as the caller named the chart) and why it could not be
  /// kept (an errno value), or 0 when it was.
  bool replaced_previous() const { return replaced_previous_; }
  const char* kept_as() const { return kept_as_; }
  int kept_error() const { return kept_error_; }

 private:
  void note_failure();
  // Keeps the chart at target_ as target_~; false (kept_error_ set) when
  // it cannot.
  bool keep_previous();

  std::FILE* file_ = nullptr;
  int open_error_ = 0;
  int error_ = 0;
  // Set when the chart is written beside the file and replaces it.
  char temporary_[4200] = "";
  char target_[4200] = "";
  bool had_previous_ = false;  // a regular file is there to be replaced
  bool replaced_previous_ = false;
  char kept_as_[4200] = "";
  int kept_error_ = 0;
};

}  // namespace tap
