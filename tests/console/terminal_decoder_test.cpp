#include "console/terminal_decoder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "console/key_stream.h"

namespace tap {
namespace {

// Feeds each chunk as one read would deliver it and returns read_key's
// codes. With `wait_expires`, the wait after the last chunk runs out.
std::vector<int> decode_chunks(const std::vector<std::string>& chunks, bool wait_expires = true,
                               TextEncoding encoding = TextEncoding::utf8) {
  KeyStream stream(encoding);
  std::vector<int> out;
  int code = 0;
  for (const std::string& chunk : chunks) {
    std::memcpy(stream.space(), chunk.data(), chunk.size());
    stream.filled(chunk.size());
    while (stream.next(code)) out.push_back(code);
  }
  if (wait_expires && stream.flush(code)) {
    out.push_back(code);
    if (stream.take_pending(code)) out.push_back(code);
  }
  return out;
}

std::vector<int> decode(const std::string& bytes) { return decode_chunks({bytes}); }

struct Case {
  const char* sent;
  std::vector<int> expected;
};

void expect_all(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    std::string escaped;
    for (char ch : std::string(c.sent)) escaped += ch == '\x1b' ? std::string("ESC") : std::string(1, ch);
    EXPECT_EQ(decode(c.sent), c.expected) << escaped;
  }
}

// The tables below are laid out by hand, a row per terminal where it helps.
// clang-format off
TEST(TerminalDecoder, CursorKeysInEveryFormTerminalsSend) {
  expect_all({
      {"\x1b[A", {0, 72}}, {"\x1b[B", {0, 80}}, {"\x1b[C", {0, 77}}, {"\x1b[D", {0, 75}},
      {"\x1bOA", {0, 72}}, {"\x1bOD", {0, 75}},  // application cursor mode, tmux, screen
      {"\x1b[1;2D", {0, 75}},                    // xterm Shift
      {"\x1b[1;5D", {0, 115}}, {"\x1b[1;5A", {0, 141}}, {"\x1b[1;5C", {0, 116}}, {"\x1b[1;5B", {0, 145}},
      {"\x1b[1;3D", {0, 155}}, {"\x1b[1;3A", {0, 152}}, {"\x1b[1;3C", {0, 157}}, {"\x1b[1;3B", {0, 160}},
      {"\x1b[1;7D", {0, 155}},  // Ctrl+Alt: Alt wins
      {"\x1b[1;6D", {0, 115}},  // Ctrl+Shift: Ctrl wins
      {"\x1b[1;9D", {0, 155}},  // Meta counts as Alt
      {"\x1bO2D", {0, 75}},     // old xterm modifier digit
      {"\x1b[d", {0, 75}}, {"\x1b[a", {0, 72}}, {"\x1b[c", {0, 77}}, {"\x1b[b", {0, 80}},  // rxvt Shift
      {"\x1bOd", {0, 115}}, {"\x1bOa", {0, 141}},                                           // rxvt Ctrl
  });
}

TEST(TerminalDecoder, NavigationAndFunctionKeys) {
  expect_all({
      {"\x1b[H", {0, 71}},     {"\x1b[F", {0, 79}},     {"\x1bOH", {0, 71}},     {"\x1bOF", {0, 79}},
      {"\x1b[1~", {0, 71}},    {"\x1b[4~", {0, 79}},    {"\x1b[7~", {0, 71}},    {"\x1b[8~", {0, 79}},
      {"\x1b[2~", {0, 82}},    {"\x1b[3~", {0, 83}},    {"\x1b[5~", {0, 73}},    {"\x1b[6~", {0, 81}},
      {"\x1b[3;5~", {0, 147}}, {"\x1b[5;3~", {0, 153}}, {"\x1b[Z", {0, 15}},
      {"\x1bOP", {0, 59}},     {"\x1bOS", {0, 62}},     {"\x1b[1;2P", {0, 84}},  {"\x1b[1;5S", {0, 97}},
      {"\x1bO5P", {0, 94}},    {"\x1b[11~", {0, 59}},   {"\x1b[14~", {0, 62}},   {"\x1b[15~", {0, 63}},
      {"\x1b[17~", {0, 64}},   {"\x1b[21~", {0, 68}},   {"\x1b[23~", {0, 133}},  {"\x1b[24~", {0, 134}},
      {"\x1b[15;2~", {0, 88}}, {"\x1b[24;5~", {0, 138}}, {"\x1b[23;3~", {0, 139}},
      {"\x1b[[A", {0, 59}},    {"\x1b[[E", {0, 63}},    // Linux console F1, F5
      {"\x1b[25~", {0, 86}},   {"\x1b[34~", {0, 93}},   // F13, F20: Shift+F3, Shift+F10
      {"\x1b[2$", {0, 82}},    {"\x1b[3^", {0, 147}},   {"\x1b[5@", {0, 132}},   // rxvt suffixes
      {"\x1b[11^", {0, 94}},   {"\x1b[23$", {0, 135}},  {"\x1b[7$", {0, 71}},
  });
}

TEST(TerminalDecoder, ControlBytesAndAltPrefix) {
  expect_all({
      {"\r", {13}},   {"\n", {10}}, {"\x03", {3}},     {"\x1a", {26}}, {"\x1c", {28}}, {"\t", {9}},
      {"\x7f", {8}},  {"\x08", {8}},
      {"\x1b" "a", {0, 30}},         {"\x1b" "A", {0, 30}},           {"\x1b" "1", {0, 120}},
      {"\x1b\x1b[D", {0, 155}},      {"\x1b\x1bOA", {0, 152}},        {"\x1b ", {32}},
      {"\x1b\r", {0, 166}},          {"\x1b\x7f", {0, 14}},           {"\x1b\x01", {0, 30}},
      {"\x1b[97;5u", {1}},           {"\x1b[13;5u", {10}},            {"\x1b[27;5;13~", {10}},
      {"\x1b[32;5u", {0, 3}},        {"\x1b[97u", {'a'}},
      {"\x1bOp", {'0'}},             {"\x1bOy", {'9'}},               {"\x1bOM", {13}},
      {"\x1bOk", {'+'}},             {"\x1bO2x", {0, 72}},            // Shift+keypad 8
      {"a1 ?", {'a', '1', ' ', '?'}},
  });
  // NUL is Ctrl+Space; the literal above cannot carry it through a C string.
  EXPECT_EQ(decode(std::string("\0", 1)), (std::vector<int>{0, 3}));
}

TEST(TerminalDecoder, CharactersOfSeveralBytesAreOneKey) {
  expect_all({
      {"\xc3\xa9", {-61}},                    // é
      {"\xe3\x81\x82", {-29}},                // あ
      {"\xf0\x9f\x98\x80", {-16}},            // an emoji
      {"a\xc3\xa9" "b", {'a', -61, 'b'}},
      {"\xe9" "a", {-23, 'a'}},               // Latin-1 é: a broken lead, then a
      {"\x80\x80", {-128, -128}},             // stray continuation bytes
      {"\xff", {-1}},
      {"\xe0\x80\x80", {-32, -128, -128}},    // overlong form
      {"\x1b\xc3\xa9", {-61}},                // Alt+é keeps its character
  });
  EXPECT_EQ(decode_chunks({"\x82\xa0"}, true, TextEncoding::shift_jis), (std::vector<int>{-126}));
  EXPECT_EQ(decode_chunks({"\x82" "a"}, true, TextEncoding::shift_jis), (std::vector<int>{-126}));
  EXPECT_EQ(decode_chunks({"\xb1\x81\x40"}, true, TextEncoding::shift_jis), (std::vector<int>{-79, -127}));
  EXPECT_EQ(decode_chunks({"\x82\r"}, true, TextEncoding::shift_jis), (std::vector<int>{-126, 13}));
}

TEST(TerminalDecoder, UnknownSequencesAreSwallowedWhole) {
  expect_all({
      {"\x1b[200~x", {'x'}},          // bracketed paste marker
      {"\x1b[<0;12;5Mx", {'x'}},      // SGR mouse report
      {"\x1b[Ix\x1b[O", {'x'}},       // focus in and out
      {"\x1b[?1;2cx", {'x'}},         // device attributes answer
      {"\x1b[99~x", {'x'}},
      {"\x1b[1:2Ax", {'x'}},
      {"\x1b[ Ax", {'x'}},
      {"\x1b[Ex\x1bOE\x1b[G", {'x'}},  // the keypad's centre key is silent
      {"\x1b[[Zx", {'x'}},
      {"\x1bO~x", {'x'}},
      {"\x1b[1;\x1b[A", {0, 72}},     // a sequence cut short by the next one
      {"\x1b[1;5\r", {13}},
  });
}

TEST(TerminalDecoder, OverlongSequenceIsDiscardedToItsEnd) {
  std::string digits(200, '1');
  EXPECT_EQ(decode("\x1b[" + digits + "Ax"), (std::vector<int>{'x'}));
  EXPECT_EQ(decode("\x1b[" + digits + "\x1b[B"), (std::vector<int>{0, 80}));
  EXPECT_EQ(decode_chunks({"\x1b[" + digits}), (std::vector<int>{}));
}

TEST(TerminalDecoder, LoneEscapeAndPrefixesBecomeKeysWhenTheWaitRunsOut) {
  EXPECT_EQ(decode_chunks({"\x1b"}), (std::vector<int>{27}));
  EXPECT_EQ(decode_chunks({"\x1b"}, false), (std::vector<int>{}));
  EXPECT_EQ(decode_chunks({"\x1b\x1b"}), (std::vector<int>{0, 1}));
  EXPECT_EQ(decode_chunks({"\x1b["}), (std::vector<int>{0, 26}));
  EXPECT_EQ(decode_chunks({"\x1bO"}), (std::vector<int>{0, 24}));
  EXPECT_EQ(decode_chunks({"\x1b[1;"}), (std::vector<int>{}));
  EXPECT_EQ(decode_chunks({"\xe3\x81"}), (std::vector<int>{-29}));
  EXPECT_EQ(decode_chunks({"\x1b\x1b\x1b"}), (std::vector<int>{0, 1, 27}));
}

TEST(TerminalDecoder, SequenceSplitAcrossReadsStillDecodes) {
  EXPECT_EQ(decode_chunks({"\x1b", "[A"}), (std::vector<int>{0, 72}));
  EXPECT_EQ(decode_chunks({"\x1b[", "1;5", "D"}), (std::vector<int>{0, 115}));
  EXPECT_EQ(decode_chunks({"\x1b[1", ";2D\x1bO", "P"}), (std::vector<int>{0, 75, 0, 59}));
  EXPECT_EQ(decode_chunks({"\xe3\x81", "\x82"}), (std::vector<int>{-29}));
  EXPECT_EQ(decode_chunks({"\x1b\x1b", "[D"}), (std::vector<int>{0, 155}));
}

TEST(TerminalDecoder, CompleteSequenceNeedsNoWait) {
  TerminalDecoder decoder;
  const unsigned char bytes[] = {0x1b, '[', 'D', ' ', 0x1b};
  KeyRecord key;
  bool complete = false;
  std::size_t taken = decoder.feed(bytes, sizeof bytes, key, complete);
  ASSERT_TRUE(complete);
  EXPECT_EQ(taken, 3u);  // one key-down per call; the rest waits its turn
  EXPECT_EQ(key.virtual_key, 37);
  EXPECT_FALSE(decoder.waiting());
  taken += decoder.feed(bytes + taken, sizeof bytes - taken, key, complete);
  EXPECT_TRUE(complete);
  EXPECT_EQ(key.character, ' ');
  taken += decoder.feed(bytes + taken, sizeof bytes - taken, key, complete);
  EXPECT_FALSE(complete);
  EXPECT_EQ(taken, sizeof bytes);
  EXPECT_TRUE(decoder.waiting());  // a lone ESC might still be the start of a sequence
}

TEST(TerminalDecoder, ManyKeysInOneRead) {
  EXPECT_EQ(decode("\x1b[A\x1b[B \x1bOD\r"), (std::vector<int>{0, 72, 0, 80, 32, 0, 75, 13}));
}

// clang-format on

}  // namespace
}  // namespace tap
