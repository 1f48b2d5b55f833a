#pragma once

#include <cstddef>
#include <cstring>

#include "console/text_encoding.h"

namespace tap {

/// Where the dialogue and the chart echo go. A line is built by write()
/// calls and reaches the user, flushed, at end_line().
class Console {
 public:
  virtual ~Console() = default;
  virtual void write(const char* text, std::size_t length) = 0;
  virtual void end_line() = 0;
  /// One whole line on standard error, for what ends the program early.
  virtual void error_line(const char* text) = 0;

  void write(const char* text) { write(text, std::strlen(text)); }
  void write_line(const char* text) {
    write(text);
    end_line();
  }
};

/// Writes nothing: for a console that is gone.
class NullConsole final : public Console {
 public:
  using Console::write;
  void write(const char*, std::size_t) override {}
  void end_line() override {}
  void error_line(const char*) override {}
};

/// Puts /dev/null on any of standard input, output and error that was
/// closed when the program started, before anything else is opened: else
/// the terminal or ved.txt would take that descriptor, and the console's
/// lines would be written into the chart file. Nothing to do on Windows.
void claim_standard_streams();

/// From here to the end, standard error carries the program's own lines
/// only: what the audio libraries write there (ALSA's and PortAudio's
/// notes on an underrun or a server gone, JACK's probing, the decoders')
/// goes nowhere, where it would break into the dialogue. Nothing to do on
/// Windows, whose audio writes nothing there.
void keep_others_off_standard_error();

/// True when standard output is the file at `path` itself (`tap-recorder >
/// ved.txt`): the console's lines would be mixed into the chart.
bool standard_output_is(const char* path);

/// True when the console window is the program's alone and closes the
/// moment it ends: a Windows console that no other process is attached to,
/// as when the .exe was started by a double-click. Never on POSIX, where
/// the terminal belongs to the shell it was started from.
bool console_window_is_own();

/// True for the names a C library gives Shift-JIS and its Windows variant
/// (SJIS, SHIFT_JIS, CP932, WINDOWS-31J, ...), in any case.
bool is_shift_jis_codeset(const char* codeset);

/// The encoding of the user's console: Shift-JIS where the locale says so,
/// UTF-8 otherwise.
TextEncoding console_text_encoding();

/// Standard output, written a whole line at a time: a line costs one write
/// unless it is longer than the buffer. No allocation.
class StandardConsole final : public Console {
 public:
  StandardConsole();
  using Console::write;
  void write(const char* text, std::size_t length) override;
  void end_line() override;
  void error_line(const char* text) override;

 private:
  void flush();

  static constexpr std::size_t BUFFER_SIZE = 4096;
  char buffer_[BUFFER_SIZE];
  std::size_t used_ = 0;
  // How a line ends on standard output and standard error: LF, or CR LF on
  // a terminal whose own output processing would not add the CR.
  const char* out_end_ = "\n";
  const char* error_end_ = "\n";
};

}  // namespace tap
