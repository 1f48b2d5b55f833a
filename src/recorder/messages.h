#pragma once

#include "console/console_output.h"

namespace tap {

/// Every line of the dialogue.
enum class Message {
  start_prompt,
  end_hint,
  capture_started,
  left_pressed,
  down_pressed,
  up_pressed,
  right_pressed,
  space_pressed,
  enter_pressed,
  other_key_pressed,
  thats_all,
  closing_prompt,
  finished,
};

/// The message's bytes in the console's encoding, without a line end.
const char* message_text(Message message, TextEncoding encoding);

}  // namespace tap
