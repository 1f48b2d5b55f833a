// The Windows key reader: the console input device itself ("CONIN$"), input
// mode 0 for the length of each read, one INPUT_RECORD at a time, and the
// same record translation as every other platform.

#include <windows.h>

#include <cstdio>

#include "console/console_events_win32.h"
#include "console/key_reader.h"
#include "console/key_table.h"
#include "console/termination.h"

namespace tap {
namespace {

// A mode that cannot be set may be a passing failure; a handful in a row
// mean the console is not coming back, and ending there keeps the dialogue
// from answering failures forever.
constexpr int FAILURES_BEFORE_GIVING_UP = 3;

// How long the console's close may be held up while the chart is written;
// Windows ends the process itself some seconds after a close.
constexpr DWORD CLOSE_GRACE_MS = 4500;

// Ctrl+C and Ctrl+Break end the run as SIGINT does on POSIX: 128 + 2.
constexpr int INTERRUPT_SIGNAL_NUMBER = 2;

/// A handle closed when it goes or is replaced; closing never throws.
class OwnedHandle {
 public:
  OwnedHandle() = default;
  ~OwnedHandle() { reset(); }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;

  void reset(HANDLE handle = nullptr) {
    if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = handle;
  }
  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_ = nullptr;
};

// Shared with the console-event handler, which runs on a thread of its own:
// so they live here rather than in the KeyReader.
OwnedHandle input;
OwnedHandle finished;         // set once the program is done with the console
volatile LONG closing = 0;    // the console is being closed
volatile LONG interrupt = 0;  // 1 + the Ctrl+C or Ctrl+Break event that asked the run to end

// A read waiting in ReadConsoleInputA returns once a record arrives: a
// focus event is one that nobody types and the loop passes over.
void wake_the_read() {
  INPUT_RECORD wake{};
  wake.EventType = FOCUS_EVENT;
  DWORD written = 0;
  WriteConsoleInputA(input.get(), &wake, 1, &written);
}

KeyRecord record_of(const KEY_EVENT_RECORD& key) {
  KeyRecord record;
  record.virtual_key = key.wVirtualKeyCode;
  record.character = static_cast<unsigned char>(key.uChar.AsciiChar);
  record.control_state =
      key.dwControlKeyState & (STATE_RIGHT_ALT | STATE_LEFT_ALT | STATE_RIGHT_CTRL | STATE_LEFT_CTRL | STATE_SHIFT);
  return record;
}

// In a double-byte code page ReadConsoleInputA splits a wide character into
// two records, lead byte then trail byte, written together: one key-down, as
// a terminal's character is, and U+3000 (the space bar under a Japanese
// input method) is SPACE. A trail is taken only from a key-down that has
// one: no tap's record does (arrows carry no character, SPACE and ENTER one
// below 0x40).
KeyRecord joined_record(const KEY_EVENT_RECORD& key) {
  KeyRecord joined = record_of(key);
  if (joined.character < 0x80) return joined;  // every tap: no call to the console
  UINT code_page = GetConsoleCP();
  if (!IsDBCSLeadByteEx(code_page, joined.character)) return joined;
  INPUT_RECORD next;
  DWORD count = 0;
  if (!PeekConsoleInputA(input.get(), &next, 1, &count) || count != 1 || next.EventType != KEY_EVENT ||
      !next.Event.KeyEvent.bKeyDown) {
    return joined;
  }
  auto trail = static_cast<unsigned char>(next.Event.KeyEvent.uChar.AsciiChar);
  if (trail < 0x40 || trail == 0x7F) return joined;
  ReadConsoleInputA(input.get(), &next, 1, &count);
  if (is_ideographic_space(code_page, joined.character, trail)) joined = key_for_character(' ');
  return joined;
}

}  // namespace

// Runs on a thread of its own. Between reads the console's own input mode
// is in force, so Ctrl+C typed then, and Ctrl+Break at any time, arrive here
// instead of as keys: they end the run as SIGINT does on POSIX, the chart
// written. A second one while taps are at stake gives up the console output
// instead, so the chart file is still written to its end; otherwise it gets
// the default handling, which ends the process.
//
// A close of the console window (or the end of the session) also lands
// here. Windows ends the process when this returns, so it wakes the waiting
// read and holds on until the chart has been written.
BOOL WINAPI on_console_event(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
    if (InterlockedCompareExchange(&interrupt, static_cast<LONG>(event) + 1, 0) != 0) {
      if (!taps_at_stake()) return FALSE;
      abandon_console_output();
      return TRUE;
    }
    wake_the_read();
    return TRUE;
  }
  if (event != CTRL_CLOSE_EVENT && event != CTRL_LOGOFF_EVENT && event != CTRL_SHUTDOWN_EVENT) return FALSE;
  InterlockedExchange(&closing, 1);
  wake_the_read();
  WaitForSingleObject(finished.get(), CLOSE_GRACE_MS);
  return TRUE;
}

struct KeyReader::Platform {
  PendingSecondCode pending;
  bool releases = false;

  int failures_in_a_row = 0;

  // "<call> failed, error <the system's error code>"
  static void describe(const char* call, char* detail, std::size_t size) {
    std::snprintf(detail, size, "%s failed, error %lu", call, static_cast<unsigned long>(GetLastError()));
  }
};

