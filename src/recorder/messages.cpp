#include "recorder/messages.h"

namespace tap {
namespace {

struct MessageText {
  const char* utf8;
  const char* shift_jis;  // code page 932
};

// In the order of Message. The Shift-JIS bytes are spelled out so that the
// source file stays UTF-8 throughout.
// clang-format off
const MessageText MESSAGES[] = {
    {"ENTERで計測を開始します",
     "ENTER\x82\xc5\x8cv\x91\xaa\x82\xf0\x8aJ\x8en\x82\xb5\x82\xdc\x82\xb7"},  // start_prompt
    {"終了時にENTERで出力します",
     "\x8fI\x97\xb9\x8e\x9e\x82\xc9\x45NTER\x82\xc5\x8fo\x97\xcd\x82\xb5\x82\xdc\x82\xb7"},  // end_hint
    {"計測開始！",
     "\x8cv\x91\xaa\x8aJ\x8en\x81I"},  // capture_started
    {"←が押されました",
     "\x81\xa9\x82\xaa\x89\x9f\x82\xb3\x82\xea\x82\xdc\x82\xb5\x82\xbd"},  // left_pressed
    {"↓が押されました",
     "\x81\xab\x82\xaa\x89\x9f\x82\xb3\x82\xea\x82\xdc\x82\xb5\x82\xbd"},  // down_pressed
    {"↑が押されました",
     "\x81\xaa\x82\xaa\x89\x9f\x82\xb3\x82\xea\x82\xdc\x82\xb5\x82\xbd"},  // up_pressed
    {"→が押されました",
     "\x81\xa8\x82\xaa\x89\x9f\x82\xb3\x82\xea\x82\xdc\x82\xb5\x82\xbd"},  // right_pressed
    {"SPACEが押されました",
     "SPACE\x82\xaa\x89\x9f\x82\xb3\x82\xea\x82\xdc\x82\xb5\x82\xbd"},  // space_pressed
    {"ENTERが押されました",
     "ENTER\x82\xaa\x89\x9f\x82\xb3\x82\xea\x82\xdc\x82\xb5\x82\xbd"},  // enter_pressed
    {"何らかのキーが押されました",
     "\x89\xbd\x82\xe7\x82\xa9\x82\xcc\x83L\x81[\x82\xaa\x89\x9f\x82\xb3\x82\xea\x82\xdc\x82\xb5\x82\xbd"},  // other_key_pressed
    {"That's All !!",
     "That's All !!"},  // thats_all
    {"ENTERで終了します",
     "ENTER\x82\xc5\x8fI\x97\xb9\x82\xb5\x82\xdc\x82\xb7"},  // closing_prompt
    {"終了！",
     "\x8fI\x97\xb9\x81I"},  // finished
};
// clang-format on

}  // namespace

const char* message_text(Message message, TextEncoding encoding) {
  const MessageText& text = MESSAGES[static_cast<int>(message)];
  return encoding == TextEncoding::shift_jis ? text.shift_jis : text.utf8;
}

}  // namespace tap
