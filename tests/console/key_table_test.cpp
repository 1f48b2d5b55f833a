#include "console/key_table.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#endif

#include <set>
#include <string>

namespace tap {
namespace {

constexpr std::uint32_t ALT = STATE_LEFT_ALT;
constexpr std::uint32_t RALT = STATE_RIGHT_ALT;
constexpr std::uint32_t CTRL = STATE_LEFT_CTRL;
constexpr std::uint32_t RCTRL = STATE_RIGHT_CTRL;
constexpr std::uint32_t SHIFT = STATE_SHIFT;

std::vector<int> codes(KeyCodes c) {
  if (c.count == 0) return {};
  if (c.count == 1) return {c.first};
  return {c.first, c.second};
}

TEST(KeyTable, HoldsEachOfItsKeysOnceWithCodesInRange) {
  std::set<int> seen;
  for (const KeyTableEntry& e : KeyTable) {
    EXPECT_TRUE(seen.insert(e.virtual_key).second) << "duplicate " << e.virtual_key;
    for (std::int16_t code : {e.plain, e.shift, e.ctrl, e.alt}) {
      if (code == NO_CODE) continue;
      if (code & TWO_STEP) {
        EXPECT_GE(code & 0xFF, 1) << e.virtual_key;
        EXPECT_LE(code & 0xFF, 166) << e.virtual_key;
        EXPECT_EQ(code & ~0x1FF, 0) << e.virtual_key;
      } else {
        EXPECT_GE(code, 1) << e.virtual_key;
        EXPECT_LE(code, 127) << e.virtual_key;
      }
    }
  }
  EXPECT_EQ(seen.size(), 89u);
}

struct Case {
  const char* name;
  KeyRecord record;
  std::vector<int> expected;
};

TEST(TranslateKeyRecord, GivesTheCodesOfEachKeyAndModifierState) {
  // clang-format off
  const Case cases[] = {
      {"Left", {37, 0, 0}, {0, 75}},
      {"Shift+Left", {37, 0, SHIFT}, {0, 75}},
      {"Ctrl+Left", {37, 0, CTRL}, {0, 115}},
      {"right Ctrl+Left", {37, 0, RCTRL}, {0, 115}},
      {"Alt+Left", {37, 0, ALT}, {0, 155}},
      {"AltGr-side Alt+Left", {37, 0, RALT}, {0, 155}},
      {"Ctrl+Alt+Left", {37, 0, CTRL | ALT}, {0, 155}},
      {"Ctrl+Shift+Left", {37, 0, CTRL | SHIFT}, {0, 115}},
      {"Up", {38, 0, 0}, {0, 72}},
      {"Right", {39, 0, 0}, {0, 77}},
      {"Down", {40, 0, 0}, {0, 80}},
      {"Ctrl+Up, Ctrl+Right, Ctrl+Down", {38, 0, CTRL}, {0, 141}},
      {"Alt+Down", {40, 0, ALT}, {0, 160}},
      {"F1", {112, 0, 0}, {0, 59}},
      {"Shift+F1", {112, 0, SHIFT}, {0, 84}},
      {"Ctrl+F10", {121, 0, CTRL}, {0, 103}},
      {"Alt+F10", {121, 0, ALT}, {0, 113}},
      {"F11", {122, 0, 0}, {0, 133}},
      {"Alt+F12", {123, 0, ALT}, {0, 140}},
      {"Home", {36, 0, 0}, {0, 71}},
      {"Delete with Alt", {46, 0, ALT}, {0, 163}},
      {"Enter's character", {13, 13, 0}, {13}},
      {"Ctrl+Enter, no character", {13, 0, CTRL}, {10}},
      {"Alt+Enter", {13, 0, ALT}, {0, 166}},
      {"Ctrl+M, no character", {'M', 0, CTRL}, {13}},
      {"Ctrl+Space", {32, 0, CTRL}, {0, 3}},
      {"Alt+Space", {32, 0, ALT}, {32}},
      {"Alt+Esc", {27, 0, ALT}, {0, 1}},
      {"Ctrl+Backspace", {8, 0, CTRL}, {127}},
      {"Shift+Tab", {9, 0, SHIFT}, {0, 15}},
      {"Alt+A", {'A', 0, ALT}, {0, 30}},
      {"Alt+Z", {'Z', 0, ALT}, {0, 44}},
      {"Ctrl+2", {'2', 0, CTRL}, {0, 3}},
      {"Ctrl+6", {'6', 0, CTRL}, {30}},
      {"Alt+1", {'1', 0, ALT}, {0, 120}},
      {"Alt+9", {'9', 0, ALT}, {0, 128}},
      {"Alt+0", {'0', 0, ALT}, {0, 129}},
      {"Shift+keypad 4", {100, 0, SHIFT}, {0, 75}},
      {"Shift+keypad 8", {104, 0, SHIFT}, {0, 72}},
      {"Shift+keypad 6", {102, 0, SHIFT}, {0, 77}},
      {"Shift+keypad 2", {98, 0, SHIFT}, {0, 80}},
      {"Alt+keypad divide", {111, 0, ALT}, {0, 164}},
      {"Alt+minus", {189, 0, ALT}, {0, 130}},
      {"Ctrl+minus", {189, 0, CTRL}, {31}},
      {"a character wins over the table", {37, 'x', ALT}, {'x'}},
      {"byte 130 is sign-extended", {0, 130, 0}, {-126}},
      {"byte 255 reads as -1", {0, 255, 0}, {-1}},
      {"the space bar typing U+3000 (Wine, code page 932)", {32, 0xa4, 0}, {32}},
      {"letter with nothing at all: the plain letter", {'Q', 0, 0}, {'q'}},
      {"Shift alone", {16, 0, SHIFT}, {}},
      {"Ctrl alone", {17, 0, CTRL}, {}},
      {"Alt alone", {18, 0, ALT}, {}},
      {"Caps Lock", {20, 0, 0}, {}},
      {"keypad centre as VK_CLEAR", {12, 0, 0}, {}},
      {"Alt+keypad digit has no code", {100, 0, ALT}, {}},
      {"Ctrl+semicolon has no code", {186, 0, CTRL}, {}},
      {"Ctrl+1 has no code", {'1', 0, CTRL}, {}},
  };
  // clang-format on
  for (const Case& c : cases) {
    EXPECT_EQ(codes(translate_key_record(c.record)), c.expected) << c.name;
  }
}

TEST(TranslateKeyRecord, OnlyTheArrowsAndShiftedKeypadGiveTheArrowSecondCodes) {
  // The recorder takes 72/75/77/80 after a 0 for an arrow: no other key in
  // any state may produce that pair, and no key gives a bare 0.
  const std::set<int> arrows = {37, 38, 39, 40};
  const std::set<int> keypad = {98, 100, 102, 104};
  for (const KeyTableEntry& e : KeyTable) {
    const std::uint32_t states[] = {0, SHIFT, CTRL, ALT};
    for (std::uint32_t state : states) {
      KeyCodes c = translate_key_record({static_cast<std::uint16_t>(e.virtual_key), 0, state});
      if (c.count == 1) {
        EXPECT_NE(c.first, 0) << e.virtual_key;
      }
      if (c.count != 2) continue;
      bool arrow_pair = c.second == 72 || c.second == 75 || c.second == 77 || c.second == 80;
      bool may = arrows.count(e.virtual_key) != 0 ? state != CTRL && state != ALT
                                                  : keypad.count(e.virtual_key) != 0 && state == SHIFT;
      EXPECT_EQ(arrow_pair, may) << "key " << e.virtual_key << " state " << state;
    }
  }
}

TEST(TranslateKeyRelease, AKeyUpIsAReleaseWhereItsKeyDownIsATap) {
  struct Case {
    KeyRecord record;
    int code;
  };
  const Case cases[] = {
      {{37, 0, 0}, 0x100 + '1'}, {{40, 0, 0}, 0x100 + '2'},   {{38, 0, SHIFT}, 0x100 + '3'},
      {{39, 0, 0}, 0x100 + '4'}, {{32, ' ', 0}, 0x100 + '9'}, {{104, 0, SHIFT}, 0x100 + '3'},  // keypad 8
      {{37, 0, CTRL}, -1},       {{39, 0, ALT}, -1},          {{13, '\r', 0}, -1},
      {{65, 'a', 0}, -1},        {{112, 0, 0}, -1},           {{32, 0, CTRL}, -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(translate_key_release(c.record), c.code) << c.record.virtual_key << " state " << c.record.control_state;
  }
}

TEST(KeyForCharacter, FindsTheUsKeyThatTypesEachAsciiByte) {
  struct CharCase {
    unsigned char c;
    std::uint16_t virtual_key;
    std::uint32_t state;
    unsigned char character;
  };
  // clang-format off
  const CharCase cases[] = {
      {'a', 'A', 0, 'a'},      {'A', 'A', SHIFT, 'A'}, {'7', '7', 0, '7'},   {'&', '7', SHIFT, '&'},
      {'*', '8', SHIFT, '*'},  {'+', 187, SHIFT, '+'}, {'-', 189, 0, '-'},   {'~', 192, SHIFT, '~'},
      {' ', 32, 0, ' '},       {'\r', 13, 0, '\r'},    {'\t', 9, 0, '\t'},   {27, 27, 0, 27},
      {1, 'A', CTRL, 1},       {26, 'Z', CTRL, 26},    {28, 220, CTRL, 28},  {31, 189, CTRL, 31},
      {'\n', 'J', CTRL, '\n'},    {0, 32, CTRL, 0},       {0x7F, 8, 0, 8},      {8, 8, 0, 8},
  };
  // clang-format on
  for (const CharCase& c : cases) {
    KeyRecord key = key_for_character(c.c);
    EXPECT_EQ(key.virtual_key, c.virtual_key) << int(c.c);
    EXPECT_EQ(key.control_state, c.state) << int(c.c);
    EXPECT_EQ(key.character, c.character) << int(c.c);
  }
  for (int c = 0; c < 0x80; ++c) {
    EXPECT_NE(key_for_character(static_cast<unsigned char>(c)).virtual_key, 0) << c;
  }
}

// U+3000 then U+3001 in the code page, by the system's own converter: four
// bytes, or none when it has no such code page.
std::string ideographic_space_and_comma(unsigned code_page, const char* charset) {
  char out[8] = {};
#ifdef _WIN32
  (void)charset;
  const wchar_t wide[] = {0x3000, 0x3001};
  int length = WideCharToMultiByte(code_page, 0, wide, 2, out, sizeof out, nullptr, nullptr);
  return std::string(out, length > 0 ? static_cast<std::size_t>(length) : 0);
#else
  (void)code_page;
  iconv_t convert = iconv_open(charset, "UTF-8");
  if (convert == reinterpret_cast<iconv_t>(-1)) return {};
  char in[] = "\xe3\x80\x80\xe3\x80\x81";
  char* from = in;
  char* to = out;
  std::size_t in_left = 6, out_left = sizeof out;
  std::size_t done = iconv(convert, &from, &in_left, &to, &out_left);
  iconv_close(convert);
  return done == static_cast<std::size_t>(-1) ? std::string() : std::string(out, sizeof out - out_left);
#endif
}

TEST(IsIdeographicSpace, KnowsU3000InEachDoubleByteCodePage) {
  const struct {
    unsigned code_page;
    const char* charset;
  } pages[] = {{932, "CP932"}, {936, "GBK"}, {949, "CP949"}, {950, "BIG5"}};
  for (const auto& page : pages) {
    std::string bytes = ideographic_space_and_comma(page.code_page, page.charset);
    ASSERT_EQ(bytes.size(), 4u) << page.charset;
    auto byte = [&](int i) { return static_cast<unsigned char>(bytes[i]); };
    EXPECT_TRUE(is_ideographic_space(page.code_page, byte(0), byte(1))) << page.charset;
    EXPECT_FALSE(is_ideographic_space(page.code_page, byte(2), byte(3))) << page.charset;
    EXPECT_FALSE(is_ideographic_space(437, byte(0), byte(1)));
  }
}

}  // namespace
}  // namespace tap
