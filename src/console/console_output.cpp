#include "console/console_output.h"

#include <cctype>

namespace tap {

bool is_shift_jis_codeset(const char* codeset) {
  if (codeset == nullptr) return false;
  // Compare with case and punctuation folded: "Shift_JIS", "shift-jis",
  // "SJIS", "CP932", "WINDOWS-31J", "MS_KANJI".
  char folded[32];
  std::size_t n = 0;
  for (const char* p = codeset; *p != '\0'; ++p) {
    if (*p == '-' || *p == '_') continue;
    if (n + 1 == sizeof folded) return false;
    folded[n++] = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
  }
  folded[n] = '\0';
  const char* names[] = {"SJIS", "SHIFTJIS", "CP932", "WINDOWS31J", "MSKANJI", "IBM943", "CSSHIFTJIS"};
  for (const char* name : names) {
    if (std::strcmp(folded, name) == 0) return true;
  }
  return false;
}

void StandardConsole::write(const char* text, std::size_t length) {
  while (length > 0) {
    if (used_ == BUFFER_SIZE) flush();
    std::size_t n = BUFFER_SIZE - used_ < length ? BUFFER_SIZE - used_ : length;
    std::memcpy(buffer_ + used_, text, n);
    used_ += n;
    text += n;
    length -= n;
  }
}

}  // namespace tap
