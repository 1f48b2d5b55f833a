#include <windows.h>

#include "console/console_output.h"
#include "console/termination.h"

namespace tap {
namespace {

constexpr UINT SHIFT_JIS_CODE_PAGE = 932;

void write_bytes(HANDLE handle, const char* text, std::size_t length) {
  while (length > 0 && !console_output_abandoned()) {
    DWORD written = 0;
    if (!WriteFile(handle, text, static_cast<DWORD>(length), &written, nullptr) || written == 0) return;
    text += written;
    length -= written;
  }
}

// A console whose output code page is not 932 would show the Shift-JIS
// bytes as garbage: it gets the same text in UTF-16 instead.
bool console_needs_utf16(HANDLE handle) {
  DWORD mode = 0;
  return GetConsoleMode(handle, &mode) && GetConsoleOutputCP() != SHIFT_JIS_CODE_PAGE;
}

void write_text(HANDLE handle, const char* text, std::size_t length) {
  if (length == 0 || console_output_abandoned()) return;
  if (!console_needs_utf16(handle)) {
    write_bytes(handle, text, length);
    return;
  }
  wchar_t wide[4096];
  int n = MultiByteToWideChar(SHIFT_JIS_CODE_PAGE, 0, text, static_cast<int>(length), wide, 4096);
  DWORD written = 0;
  if (n > 0) WriteConsoleW(handle, wide, static_cast<DWORD>(n), &written, nullptr);
}

}  // namespace

// A console program's standard handles are never descriptors another open
// could take.
void claim_standard_streams() {}

void keep_others_off_standard_error() {}

bool standard_output_is(const char* path) {
  BY_HANDLE_FILE_INFORMATION out{}, file{};
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  if (output == INVALID_HANDLE_VALUE || output == nullptr || GetFileType(output) != FILE_TYPE_DISK ||
      !GetFileInformationByHandle(output, &out))
    return false;
  HANDLE chart = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  if (chart == INVALID_HANDLE_VALUE) return false;
  bool same = GetFileInformationByHandle(chart, &file) && out.dwVolumeSerialNumber == file.dwVolumeSerialNumber &&
              out.nFileIndexHigh == file.nFileIndexHigh && out.nFileIndexLow == file.nFileIndexLow;
  CloseHandle(chart);
  return same;
}

bool console_window_is_own() {
  DWORD processes[2];
  return GetConsoleProcessList(processes, 2) == 1;
}

// The messages are Shift-JIS on Windows whatever the console shows; the
// output side takes care of a console set to another code page.
TextEncoding console_text_encoding() { return TextEncoding::shift_jis; }

StandardConsole::StandardConsole() = default;

void StandardConsole::end_line() {
  write("\r\n", 2);
  flush();
}

void StandardConsole::flush() {
  write_text(GetStdHandle(STD_OUTPUT_HANDLE), buffer_, used_);
  used_ = 0;
}

void StandardConsole::error_line(const char* text) {
  HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  write_bytes(handle, text, std::strlen(text));
  write_bytes(handle, "\r\n", 2);
}

}  // namespace tap
