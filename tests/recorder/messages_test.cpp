#include "recorder/messages.h"

#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace tap {
namespace {

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
    EXPECT_EQ(std::string(message_text(message, TextEncoding::shift_jis)), testing::to_cp932(text)) << text;
  }
}

TEST(IsShiftJisCodeset, KnowsTheNamesOfShiftJis) {
  const std::pair<const char*, bool> cases[] = {
      {"SHIFT_JIS", true},
      {"Shift_JIS", true},
      {"shift-jis", true},
      {"SJIS", true},
      {"sjis", true},
      {"CP932", true},
      {"WINDOWS-31J", true},
      {"MS_KANJI", true},
      {"UTF-8", false},
      {"EUC-JP", false},
      {"ANSI_X3.4-1968", false},
      {"", false},
      {nullptr, false},
      {"SJIS-but-a-very-long-name-indeed", false},
  };
  for (const auto& [name, expected] : cases) EXPECT_EQ(is_shift_jis_codeset(name), expected) << (name ? name : "null");
}

}  // namespace
}  // namespace tap
