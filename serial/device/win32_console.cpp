#include "serial/device/console.h"
#include "serial/device/win32_api.h"

namespace qel::dev {

bool ConsoleWaitKey(DWORD ms) {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    ::DWORD saved = 0;
    // Not a console (a script's pipe or file, or none): nobody could press a key.
    if (in == nullptr || in == INVALID_HANDLE_VALUE || !GetConsoleMode(in, &saved)) return false;
    // One key, taken without echo and without waiting for Enter; Ctrl-C is a key too.
    SetConsoleMode(in, saved & ~static_cast<::DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT |
                                                     ENABLE_PROCESSED_INPUT));
    const ULONGLONG deadline = GetTickCount64() + ms;
    bool got = false;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) break;
        if (WaitForSingleObject(in, static_cast<::DWORD>(deadline - now)) != WAIT_OBJECT_0) break;
        INPUT_RECORD record{};
        ::DWORD read = 0;
        if (!ReadConsoleInputA(in, &record, 1, &read)) break;
        // Mouse, focus and size events, and key releases, are no key press.
        if (read == 1 && record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown) {
            got = true;
            break;
        }
    }
    SetConsoleMode(in, saved);
    return got;
}

}  // namespace qel::dev
