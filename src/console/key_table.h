#pragma once

#include <array>
#include <cstdint>

namespace tap {

/// Modifier bits of a key-down record, with the values of the Windows
/// console's dwControlKeyState bits (RIGHT_ALT_PRESSED 0x0001 to
/// SHIFT_PRESSED 0x0010) so that every backend fills them alike.
enum : std::uint32_t {
  STATE_RIGHT_ALT = 0x0001,
  STATE_LEFT_ALT = 0x0002,
  STATE_RIGHT_CTRL = 0x0004,
  STATE_LEFT_CTRL = 0x0008,
  STATE_SHIFT = 0x0010,
};

/// One key-down as a platform reports it: the Windows virtual-key code, the
/// character byte it typed (0 for none) and the modifier state.
struct KeyRecord {
  std::uint16_t virtual_key = 0;
  unsigned char character = 0;
  std::uint32_t control_state = 0;
  bool released = false;  // the key let go, not pressed: a key-up
};

/// One row of KeyTable. A code of -1 means no code in that state; bit 0x100
/// marks a two-step code whose second code is the low eight bits.
struct KeyTableEntry {
  std::int16_t virtual_key;
  std::int16_t plain;
  std::int16_t shift;
  std::int16_t ctrl;
  std::int16_t alt;
};

constexpr std::int16_t NO_CODE = -1;
constexpr std::int16_t TWO_STEP = 0x100;
constexpr int KEY_TABLE_SIZE = 89;

/// The keys that carry no character of their own, with IBM PC BIOS codes.
extern const std::array<KeyTableEntry, KEY_TABLE_SIZE> KeyTable;

/// The entry for a virtual-key code, or nullptr when the key has none.
const KeyTableEntry* find_key_entry(int virtual_key);

/// What read_key delivers for one key-down: nothing (count 0), one code, or
/// the two-step pair 0 then `second` (count 2).
struct KeyCodes {
  int count = 0;
  int first = 0;
  int second = 0;
};

/// Turns one key-down record into read_key's codes. A character wins over
/// the table; otherwise the column is chosen Alt over Ctrl over Shift.
KeyCodes translate_key_record(const KeyRecord& record);

/// The release code of a key-up whose key-down would be a tap (an arrow,
/// the space bar), as CODE_RELEASED tells; -1 for any other key.
int translate_key_release(const KeyRecord& record);

/// read_key's side of a two-step code: the first code goes out at once,
/// the second waits here for the next call.
class PendingSecondCode {
 public:
  /// The waiting second code, if there is one.
  bool take(int& code);
  bool waiting() const { return second_ != -1; }
  /// Translates a key-down; false when it gives no code.
  bool deliver(const KeyRecord& record, int& code);

 private:
  int second_ = -1;
};

/// The key of a US layout that types the ASCII byte `c`, with the modifiers
/// it needs (Shift for upper case and shifted symbols, Ctrl for control
/// bytes). virtual_key is 0 when no key types it.
KeyRecord key_for_character(unsigned char c);

/// Whether the two bytes are U+3000 IDEOGRAPHIC SPACE in the double-byte
/// code page: 932 (Japanese), 936, 949 or 950.
bool is_ideographic_space(unsigned code_page, unsigned char lead, unsigned char trail);

}  // namespace tap
