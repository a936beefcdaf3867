#include "serial/device/platform.h"
#include "serial/port_table.h"

namespace qel::serial {

using namespace qel::dev;

namespace {
std::atomic<int> g_liveThreads{0};
}  // namespace

int LiveReceiveThreads() {
    return g_liveThreads.load();
}

// The thread never reads data: it tells the readers that characters have come and then
// stays paused until a reader has found the device empty, so that a burst costs one report.
void ReceiveThread(std::shared_ptr<ReceiveLink> link) {
    Device& device = *link->device;
    if (!device.SetCommMask(EV_RXCHAR)) {
        // No start report: V24Open gives up on its own and reads this afterwards.
        link->threadError = V24_EVENT_MASK;
        --g_liveThreads;
        return;
    }
    link->threadSignal->Set();

    while (link->running.load()) {
        DWORD mask = 0;
        bool reported = device.WaitCommEvent(mask);
        if (!link->running.load()) break;
        if (reported && (mask & EV_RXCHAR)) {
            link->dataSignal->Set();
            V24NotifyWindow window = link->notifyWindow.load();
            unsigned message = link->notifyMessage.load();
            if (window && message && link->running.load()) window(message, link->index);
        }
        // Also after a wait that failed or brought no arrival: a device that answers every
        // wait at once must not keep this thread spinning. A reader lets it go on, and closing
        // the port does too.
        link->resumeSignal->Wait(INFINITE);
    }

    device.SetCommMask(0);
    link->threadSignal->Set();
    --g_liveThreads;
}

bool StartReceiveThread(const std::shared_ptr<ReceiveLink>& link) {
    ++g_liveThreads;
    // Not joined: V24Close bounds its wait for the end report, and the thread keeps what it
    // uses alive by itself.
    if (StartBackgroundThread([link] { ReceiveThread(link); })) return true;
    --g_liveThreads;
    return false;
}

}  // namespace qel::serial
