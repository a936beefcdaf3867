#include <algorithm>
#include <cstring>

#include "serial/port_table.h"

namespace qel::serial {

using namespace qel::dev;

bool MergeLineErrors(V24Port& port, bool withStatus) {
    DWORD errors = 0;
    COMSTAT status;
    if (!port.device->ClearCommError(errors, withStatus ? &status : nullptr)) return false;
    if (withStatus) port.driverStatus = status;
    if (errors & (CE_RXOVER | CE_OVERRUN)) port.lineErrors |= 2;
    if (errors & CE_RXPARITY) port.lineErrors |= 4;
    if (errors & CE_FRAME) port.lineErrors |= 8;
    return true;
}

}  // namespace qel::serial

using namespace qel::serial;
using namespace qel::dev;

namespace {

// A device read that failed ends the read at once. The receive thread is not let go on:
// a vanished device would answer its next wait at once, and nobody would read.
void ReadFailed(V24Port& port, const IoResult& r) {
    port.lastError = r.error;
    MergeLineErrors(port, true);
}

// Fills the empty staging buffer from its start with what the device holds now.
DWORD Refill(V24Port& port) {
    port.rxNext = port.rxBuffer;
    DWORD yield = 0;
    IoResult r = port.device->Read(port.rxBuffer, kRxBufferSize);
    if (r.status == IoStatus::Failed) {
        ReadFailed(port, r);
    } else {
        if (r.status == IoStatus::Done) {
            port.dataSignal->Reset();
            yield = std::min<DWORD>(r.count, kRxBufferSize);
        }
        if (yield == 0) port.resumeSignal->Set();
    }
    port.rxEnd = port.rxBuffer + yield;
    return yield;
}

// The line's silence is measured from the last byte that came, not from the last report of
// the receive thread, so that a report that brings nothing cannot keep a read going.
class SilenceClock {
  public:
    explicit SilenceClock(int ms) : ms_(ms) { Restart(); }
    void Restart() { deadline_ = NowMs() + static_cast<double>(ms_) / TimeScale(); }
    // What is left of the silence, in unscaled milliseconds for Signal::Wait.
    DWORD Left() const {
        double left = (deadline_ - NowMs()) * TimeScale();
        if (left <= 0) return 0;
        return std::min<DWORD>(static_cast<DWORD>(left + 0.5), static_cast<DWORD>(ms_));
    }

  private:
    const int ms_;
    double deadline_ = 0;
};

// Reads n bytes into dest: what is staged first, then straight from the device while the
// line is never quiet for ms. Returns the number of bytes delivered.
DWORD ReadCore(V24Port& port, BYTE* dest, DWORD n, int ms) {
    DWORD delivered = 0;
    while (delivered < n) {
        if (port.rxNext == port.rxEnd && Refill(port) == 0) break;
        DWORD take = std::min<DWORD>(static_cast<DWORD>(port.rxEnd - port.rxNext), n - delivered);
        std::memcpy(dest + delivered, port.rxNext, take);
        port.rxNext += take;
        delivered += take;
    }
    // A negative time-out would read as a wait without limit.
    if (delivered == n || ms <= 0) return delivered;

    SilenceClock silence(ms);
    bool lastEmpty = false;
    for (;;) {
        IoResult r = port.device->Read(dest + delivered, n - delivered);
        if (r.status == IoStatus::Failed) {
            ReadFailed(port, r);
            return delivered;
        }
        DWORD count = 0;
        if (r.status == IoStatus::Done) {
            port.dataSignal->Reset();
            count = std::min(r.count, n - delivered);
        }
        delivered += count;
        lastEmpty = count == 0;
        if (delivered == n) break;
        if (count > 0) {
            silence.Restart();
            continue;
        }
        port.resumeSignal->Set();
        DWORD left = silence.Left();
        if (left == 0 || !port.dataSignal->Wait(left)) break;
    }
    if (lastEmpty) port.resumeSignal->Set();
    return delivered;
}

int Peek(V24Port& port) {
    if (port.rxNext == port.rxEnd && Refill(port) == 0) return -1;
    return *port.rxNext;
}

}  // namespace

