// The serial port library: up to ten open ports, each with a receive thread, buffered timed
// reads, writes with a completion time-out, line settings, flow control, break and modem
// lines. Every function takes the port handle (0..9) first and answers -19 for a handle
// outside 0..9 and -4 for a port that is not open. Results, never exceptions.
#pragma once
#include <cstdarg>
#include <cstdint>

#include "serial/device/dcb.h"

// Error codes of the library.
enum V24Error {
    V24_ACCESS_DENIED = -1,
    V24_NO_DEVICE = -2,
    V24_NO_MEMORY = -3,
    V24_NOT_OPEN = -4,
    V24_BAD_ARGUMENT = -5,
    V24_TIMEOUT = -6,
    V24_EVENT_MASK = -7,
    V24_NO_SLOT = -8,
    V24_NOT_SENT = -9,
    V24_BAD_HANDLE = -19,
    V24_RTS_HANDSHAKE = -20,
    V24_DEVICE_FAILED = -27,
    V24_NO_SIGNAL = -28,
    V24_THREAD_START = -30,
};

constexpr int V24_PORTS = 10;

// The arguments the functions take as plain int, by name. The functions keep their int
// parameters and refuse other values with V24_BAD_ARGUMENT.

// Access of V24Open: whether the device may be opened by nobody else meanwhile.
enum V24Access { V24_SHARED = 0, V24_EXCLUSIVE = 1 };

// The queue meant by V24Purge, V24SetQueueSize, V24GetQueueSize, V24GetQueueCount and
// V24IsQueueEmpty.
enum V24Queue { V24_INPUT = 0, V24_OUTPUT = 1 };

// Flow-control modes of V24SetHandshake and V24GetHandshake. Mode 2 is taken as mode 1.
enum V24Handshake {
    V24_HANDSHAKE_NONE = 0,
    V24_HANDSHAKE_XONXOFF = 1,
    V24_HANDSHAKE_XONXOFF_TOO = 2,
    V24_HANDSHAKE_RTSCTS = 3,
};

// Operations of V24Dtr and V24Rts; each returns the line's state after the call.
enum V24LineOperation { V24_OFF = 0, V24_ON = 1, V24_ASK = 2 };

// Stands in for the window that receives the data-arrival message: called from the port's
// receive thread with the message number and the port's handle, and not waited for by any
// reader. V24SetNotify calls it itself, in the caller's thread, when bytes already wait.
using V24NotifyWindow = void (*)(unsigned message, int handle);

// --- port table, opening, configuration and closing ------------------------------------
int V24Open(const char* name, int exclusive);
int V24Close(int handle);
int V24PortCount();
int V24SetLine(int handle, int baud, int dataBits, int parity, int stopBits);
int V24GetLine(int handle, int* baud, int* dataBits, int* parity, int* stopBits);
int V24SetDefaultLine(int handle);
int V24SetHandshake(int handle, int mode);
int V24GetHandshake(int handle);
int V24SetTimeout(int handle, int ms);
int V24GetTimeout(int handle);
int V24SetQueueSize(int handle, int which, int size);
int V24GetQueueSize(int handle, int which);
int V24Purge(int handle, int which);
int V24Dtr(int handle, int operation);
int V24Rts(int handle, int operation);
// The port's stored line settings, changed in place by callers that want a change to reach
// the device only with the next V24SetLine (or input-side V24SetQueueSize); null for a handle
// that is not open.
qel::dev::DCB* V24LineSettings(int handle);
// The last platform error seen by a device call of the port (diagnostic); 0 if not open.
std::uint32_t V24LastError(int handle);

// --- reading, queue status and notification --------------------------------------------
int V24ReadByteTimed(int handle, unsigned char* byte, int ms);
int V24ReadByte(int handle);
int V24ReadLine(int handle, char* buffer, unsigned len, int terminator);
int V24ReadBuffer(int handle, void* buffer, int count);
int V24PeekByte(int handle);
int V24WaitByte(int handle);
int V24GetLineErrors(int handle);
int V24GetQueueCount(int handle, int which);
int V24IsQueueEmpty(int handle, int which);
int V24SetNotify(int handle, V24NotifyWindow window, unsigned message);
unsigned V24GetNotifyMessage(int handle);

// --- transmission and line control ------------------------------------------------------
int V24WriteByte(int handle, int byte);
int V24WriteString(int handle, const char* text);
int V24WriteBuffer(int handle, const void* data, int count);
int V24Printf(int handle, const char* format, ...) __attribute__((format(printf, 2, 3)));
// V24Printf for callers that were handed their arguments as a list (the port object's Printf).
int V24VPrintf(int handle, const char* format, va_list args) __attribute__((format(printf, 2, 0)));
int V24SetBreak(int handle);
int V24ClearBreak(int handle);
int V24PulseBreak(int handle);
int V24GetCts(int handle);
int V24GetDsr(int handle);
int V24GetRing(int handle);
int V24GetRlsd(int handle);
