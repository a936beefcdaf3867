#include <functional>
#include <memory>
#include <new>

#include "serial/device/platform.h"
#include "serial/device/win32_api.h"

namespace qel::dev {

namespace {

::DWORD WINAPI RunBody(LPVOID arg) {
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
    (*body)();
    return 0;
}

}  // namespace

bool StartBackgroundThread(std::function<void()> body) {
    auto* owned = new (std::nothrow) std::function<void()>(std::move(body));
    if (!owned) return false;
    // A small stack: the thread only waits and signals.
    HANDLE thread = CreateThread(nullptr, 64 * 1024, RunBody, owned,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (!thread) {
        delete owned;
        return false;
    }
    // Readers in the caller's thread come first; the thread only wakes them.
    SetThreadPriority(thread, THREAD_PRIORITY_BELOW_NORMAL);
    CloseHandle(thread);
    return true;
}

}  // namespace qel::dev
