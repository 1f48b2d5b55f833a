#pragma once

namespace tap {

/// How the user's console encodes text beyond ASCII, both ways: the bytes
/// the messages are written in, and how the characters typed arrive (one
/// character of several bytes makes one key-down). Decided once, at start.
enum class TextEncoding { utf8, shift_jis };

}  // namespace tap
