#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "serial/port_table.h"

using namespace qel::serial;
using namespace qel::dev;

namespace {

constexpr int kPrintfArea = 256;
constexpr DWORD kPulseBreakMs = 500;

// How long a write of n bytes may take to complete: its line time with room to spare
// (n * 32000 / baud, wrapping like the 32-bit original), at least the port's time-out.
DWORD CompletionWait(const V24Port& port, DWORD n) {
    const DWORD baud = port.lineSettings.BaudRate;
    // A rate of 0 can reach the stored settings only by a caller's change in place; it must
    // not divide by zero.
    DWORD w = baud ? (n * 32000u) / baud : 0;
    if (static_cast<std::int32_t>(w) < port.timeout) w = static_cast<DWORD>(port.timeout);
    return w;
}

// Sends n bytes; returns how many count as sent. A completion wait that runs out is no
// failure: the bytes stay queued in the driver and go out in call order.
int SendBytes(V24Port& port, const BYTE* data, DWORD n) {
    const DWORD w = CompletionWait(port, n);
    DWORD sent = 0;
    do {
        IoResult r = port.device->Write(data, n);
        DWORD count = 0;
        if (r.status == IoStatus::Done) {
            count = r.count;
        } else if (r.status == IoStatus::Pending) {
            if (!port.device->WaitWrite(w, count)) count = n;
        } else {
            port.lastError = r.error;
            break;
        }
        if (count > n) count = n;
        sent += count;
        // A device that takes nothing and reports no failure would otherwise be asked
        // again without end.
        if (w == 0 || count == 0) break;
        data += count;
        n -= count;
    } while (n > 0);
    return static_cast<int>(sent);
}

int ModemBit(int handle, DWORD bit) {
    int result = 0;
    V24Port* port = FindPort(handle, result);
    if (!port) return result;
    DWORD bits = 0;
    if (!port->device->GetCommModemStatus(bits)) bits = 0;
    return static_cast<int>(bits & bit);
}

}  // namespace

int V24WriteByte(int handle, int byte) {
    int result = 0;
    V24Port* port = FindPort(handle, result);
    if (!port) return result;
    const BYTE value = static_cast<BYTE>(byte & 0xFF);
    return SendBytes(*port, &value, 1) != 0 ? 0 : V24_NOT_SENT;
}

int V24WriteString(int handle, const char* text) {
    int result = 0;
    V24Port* port = FindPort(handle, result);
    if (!port) return result;
    if (!text) text = "";
    return SendBytes(*port, reinterpret_cast<const BYTE*>(text),
                     static_cast<DWORD>(std::strlen(text)));
}

int V24WriteBuffer(int handle, const void* data, int count) {
    int result = 0;
    V24Port* port = FindPort(handle, result);
    if (!port) return result;
    // A negative count would read far past the caller's data.
    if (count < 0 || !data) count = 0;
    static const BYTE kNothing = 0;
    const BYTE* bytes = count > 0 ? static_cast<const BYTE*>(data) : &kNothing;
    return SendBytes(*port, bytes, static_cast<DWORD>(count));
}

int V24Printf(int handle, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int result = V24VPrintf(handle, format, args);
    va_end(args);
    return result;
}

int V24VPrintf(int handle, const char* format, va_list args) {
    int result = 0;
    V24Port* port = FindPort(handle, result);
    if (!port) return result;
    if (!format) return 0;
    char area[kPrintfArea];
    int length = std::vsnprintf(area, sizeof area, format, args);
    if (length <= 0) return 0;
    // Longer text is cut to what the area holds.
    if (length > kPrintfArea - 1) length = kPrintfArea - 1;
    return SendBytes(*port, reinterpret_cast<const BYTE*>(area), static_cast<DWORD>(length));
}

int V24SetBreak(int handle) {
    int result = 0;
    V24Port* port = FindPort(handle, result);
    if (!port) return result;
    port->device->SetCommBreak();
    return 0;
}

int V24ClearBreak(int handle) {
    int result = 0;
    V24Port* port = FindPort(handle, result);
    if (!port) return result;
    port->device->ClearCommBreak();
    return 0;
}

int V24PulseBreak(int handle) {
    int result = 0;
    V24Port* port = FindPort(handle, result);
    if (!port) return result;
    port->device->SetCommBreak();
    Sleep(kPulseBreakMs);
    port->device->ClearCommBreak();
    return 0;
}

int V24GetCts(int handle) {
    return ModemBit(handle, MS_CTS_ON);
}
int V24GetDsr(int handle) {
    return ModemBit(handle, MS_DSR_ON);
}
int V24GetRing(int handle) {
    return ModemBit(handle, MS_RING_ON);
}
int V24GetRlsd(int handle) {
    return ModemBit(handle, MS_RLSD_ON);
}
