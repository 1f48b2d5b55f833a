#include "recorder/messages.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <string>

namespace tap {
namespace {

// The C library's own converter, independent of the bytes in the program.
std::string to_cp932(const std::string& utf8) {
  iconv_t cd = iconv_open("CP932", "UTF-8");
  EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1));
  std::string in = utf8;
  std::string out(in.size() * 2 + 8, '\0');
  char* src = in.data();
  char* dst = out.data();
  std::size_t src_left = in.size(), dst_left = out.size();
  EXPECT_NE(iconv(cd, &src, &src_left, &dst, &dst_left), static_cast<std::size_t>(-1)) << utf8;
  iconv_close(cd);
  out.resize(out.size() - dst_left);
  return out;
}

TEST(Messages, EveryTextInUtf8AndItsShiftJisBytes) {
  const std::pair<Message, const char*> texts[] = {
      {Message::start_prompt, "ENTERで計測を開始します"},
      {Message::end_hint, "終了時にENTERで出力します"},
      {Message::capture_started, "計測開始！"},
      {Message::left_pressed, "←が押されました"},
      {Message::down_pressed, "↓が押されました"},
      {Message::up_pressed, "↑が押されました"},
      {Message::right_pressed, "→が押されました"},
      {Message::space_pressed, "SPACEが押されました"},
      {Message::enter_pressed, "ENTERが押されました"},
      {Message::other_key_pressed, "何らかのキーが押されました"},
      {Message::thats_all, "That's All !!"},
      {Message::closing_prompt, "ENTERで終了します"},
      {Message::finished, "終了！"},
  };
  for (const auto& [message, text] : texts) {
    EXPECT_STREQ(message_text(message, TextEncoding::utf8), text);
    EXPECT_EQ(std::string(message_text(message, TextEncoding::shift_jis)), to_cp932(text)) << text;
  }
}

TEST(IsShiftJisCodeset, KnowsTheNamesOfShiftJis) {
  const std::pair<const char*, bool> cases[] = {
      {"SHIFT_JIS", true}, {"Shift_JIS", true}, {"shift-jis", true}, {"SJIS", true},        {"sjis", true},
      {"CP932", true},     {"WINDOWS-31J", true}, {"MS_KANJI", true}, {"UTF-8", false},      {"EUC-JP", false},
      {"ANSI_X3.4-1968", false}, {"", false},   {nullptr, false},    {"SJIS-but-a-very-long-name-indeed", false},
  };
  for (const auto& [name, expected] : cases) EXPECT_EQ(is_shift_jis_codeset(name), expected) << (name ? name : "null");
}

}  // namespace
}  // namespace tap
