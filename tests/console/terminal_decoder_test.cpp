#include "console/terminal_decoder.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "console/key_stream.h"
#include "console/virtual_keys.h"
#include "decoded_keys.h"

namespace tap {

bool operator==(const KeyRecord& a, const KeyRecord& b) {
  return a.virtual_key == b.virtual_key && a.character == b.character && a.control_state == b.control_state &&
         a.released == b.released;
}

void PrintTo(const KeyRecord& key, std::ostream* out) {
  *out << "{vk " << key.virtual_key << ", char " << int{key.character} << ", state 0x" << std::hex << key.control_state
       << std::dec << (key.released ? ", released" : "") << "}";
}

namespace {

constexpr std::uint32_t SHIFT = STATE_SHIFT;
constexpr std::uint32_t CTRL = STATE_LEFT_CTRL;
constexpr std::uint32_t ALT = STATE_LEFT_ALT;

// A key without a character, with its modifiers.
KeyRecord K(std::uint16_t virtual_key, std::uint32_t state = 0) {
  KeyRecord key;
  key.virtual_key = virtual_key;
  key.control_state = state;
  return key;
}

// A key that types its character.
KeyRecord T(std::uint16_t virtual_key, unsigned char character) {
  KeyRecord key = K(virtual_key);
  key.character = character;
  return key;
}

// The record of a typed ASCII character, and with Alt held (the table's Alt
// column then, so no character).
KeyRecord C(unsigned char c) { return key_for_character(c); }
KeyRecord A(unsigned char c) {
  KeyRecord key = C(c);
  key.character = 0;
  key.control_state |= ALT;
  return key;
}

// The same key, let go.
KeyRecord R(KeyRecord key) {
  key.released = true;
  return key;
}

// A character outside ASCII: its lead byte, no key of the table.
KeyRecord U(unsigned char lead) { return T(0, lead); }

// Feeds each chunk as one read would deliver it and returns the decoder's
// records. With `wait_expires`, the wait after the last chunk runs out.
std::vector<KeyRecord> decode_chunks(const std::vector<std::string>& chunks, bool wait_expires = true,
                                     TextEncoding encoding = TextEncoding::utf8) {
  DecodedKeys decoded(encoding);
  for (const std::string& chunk : chunks)
    decoded.read(reinterpret_cast<const unsigned char*>(chunk.data()), chunk.size());
  if (wait_expires) decoded.expire_wait();
  return decoded.keys;
}

std::vector<KeyRecord> decode(const std::string& bytes) { return decode_chunks({bytes}); }

struct Case {
  const char* sent;
  std::vector<KeyRecord> expected;
};

std::string escaped(const std::string& bytes) {
  std::string out;
  for (char ch : bytes) out += ch == '\x1b' ? std::string("ESC") : std::string(1, ch);
  return out;
}

void expect_all(const std::vector<Case>& cases) {
  for (const Case& c : cases) EXPECT_EQ(decode(c.sent), c.expected) << escaped(c.sent);
}

// Each sequence alone, between two keys, and byte by byte: what is not a key
// must leave the keys around it whole.
void expect_all_between_keys(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    std::vector<KeyRecord> around = {K(vk::LEFT)};
    around.insert(around.end(), c.expected.begin(), c.expected.end());
    around.push_back(C(' '));
    std::string sent = std::string("\x1b[D") + c.sent + " ";
    EXPECT_EQ(decode(sent), around) << escaped(c.sent);
    std::vector<std::string> bytes;
    for (char ch : sent) bytes.emplace_back(1, ch);
    EXPECT_EQ(decode_chunks(bytes), around) << escaped(c.sent) << " byte by byte";
  }
}

// The tables below are laid out by hand, a row per terminal where it helps.
// clang-format off
TEST(TerminalDecoder, CursorKeysInEveryFormTerminalsSend) {
  expect_all_between_keys({
      {"\x1b[A", {K(vk::UP)}}, {"\x1b[B", {K(vk::DOWN)}}, {"\x1b[C", {K(vk::RIGHT)}}, {"\x1b[D", {K(vk::LEFT)}},
      {"\x1bOA", {K(vk::UP)}}, {"\x1bOD", {K(vk::LEFT)}},   // application cursor mode, tmux, screen
      {"\x1b[1;2D", {K(vk::LEFT, SHIFT)}},                  // xterm
      {"\x1b[1;5D", {K(vk::LEFT, CTRL)}},  {"\x1b[1;3A", {K(vk::UP, ALT)}},
      {"\x1b[1;7D", {K(vk::LEFT, CTRL | ALT)}},  {"\x1b[1;6C", {K(vk::RIGHT, CTRL | SHIFT)}},
      {"\x1b[1;9B", {K(vk::DOWN, ALT)}},   // Meta counts as Alt
      {"\x1bO2D", {K(vk::LEFT, SHIFT)}},   // old xterm: a modifier digit after SS3
      {"\x1b[5D", {K(vk::LEFT, CTRL)}},    // older terminals: a lone modifier
      {"\x1b[d", {K(vk::LEFT, SHIFT)}}, {"\x1b[a", {K(vk::UP, SHIFT)}},   // rxvt Shift
      {"\x1bOd", {K(vk::LEFT, CTRL)}},  {"\x1bOc", {K(vk::RIGHT, CTRL)}}, // rxvt Ctrl
      {"\x1b\x1b[D", {K(vk::LEFT, ALT)}},  // rxvt Alt: ESC before the sequence
  });
}

TEST(TerminalDecoder, NavigationAndFunctionKeys) {
  expect_all_between_keys({
      {"\x1b[H", {K(vk::HOME)}},  {"\x1b[F", {K(vk::END)}},  {"\x1bOH", {K(vk::HOME)}},  {"\x1bOF", {K(vk::END)}},
      {"\x1b[1~", {K(vk::HOME)}}, {"\x1b[4~", {K(vk::END)}}, {"\x1b[7~", {K(vk::HOME)}}, {"\x1b[8~", {K(vk::END)}},
      {"\x1b[2~", {K(vk::INSERT)}}, {"\x1b[3~", {K(vk::DELETE_KEY)}},
      {"\x1b[5~", {K(vk::PAGE_UP)}}, {"\x1b[6~", {K(vk::PAGE_DOWN)}},
      {"\x1b[3;5~", {K(vk::DELETE_KEY, CTRL)}}, {"\x1b[5;3~", {K(vk::PAGE_UP, ALT)}},
      {"\x1b[Z", {K(vk::TAB, SHIFT)}},
      {"\x1bOP", {K(vk::F1)}}, {"\x1bOS", {K(vk::F1 + 3)}}, {"\x1b[1;2P", {K(vk::F1, SHIFT)}},
      {"\x1b[1;5S", {K(vk::F1 + 3, CTRL)}}, {"\x1bO5P", {K(vk::F1, CTRL)}},
      {"\x1b[11~", {K(vk::F1)}}, {"\x1b[15~", {K(vk::F1 + 4)}}, {"\x1b[17~", {K(vk::F1 + 5)}},
      {"\x1b[21~", {K(vk::F1 + 9)}}, {"\x1b[23~", {K(vk::F1 + 10)}}, {"\x1b[24~", {K(vk::F1 + 11)}},
      {"\x1b[15;2~", {K(vk::F1 + 4, SHIFT)}}, {"\x1b[24;5~", {K(vk::F1 + 11, CTRL)}},
      {"\x1b[[A", {K(vk::F1)}}, {"\x1b[[E", {K(vk::F1 + 4)}},           // the Linux console
      {"\x1b[25~", {K(vk::F1 + 2, SHIFT)}}, {"\x1b[34~", {K(vk::F1 + 9, SHIFT)}},  // F13, F20
      {"\x1b[2$", {K(vk::INSERT, SHIFT)}}, {"\x1b[3^", {K(vk::DELETE_KEY, CTRL)}},  // rxvt suffixes
      {"\x1b[5@", {K(vk::PAGE_UP, CTRL | SHIFT)}}, {"\x1b[7$", {K(vk::HOME, SHIFT)}},
      {"\x1b[E", {K(vk::CLEAR)}}, {"\x1bOE", {K(vk::CLEAR)}}, {"\x1b[G", {K(vk::CLEAR)}},  // keypad 5
      // st outside application keypad mode
      {"\x1b[4h", {K(vk::INSERT)}}, {"\x1b[L", {K(vk::INSERT, CTRL)}},
      {"\x1b[2K", {K(vk::DELETE_KEY, SHIFT)}}, {"\x1b[2J", {K(vk::HOME, SHIFT)}},
      {"\x1b[K", {K(vk::END, SHIFT)}}, {"\x1b[J", {K(vk::END, CTRL)}},
  });
  // st's Ctrl+Delete is how an X10 mouse report begins: alone it is the key.
  EXPECT_EQ(decode_chunks({"\x1b[M"}), std::vector<KeyRecord>{K(vk::DELETE_KEY, CTRL)});
  EXPECT_EQ(decode("\x1b[M\r"), (std::vector<KeyRecord>{K(vk::DELETE_KEY, CTRL), C('\r')}));
}

TEST(TerminalDecoder, KeypadAndKeysThatNameTheirCharacter) {
  expect_all_between_keys({
      {"\x1bOp", {T(vk::NUMPAD0, '0')}}, {"\x1bOy", {T(vk::NUMPAD0 + 9, '9')}},   // application keypad
      {"\x1bOM", {T(vk::ENTER, '\r')}},  {"\x1bOk", {T(vk::ADD, '+')}},
      {"\x1bO2x", {K(vk::NUMPAD0 + 8, SHIFT)}},
      {"\x1b[97;5u", {K('A', CTRL)}}, {"\x1b[13;5u", {K(vk::ENTER, CTRL)}}, {"\x1b[97u", {C('a')}},  // CSI u
      {"\x1b[32;5u", {K(vk::SPACE, CTRL)}},
      {"\x1b[27;5;13~", {K(vk::ENTER, CTRL)}},                     // modifyOtherKeys
      // kitty: press, repeat and release; alternate keys; the keypad's code points
      {"\x1b[97;1:2u", {C('a')}}, {"\x1b[97;1:3u", {R(C('a'))}}, {"\x1b[97:65;2u", {K('A', SHIFT)}},
      {"\x1b[1;1:2D", {K(vk::LEFT)}}, {"\x1b[1;2:3D", {R(K(vk::LEFT, SHIFT))}}, {"\x1b[3;1:3~", {R(K(vk::DELETE_KEY))}},
      {"\x1b[32;1:3u", {R(C(' '))}}, {"\x1b[13u", {C('\r')}},    // every key as an escape code
      {"\x1b[97;1;97u", {C('a')}},                                 // with the text it types
      {"\x1b[57399u", {T(vk::NUMPAD0, '0')}}, {"\x1b[57414u", {T(vk::ENTER, '\r')}},
      {"\x1b[57403;2u", {K(vk::NUMPAD0 + 4, SHIFT)}}, {"\x1b[57407;2u", {K(vk::NUMPAD0 + 8, SHIFT)}},
      {"\x1b[57417u", {K(vk::LEFT)}}, {"\x1b[57426;5u", {K(vk::DELETE_KEY, CTRL)}},
      {"\x1b[57441u", {}}, {"\x1b[57441;2:3u", {}},                 // a modifier key alone
  });
}

TEST(KittyProtocolAnswer, TheProtocolsAnswerBeforeTheAttributesSaysTheTerminalSpeaksIt) {
  struct Row {
    std::string bytes;
    ProtocolAnswer answer;
  };
  const Row rows[] = {
      {"\x1b[?0u\x1b[?62;22c", ProtocolAnswer::speaks},
      {"a\x1b[A\x1b[?1u \x1b[?64;1;9c", ProtocolAnswer::speaks},  // keys typed meanwhile
      {"\x1b[?62;22c", ProtocolAnswer::does_not},
      {"\x1b[?62;22c\x1b[?0u", ProtocolAnswer::does_not},  // the protocol's answer too late
      {"\x1b[?0u", ProtocolAnswer::waiting},
      {"\x1b[?0u\x1b[?62;2", ProtocolAnswer::waiting},
      {"", ProtocolAnswer::waiting},
      {"\x1b[?\x1b[?x\x1b[0u\x1b[?1;2c", ProtocolAnswer::does_not},  // garbage, no answer of the protocol
  };
  for (const Row& row : rows) {
    EXPECT_EQ(kitty_protocol_answer(reinterpret_cast<const unsigned char*>(row.bytes.data()), row.bytes.size()),
              row.answer)
        << row.bytes.size();
  }
}

TEST(TerminalDecoder, ControlBytesAndAltPrefix) {
  expect_all({
      {"\r", {C('\r')}}, {"\n", {C('\n')}}, {"\x03", {C(3)}}, {"\t", {C('\t')}}, {"\x7f", {C(0x7f)}},
      {"\x1b" "a", {A('a')}},   {"\x1b" "A", {A('A')}},   {"\x1b" "1", {A('1')}},
      {"\x1b ", {A(' ')}},      {"\x1b\r", {A('\r')}},    {"\x1b\x7f", {A(0x7f)}},  {"\x1b\x01", {A(1)}},
      {"\x1b\x1bOA", {K(vk::UP, ALT)}},
      {"\xc2\xa0", {K(vk::SPACE, ALT)}},  // xterm and mlterm's eight-bit Alt+Space
      {"a1 ?", {C('a'), C('1'), C(' '), C('?')}},
  });
  EXPECT_EQ(decode(std::string("\0", 1)), std::vector<KeyRecord>{C(0)});  // Ctrl+Space
}

TEST(TerminalDecoder, CharactersOfSeveralBytesAreOneKey) {
  expect_all({
      {"\xc3\xa9", {U(0xc3)}},                   // é
      {"\xe3\x81\x82", {U(0xe3)}},               // あ
      {"\xf0\x9f\x98\x80", {U(0xf0)}},           // an emoji
      {"\xe9" "a", {U(0xe9), C('a')}},           // Latin-1 é: a broken lead, then a
      {"\x80\x80", {U(0x80), U(0x80)}},          // stray continuation bytes
      {"\xe0\x80\x80", {U(0xe0), U(0x80), U(0x80)}},  // overlong form
      {"\x1b\xc3\xa9", {KeyRecord{0, 0xc3, ALT}}},  // Alt+é keeps its character
  });
  for (TextEncoding sjis : {TextEncoding::shift_jis}) {
    EXPECT_EQ(decode_chunks({"\x82\xa0"}, true, sjis), std::vector<KeyRecord>{U(0x82)});
    EXPECT_EQ(decode_chunks({"\xb1\x81\x40"}, true, sjis), (std::vector<KeyRecord>{U(0xb1), C(' ')}));  // U+3000
    EXPECT_EQ(decode_chunks({"\x82\r"}, true, sjis), (std::vector<KeyRecord>{U(0x82), C('\r')}));
  }
}

// What a terminal sends that is not a key: left on by a program that crashed,
// or a late answer to a query. Each yields nothing.
TEST(TerminalDecoder, ReportsMouseFocusPasteAndStringsAreNoKeys) {
  expect_all_between_keys({
      {"\x1b[200~pasted\x1b[201~", {}}, {"\x1b[201~", {}},           // a bracketed paste, a stray end
      {"\x1b[200~a \x1b[2D\r\x1b[201~", {}},                        // what it holds is no key either
      {"\x1b[200~\x1b[20\x1b[201~", {}}, {"\x1b[200~\x1b\x1b[201~", {}},  // nor what looks like its end
      {"\x1b[I", {}}, {"\x1b[O", {}},                                // focus in and out
      {"\x1b[M !!", {}}, {"\x1b[M#\x7e\x7e", {}},                      // X10 mouse: press, release
      {"\x1b[M \x01\x1b", {}},                                        // past column 223: wrapped
      {"\x1b[M \xc2\xa0!", {}}, {"\x1b[M@\xdf\xbf\xc4\x80", {}},        // its UTF-8 form (1005)
      {"\x1b[<0;12;5M", {}}, {"\x1b[<0;12;5m", {}}, {"\x1b[<64;1;1M", {}},  // SGR (1006)
      {"\x1b[32;12;5M", {}}, {"\x1b[0;20;20M", {}},                  // urxvt (1015), any button
      {"\x1b[1;1R", {}},                                             // the cursor at the top left
      {"\x1b]11;rgb:0000/0000/0000\x1b\\", {}},                      // OSC, ended by ST
      {"\x1b]10;rgb:ffff/ffff/ffff\x07", {}},                        // and by BEL
      {"\x1b]4;1;rgb:cdcd/0000/0000;4;2;rgb:0000/cdcd/0000;4;3;rgb:cdcd/cdcd/0000\x1b\\", {}},
      {"\x1bP1$r0;1m\x1b\\", {}}, {"\x1bP>|XTerm(388)\x1b\\", {}},   // DCS answers
      {"\x1b_Gi=1;OK\x1b\\", {}}, {"\x1b^private\x1b\\", {}}, {"\x1bXsos\x1b\\", {}},  // APC, PM, SOS
      {"\x1b[?2004;2$y", {}}, {"\x1b[2;1$y", {}},                    // mode reports
      {"\x1b[?62;22c", {}}, {"\x1b[>41;388;0c", {}}, {"\x1b[0n", {}},  // attributes, status
      {"\x1b[?1u", {}},                                              // kitty's flags
      {"\x1b[99~", {}}, {"\x1b[ A", {}}, {"\x1b[[Z", {}}, {"\x1bO~", {}},
  });
  // A cursor position report is Ctrl+F3 byte for byte: the key wins.
  EXPECT_EQ(decode("\x1b[1;5R"), std::vector<KeyRecord>{K(vk::F1 + 2, CTRL)});
  // A string across reads, and one cut by a new sequence.
  EXPECT_EQ(decode_chunks({"\x1b]11;rgb:00", "00/0000/00", "00\x1b", "\\x"}), std::vector<KeyRecord>{C('x')});
  EXPECT_EQ(decode("\x1b]11;rgb\x1b[A"), std::vector<KeyRecord>{K(vk::UP)});
  // A paste across reads; one whose end never comes ends with the wait.
  EXPECT_EQ(decode_chunks({"\x1b[200~one ", "two \x1b[2", "01~x"}), std::vector<KeyRecord>{C('x')});
  EXPECT_EQ(decode_chunks({"\x1b[200~one ", "two"}), std::vector<KeyRecord>{});
}

// Cut short by the wait or by a byte that cannot continue it, a sequence
// was keys: its bytes yield what they would mean typed, none lost.
TEST(TerminalDecoder, CutShortSequenceYieldsItsKeysAndLosesNoneAfterIt) {
  expect_all({
      {"\x1b[ ", {K(vk::LEFT_BRACKET, ALT), C(' ')}},              // Alt+[, Space
      {"\x1b[\r", {K(vk::LEFT_BRACKET, ALT), C('\r')}},
      {"\x1bO\x7f", {K('O', ALT | SHIFT), C(0x7f)}},
      {"\x1bO;", {K('O', ALT | SHIFT), C(';')}},
      {"\x1b[1;", {K(vk::LEFT_BRACKET, ALT), C('1'), C(';')}},
      {"\x1b[1;\x1b[A", {K(vk::LEFT_BRACKET, ALT), C('1'), C(';'), K(vk::UP)}},
      {"\x1b]", {A(']')}}, {"\x1b]ab", {A(']'), C('a'), C('b')}}, {"\x1bP", {A('P')}},
      {"\x1b]ab\x1bx", {A('x')}},                                 // ESC ends a string and starts anew
      {"\x1b]ab\x1b", {A(']'), C('a'), C('b'), C(0x1b)}},            // or is the Esc key
      {"\x1b[M !", {K(vk::DELETE_KEY, CTRL), C(' '), C('!')}},    // a mouse report would have had three
      {"\x1b[ \x1b[D", {K(vk::LEFT_BRACKET, ALT), C(' '), K(vk::LEFT)}},
  });
}

TEST(TerminalDecoder, LoneEscapeAndPrefixesBecomeKeysWhenTheWaitRunsOut) {
  EXPECT_EQ(decode_chunks({"\x1b"}), std::vector<KeyRecord>{C(0x1b)});
  EXPECT_EQ(decode_chunks({"\x1b"}, false), std::vector<KeyRecord>{});
  EXPECT_EQ(decode_chunks({"\x1b\x1b"}), std::vector<KeyRecord>{A(0x1b)});
  EXPECT_EQ(decode_chunks({"\x1b["}), std::vector<KeyRecord>{K(vk::LEFT_BRACKET, ALT)});
  EXPECT_EQ(decode_chunks({"\x1bO"}), std::vector<KeyRecord>{K('O', ALT | SHIFT)});
  EXPECT_EQ(decode_chunks({"\xe3\x81"}), std::vector<KeyRecord>{U(0xe3)});
  EXPECT_EQ(decode_chunks({"\x1b\x1b\x1b"}), (std::vector<KeyRecord>{A(0x1b), C(0x1b)}));
}

TEST(TerminalDecoder, OverlongSequenceIsDiscardedToItsEnd) {
  std::string digits(200, '1');
  EXPECT_EQ(decode("\x1b[" + digits + "Ax"), std::vector<KeyRecord>{C('x')});
  EXPECT_EQ(decode("\x1b[" + digits + "\x1b[B"), std::vector<KeyRecord>{K(vk::DOWN)});
  EXPECT_EQ(decode_chunks({"\x1b[" + digits}), std::vector<KeyRecord>{});
  EXPECT_EQ(decode("\x1b]" + digits + "\x07x"), std::vector<KeyRecord>{C('x')});
  // A string the wait cut was typed, however long the keys after its opener
  // ran; one past what a cut would give back came from the terminal.
  std::vector<KeyRecord> typed = {A(']')};
  typed.insert(typed.end(), digits.size(), C('1'));
  EXPECT_EQ(decode_chunks({"\x1b]" + digits}), typed);
  EXPECT_EQ(decode_chunks({"\x1b]" + std::string(TerminalDecoder::MAX_STRING + 1, '1')}), std::vector<KeyRecord>{});
}

TEST(TerminalDecoder, SequenceSplitAcrossReadsStillDecodes) {
  EXPECT_EQ(decode_chunks({"\x1b", "[A"}), std::vector<KeyRecord>{K(vk::UP)});
  EXPECT_EQ(decode_chunks({"\x1b[", "1;5", "D"}), std::vector<KeyRecord>{K(vk::LEFT, CTRL)});
  EXPECT_EQ(decode_chunks({"\x1b[1", ";2D\x1bO", "P"}), (std::vector<KeyRecord>{K(vk::LEFT, SHIFT), K(vk::F1)}));
  EXPECT_EQ(decode_chunks({"\xe3\x81", "\x82"}), std::vector<KeyRecord>{U(0xe3)});
  EXPECT_EQ(decode_chunks({"\x1b\x1b", "[D"}), std::vector<KeyRecord>{K(vk::LEFT, ALT)});
  EXPECT_EQ(decode_chunks({"\x1b[M", " !", "!x"}), std::vector<KeyRecord>{C('x')});
}
// clang-format on

TEST(TerminalDecoder, CompleteSequenceNeedsNoWait) {
  TerminalDecoder decoder;
  const unsigned char bytes[] = {0x1b, '[', 'D', ' ', 0x1b};
  ASSERT_EQ(decoder.push(bytes, sizeof bytes), sizeof bytes);
  KeyRecord key;
  ASSERT_TRUE(decoder.next(key));
  EXPECT_EQ(key, K(vk::LEFT));
  ASSERT_TRUE(decoder.next(key));
  EXPECT_EQ(key, C(' '));
  EXPECT_FALSE(decoder.next(key));
  EXPECT_TRUE(decoder.waiting());  // a lone ESC might still be the start of a sequence
  EXPECT_EQ(decoder.space_size(), TerminalDecoder::BUFFER_SIZE - 1);  // and stays held
}

// The whole key path for the keys the dialogue acts on, through the key
// table: read_key's codes from the bytes terminals send.
std::vector<int> codes_of(const std::vector<std::string>& chunks, bool releases = false) {
  KeyStream stream;
  if (releases) stream.report_releases();
  std::vector<int> out;
  int code = 0;
  for (const std::string& chunk : chunks) {
    stream.push(reinterpret_cast<const unsigned char*>(chunk.data()), chunk.size());
    while (stream.next(code)) out.push_back(code);
  }
  if (stream.flush(code)) out.push_back(code);
  while (stream.next(code)) out.push_back(code);
  return out;
}

TEST(KeyStream, GivesTheCodesOfTheKeyTable) {
  struct Row {
    std::vector<std::string> sent;
    std::vector<int> codes;
    bool releases = false;  // asked for
  };
  // clang-format off
  const Row rows[] = {
      {{"\x1b[A\x1b[B \x1bOD\r"}, {0, 72, 0, 80, 32, 0, 75, 13}},
      {{"\x1b[1;2D", "\x1b[d"}, {0, 75, 0, 75}},          // Shift+Left is Left
      {{"\x1b[1;5D\x1b[1;3D"}, {0, 115, 0, 155}},         // Ctrl and Alt+Left are other keys
      {{"\x1b[57403;2u\x1b[57407;2u"}, {0, 75, 0, 72}},   // kitty: Shift with the keypad's 4 and 8
      {{"\xc2\xa0", "\x1b "}, {32, 32}},                  // Alt+Space is a SPACE tap
      {{"\xe3\x80\x80", "\x1b\xe3\x80\x80"}, {32, 32}},     // so is U+3000, a Japanese input method's space
      {{"\x1b[200~ \x1b[A \x1b[201~ "}, {32}},              // a paste is no taps
      {{"\x1b[M"}, {0, 147}},                             // st's Ctrl+Delete
      {{"\x1b[", " "}, {0, 26, 32}},                      // Alt+[ and a Space in the next read
      {{"\x1b[1;1:2C\x1b[1;1:3C"}, {0, 77}},              // kitty: a repeat, then the release
      // Asked for, the lane keys' releases; no other key's.
      {{"\x1b[1;1:2C\x1b[1;1:3C\x1b[32;1:3u\x1b[97;1:3u\x1b[1;5:3D\x1b[13;1:3u"}, {0, 77, 0x134, 0x139}, true},
      {{"\x1b[B\x1b[1;2:3B", "\x1b[1;1:3", "A"}, {0, 80, 0x132, 0x133}, true},
  };
  // clang-format on
  for (const Row& row : rows) EXPECT_EQ(codes_of(row.sent, row.releases), row.codes) << escaped(row.sent[0]);
}

}  // namespace
}  // namespace tap