KeyReader::KeyReader(TextEncoding encoding) { open_ = open_key_reader(encoding); }

KeyReader::~KeyReader() { close_key_reader(); }

// The console's text arrives as records with their characters already
// decoded, so the encoding plays no part in reading keys here.
bool KeyReader::open_key_reader(TextEncoding) {
  interrupt = 0;
  closing = 0;
  input.reset(CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, 0, nullptr));
  DWORD mode = 0;
  if (!input.valid() || !GetConsoleMode(input.get(), &mode)) {
    char detail[sizeof status_.detail];
    Platform::describe("opening the console input CONIN$", detail, sizeof detail);
    fail(ReaderFault::no_terminal, detail);
    return false;
  }
  platform_ = std::make_unique<Platform>();
  finished.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  SetConsoleCtrlHandler(on_console_event, TRUE);
  return true;
}

int KeyReader::read_key() {
  if (!open_) return -1;
  Platform& state = *platform_;
  char detail[sizeof status_.detail];
  // A mode that cannot be set may pass; a handful of failures in a row end it.
  auto failed = [&](const char* what) {
    if (++state.failures_in_a_row >= FAILURES_BEFORE_GIVING_UP) {
      Platform::describe(what, detail, sizeof detail);
      fail(ReaderFault::terminal_lost, detail);
    }
    return -1;
  };
  // The console's mode cannot be read or its input not taken: it is gone.
  auto lost = [&](const char* what) {
    if (closing) {
      fail(ReaderFault::terminal_lost, "the console was closed");
      status_.console_closed = true;
    }
    Platform::describe(what, detail, sizeof detail);
    return fail(ReaderFault::terminal_lost, detail);
  };
  auto interrupted = [&] {
    if (status_.fault == ReaderFault::none) status_.signal_number = INTERRUPT_SIGNAL_NUMBER;
    return fail(ReaderFault::signal, interrupt == CTRL_BREAK_EVENT + 1 ? "Ctrl+Break" : "Ctrl+C");
  };

  int result = -1;
  if (state.pending.take(result)) return result;
  if (status_.fault != ReaderFault::none) return -1;
  if (closing) return lost("reading the console");
  if (interrupt) return interrupted();

  DWORD saved_mode = 0;
  if (!GetConsoleMode(input.get(), &saved_mode)) return lost("GetConsoleMode");
  // Mode 0: no line editing, no echo, and Ctrl+C arrives as a key.
  if (!SetConsoleMode(input.get(), 0)) return failed("SetConsoleMode");

  bool read_failed = false;
  for (;;) {
    INPUT_RECORD record;
    DWORD count = 0;
    if (!ReadConsoleInputA(input.get(), &record, 1, &count) || closing) {
      read_failed = true;
      break;
    }
    if (interrupt) break;
    if (record.EventType != KEY_EVENT) continue;
    if (!record.Event.KeyEvent.bKeyDown) {
      if (!state.releases) continue;
      result = translate_key_release(record_of(record.Event.KeyEvent));
      if (result >= 0) break;
      continue;
    }
    if (state.pending.deliver(joined_record(record.Event.KeyEvent), result)) break;
  }
  bool restored = SetConsoleMode(input.get(), saved_mode) != 0;
  if (read_failed) return lost("ReadConsoleInputA");
  if (interrupt) return interrupted();
  // A failed restore loses this code, though a second code stays pending.
  if (!restored) return failed("restoring the console mode");
  state.failures_in_a_row = 0;
  return result;
}

// The records that give no key (focus, mouse, a modifier alone) are passed
// over here, as the read would pass them, so that they do not hold it up.
bool KeyReader::key_ready(int wait_ms) {
  if (!open_ || status_.fault != ReaderFault::none || closing || interrupt || platform_->pending.waiting()) return true;
  ULONGLONG until = GetTickCount64() + static_cast<ULONGLONG>(wait_ms);
  for (;;) {
    INPUT_RECORD record;
    DWORD count = 0;
    if (!PeekConsoleInputA(input.get(), &record, 1, &count)) return true;  // the read tells the failure
    if (count == 0) {
      ULONGLONG now = GetTickCount64();
      if (now >= until) return false;
      DWORD waited = WaitForSingleObject(input.get(), static_cast<DWORD>(until - now));
      if (waited == WAIT_TIMEOUT) return false;
      if (waited != WAIT_OBJECT_0 || closing || interrupt) return true;
      continue;
    }
    if (record.EventType == KEY_EVENT) {
      const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
      WORD vk = key.wVirtualKeyCode;
      bool modifier = vk == VK_SHIFT || vk == VK_CONTROL || vk == VK_MENU || vk == VK_CAPITAL || vk == VK_NUMLOCK ||
                      vk == VK_SCROLL || (vk >= VK_LSHIFT && vk <= VK_RMENU);
      if (!modifier && (key.bKeyDown || platform_->releases)) return true;
    }
    if (!ReadConsoleInputA(input.get(), &record, 1, &count)) return true;
  }
}

// The console's key-up records tell every release.
bool KeyReader::report_releases() {
  if (!open_) return false;
  platform_->releases = true;
  return true;
}

// The event stays open: a close of the window may still be waiting on it
// until the process ends.
void KeyReader::close_key_reader() {
  input.reset();
  if (finished.valid()) SetEvent(finished.get());  // lets a close go on
}

}  // namespace tap
