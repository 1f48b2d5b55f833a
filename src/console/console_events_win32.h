#pragma once

#include <windows.h>

namespace tap {

/// The handler the key reader installs for the console's control events
/// (Ctrl+C, Ctrl+Break, close, logoff, shutdown). Windows calls it on a
/// thread of its own; tests call it the same way, for the events that no
/// program can raise (a close of the window).
BOOL WINAPI on_console_event(DWORD event);

}  // namespace tap
