// The port table inside the library: the slot record of every port, the handle guard and
// what a port's receive thread shares with the caller's thread.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>

#include "serial/device/device.h"
#include "serial/device/sync.h"
#include "serial/v24.h"

namespace qel::serial {

using dev::BYTE;
using dev::DWORD;

constexpr int kRxBufferSize = 512;
constexpr DWORD kThreadReportMs = 5000;
// How soon a new thread runs depends on the machine's load, not on the line: a clock that
// tests speed up never shortens the wait for the receive thread's report below this.
constexpr DWORD kThreadReportFloorMs = 1000;

// kThreadReportMs as a wait on the (possibly sped-up) clock, at least the floor in real time.
DWORD ThreadReportWait();

// What one opening's receive thread works with. The thread holds its own reference, so that
// none of it is freed under a thread that outlives its opening (a slow start that V24Open
// gave up on, or a notification call-back that does not return before V24Close stops
// waiting). The thread never touches the port slot: the slot may already serve the next
// opening.
struct ReceiveLink {
    std::shared_ptr<dev::Device> device;
    std::shared_ptr<dev::Signal> threadSignal;
    std::shared_ptr<dev::Signal> dataSignal;
    std::shared_ptr<dev::Signal> resumeSignal;
    int index = 0;
    // Cleared once by V24Close (or a failed V24Open); the thread's only stop request.
    std::atomic<bool> running{true};
    std::atomic<V24NotifyWindow> notifyWindow{nullptr};
    std::atomic<unsigned> notifyMessage{0};
    // -7 or -28 when the thread could not start; read by V24Open after it gave up.
    std::atomic<std::int32_t> threadError{0};
};

struct V24Port {
    char deviceName[32] = {};
    int index = 0;
    std::shared_ptr<dev::Device> device;
    V24NotifyWindow notifyWindow = nullptr;
    unsigned notifyMessage = 0;
    std::atomic<int> inUse{0};
    // Taken by one V24Open from the moment it picks the slot until V24Close has let go of
    // everything in it, so that two threads opening at once never fill the same slot.
    std::atomic<bool> claimed{false};
    DWORD lastError = 0;
    int dtrState = 0;
    int rtsState = 0;
    dev::DCB lineSettings;
    dev::COMSTAT driverStatus;
    std::shared_ptr<dev::Signal> threadSignal;
    std::shared_ptr<dev::Signal> dataSignal;
    std::shared_ptr<dev::Signal> resumeSignal;
    BYTE rxBuffer[kRxBufferSize] = {};
    BYTE* rxEnd = rxBuffer;
    BYTE* rxNext = rxBuffer;
    int outQueueSize = 2048;
    int inQueueSize = 4096;
    int xonLevel = 1024;
    int xoffLevel = 3072;
    int lineErrors = 0;
    int timeout = 1000;
    int handshake = V24_HANDSHAKE_NONE;
    // Shared with this opening's receive thread.
    std::shared_ptr<ReceiveLink> link;
};

// The slot of an open port, or null with result set to -19 (handle outside 0..9) or -4
// (slot free).
V24Port* FindPort(int handle, int& result);

// The slot a handle names, in use or not; null outside 0..9.
V24Port* SlotAt(int handle);

// Starts one opening's receive thread, which runs at once, one step below normal priority
// where the system has priorities; false when it cannot be started.
bool StartReceiveThread(const std::shared_ptr<ReceiveLink>& link);

// Receive threads that have started and not yet ended, in the whole process.
int LiveReceiveThreads();

// Fetches the device's error flags (and, when asked, its queue counts into driverStatus)
// and merges them into lineErrors. False when the fetch failed.
bool MergeLineErrors(V24Port& port, bool withStatus);

// Empties the staging buffer.
inline void ClearStaging(V24Port& port) {
    port.rxNext = port.rxEnd = port.rxBuffer;
}

}  // namespace qel::serial
