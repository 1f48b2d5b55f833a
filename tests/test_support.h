#pragma once

#include <algorithm>
#include <cfloat>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "console/console_output.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#include <unistd.h>
#endif

namespace tap::testing {

/// A console that keeps what was written: finished lines of standard
/// output, and standard error's lines apart.
class CapturedConsole final : public Console {
 public:
  using Console::write;
  void write(const char* text, std::size_t length) override { partial_.append(text, length); }
  void end_line() override {
    lines.push_back(partial_);
    partial_.clear();
  }
  void error_line(const char* text) override { errors.emplace_back(text); }

  std::vector<std::string> lines;
  std::vector<std::string> errors;

 private:
  std::string partial_;
};

/// A fresh directory, removed with what it holds at the end of the test.
class TempDir {
 public:
  TempDir() {
    static int made = 0;
    auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    path_ = (std::filesystem::temp_directory_path() /
             ("tap-recorder-test-" + std::to_string(stamp) + "-" + std::to_string(++made)))
                .string();
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return (std::filesystem::path(path_) / name).string(); }

 private:
  std::string path_;
};

/// The eight lines every chart ends with, whatever was recorded.
inline const std::vector<std::string> FIXED_CHART_LINES = {
    "&frzLeft_data=",  "&frzDown_data=", "&frzUp_data=", "&frzRight_data=",
    "&frzSpace_data=", "&stop_data=",    "&speed_data=", "&tuning=Name",
};

/// The lines as a file holds them: each ended by CR LF.
inline std::string crlf(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& line : lines) out += line + "\r\n";
  return out;
}

/// How many comma-separated values follow `label` in `text` (a chart, or
/// one of its lines), up to the line's end; -1 when the label is missing.
inline int value_count(const std::string& text, const std::string& label) {
  std::size_t at = text.find(label);
  if (at == std::string::npos) return -1;
  std::size_t start = at + label.size();
  std::size_t end = std::min(text.find("\r\n", start), text.size());
  if (end == start) return 0;
  return static_cast<int>(std::count(text.begin() + static_cast<std::ptrdiff_t>(start),
                                     text.begin() + static_cast<std::ptrdiff_t>(end), ',')) +
         1;
}

/// The values that follow `label` in `text` (a chart), up to the line's end;
/// none when the label is missing.
inline std::vector<int> lane_frames(const std::string& text, const std::string& label) {
  std::vector<int> frames;
  std::size_t at = text.find(label);
  if (at == std::string::npos) return frames;
  std::size_t end = text.find("\r\n", at);
  std::stringstream values(text.substr(at + label.size(), end - at - label.size()));
  std::string value;
  while (std::getline(values, value, ',')) frames.push_back(std::stoi(value));
  return frames;
}

#if LDBL_MANT_DIG == 64
/// to_frame as x87 extended precision computes it natively: the reference
/// the integer arithmetic must match.
inline std::int32_t extended_precision_frame(std::int32_t ms) {
  volatile long double milli = 0x83126E978D4FDF3Bp-73L;
  volatile long double seconds = static_cast<long double>(ms) * milli;
  volatile long double frames = seconds * 30.0L;
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::int64_t>(frames)));
}
#endif

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

inline bool make_directory(const std::string& path) { return std::filesystem::create_directory(path); }

/// Makes `path` a file that opens but takes no bytes, as on a full disk
/// (a link to /dev/full). False where the platform has no such device.
inline bool make_full_disk_file(const std::string& path) {
#ifdef _WIN32
  (void)path;
  return false;
#else
  return symlink("/dev/full", path.c_str()) == 0;
#endif
}

/// UTF-8 to code page 932 by the platform's own converter, independent of
/// the bytes in the program.
inline std::string to_cp932(const std::string& utf8) {
#ifdef _WIN32
  int wide_length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(wide_length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), wide_length);
  int length = WideCharToMultiByte(932, 0, wide.data(), wide_length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(932, 0, wide.data(), wide_length, out.data(), length, nullptr, nullptr);
  return out;
#else
  iconv_t cd = iconv_open("CP932", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return "(no CP932 converter)";
  std::string in = utf8;
  std::string out(in.size() * 2 + 8, '\0');
  char* src = in.data();
  char* dst = out.data();
  std::size_t src_left = in.size(), dst_left = out.size();
  if (iconv(cd, &src, &src_left, &dst, &dst_left) == static_cast<std::size_t>(-1))
    out = "(not convertible)";
  else
    out.resize(out.size() - dst_left);
  iconv_close(cd);
  return out;
#endif
}

}  // namespace tap::testing
