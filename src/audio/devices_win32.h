#pragma once

// The Windows audio endpoints the song can play through.

#include <windows.h>
// clang-format off
#include <mmdeviceapi.h>
// clang-format on

namespace tap {

/// COM for the program's main thread, entered once: the output's objects
/// live in its apartment for as long as the program runs, whichever thread
/// closes them.
void enter_com();

/// The render endpoint of that friendly name, or the default with nullptr;
/// `device` stays nullptr where there is none. False when Windows has no
/// audio service to ask.
bool find_render_endpoint(const char* name, IMMDevice*& device);

}  // namespace tap
