// Runs the whole dialogue on arbitrary terminal input, the clock moving a
// little with every reading, and checks that every acknowledged tap is in
// the press log and the run ends as it should.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "console/key_stream.h"
#include "recorder/recorder.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

// The input bytes as the terminal; when they run out the terminal is gone.
class ByteKeys final : public tap::KeySource {
 public:
  ByteKeys(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  int read_key() override {
    int code = 0;
    if (stream_.take_pending(code)) return code;
    if (status_.fault != tap::ReaderFault::none) return -1;
    for (;;) {
      if (stream_.next(code)) return code;
      if (stream_.flush(code)) return code;
      if (at_ == size_) {
        status_.fault = tap::ReaderFault::terminal_lost;
        std::strcpy(status_.detail, "end of input");
        return -1;
      }
      at_ += stream_.push(data_ + at_, size_ - at_ < 64 ? size_ - at_ : 64);
    }
  }
  const tap::KeyReaderStatus& status() const override { return status_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
  tap::KeyStream stream_;
  tap::KeyReaderStatus status_;
};

class SteppingClock final : public tap::TimeSource {
 public:
  explicit SteppingClock(std::uint32_t start) : now_(start) {}
  std::uint32_t elapsed_ms() override { return now_ += 17; }

 private:
  std::uint32_t now_;
};

// Counts the acknowledgement lines of recorded taps.
class CountingConsole final : public tap::Console {
 public:
  using Console::write;
  void write(const char* text, std::size_t length) override { line_.append(text, length); }
  void end_line() override {
    for (tap::Message m : {tap::Message::left_pressed, tap::Message::down_pressed, tap::Message::up_pressed,
                           tap::Message::right_pressed, tap::Message::space_pressed}) {
      if (line_ == tap::message_text(m, tap::TextEncoding::utf8)) ++taps;
    }
    ++lines;
    line_.clear();
  }
  void error_line(const char*) override { ++errors; }

  int taps = 0;
  int lines = 0;
  int errors = 0;

 private:
  std::string line_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  std::uint32_t start;
  std::memcpy(&start, data, 4);  // any start time, so clock wraps are covered
  ByteKeys keys(data + 4, size - 4);
  SteppingClock clock(start);
  CountingConsole console;
  auto recorder = std::make_unique<tap::Recorder>(keys, clock, console, tap::TextEncoding::utf8, "/dev/null");
  int code = recorder->run();

  check(code == tap::EXIT_DONE || code == tap::EXIT_NO_TERMINAL);
  const tap::PressLog& log = recorder->press_log();
  check(log.count == 0 || (log.count >= 1 && log.count <= tap::MAX_PRESS_SLOTS));
  if (log.count > 0) check(console.taps == log.count - 1);
  for (int j = 1; j < log.count; ++j) {
    char key = log.slots[j].key;
    check(key == '1' || key == '2' || key == '3' || key == '4' || key == '9');
  }
  check(console.errors == (code == tap::EXIT_NO_TERMINAL ? 1 : 0));
  return 0;
}
