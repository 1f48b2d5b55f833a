#pragma once

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "console/console_output.h"

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
    char pattern[] = "/tmp/tap-recorder-test-XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~TempDir() {
    std::string command = "rm -rf '" + path_ + "'";
    if (std::system(command.c_str()) != 0) {
    }
  }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

}  // namespace tap::testing
