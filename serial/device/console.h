// The operator's console, for the one key press the tool asks for after its usage text.
#pragma once
#include "serial/device/dcb.h"

namespace qel::dev {

// Waits up to ms (real time) for one key at the console, without echo, and swallows it.
// Returns at once with false when standard input is not a terminal (a script is running
// the tool and nobody could press a key), when the terminal hangs up, or on time-out.
bool ConsoleWaitKey(DWORD ms);

}  // namespace qel::dev