int V24ReadByteTimed(int handle, unsigned char* byte, int ms) {
    int result = 0;
    V24Port* port = FindPort(handle, result);
    if (!port) return result;
    BYTE local = 0;
    if (ReadCore(*port, &local, 1, ms) != 1) return 0;
    if (byte) *byte = local;
    return 1;
}

int V24ReadByte(int handle) {
    int result = 0;
    V24Port* port = FindPort(handle, result);
    if (!port) return result;
    BYTE byte = 0;
    if (ReadCore(*port, &byte, 1, port->timeout) != 1) return V24_TIMEOUT;
    return byte;
}

int V24ReadLine(int handle, char* buffer, unsigned len, int terminator) {
    int result = 0;
    V24Port* port = FindPort(handle, result);
    if (!port) return result;
    if (!buffer) return 0;
    unsigned i = 0;
    while (i < len) {
        auto* at = reinterpret_cast<BYTE*>(buffer + i);
        if (ReadCore(*port, at, 1, port->timeout) != 1) break;
        if (*at == static_cast<BYTE>(terminator)) break;
        ++i;
    }
    buffer[i] = '\0';
    return static_cast<int>(i);
}

int V24ReadBuffer(int handle, void* buffer, int count) {
    int result = 0;
    V24Port* port = FindPort(handle, result);
    if (!port) return result;
    if (count <= 0 || !buffer) return 0;
    return static_cast<int>(
        ReadCore(*port, static_cast<BYTE*>(buffer), static_cast<DWORD>(count), port->timeout));
}

int V24PeekByte(int handle) {
    int result = 0;
    V24Port* port = FindPort(handle, result);
    if (!port) return result;
    return Peek(*port);
}

int V24WaitByte(int handle) {
    int result = 0;
    V24Port* port = FindPort(handle, result);
    if (!port) return result;
    port->dataSignal->Reset();
    int byte = Peek(*port);
    if (byte >= 0) return byte;
    port->resumeSignal->Set();
    DWORD ms = port->timeout > 0 ? static_cast<DWORD>(port->timeout) : 0;
    if (!port->dataSignal->Wait(ms)) return -1;
    return Peek(*port);
}

int V24GetLineErrors(int handle) {
    int result = 0;
    V24Port* port = FindPort(handle, result);
    if (!port) return result;
    MergeLineErrors(*port, false);
    int errors = port->lineErrors;
    port->lineErrors = 0;
    return errors;
}

int V24GetQueueCount(int handle, int which) {
    int result = 0;
    V24Port* port = FindPort(handle, result);
    if (!port) return result;
    MergeLineErrors(*port, true);
    if (which == V24_INPUT) {
        return static_cast<int>(port->rxEnd - port->rxNext) +
               static_cast<int>(port->driverStatus.cbInQue);
    }
    if (which == V24_OUTPUT) return static_cast<int>(port->driverStatus.cbOutQue);
    return V24_BAD_ARGUMENT;
}

int V24IsQueueEmpty(int handle, int which) {
    int result = 0;
    V24Port* port = FindPort(handle, result);
    if (!port) return result;
    MergeLineErrors(*port, true);
    if (which == V24_INPUT) {
        return port->rxEnd == port->rxNext && port->driverStatus.cbInQue == 0 ? 1 : 0;
    }
    if (which == V24_OUTPUT) return port->driverStatus.cbOutQue == 0 ? 1 : 0;
    return V24_BAD_ARGUMENT;
}

int V24SetNotify(int handle, V24NotifyWindow window, unsigned message) {
    int result = 0;
    V24Port* port = FindPort(handle, result);
    if (!port) return result;
    port->notifyWindow = window;
    port->notifyMessage = message;
    port->link->notifyWindow = window;
    port->link->notifyMessage = message;
    if (!window || message == 0) return 0;
    // A paused thread would not report the next arrival.
    port->resumeSignal->Set();
    if (V24IsQueueEmpty(handle, V24_INPUT) == 0) window(message, port->index);
    return 0;
}

unsigned V24GetNotifyMessage(int handle) {
    int result = 0;
    V24Port* port = FindPort(handle, result);
    return port ? port->notifyMessage : 0;
}
