// The device interface the port library stands on. Every operation the library needs of a
// serial device is here, in the shape of the Win32 calls, so that termios, Win32 and the
// in-memory line are interchangeable backends with one behaviour.
#pragma once
#include <memory>
#include <string>

#include "serial/device/dcb.h"

namespace qel::dev {

enum class IoStatus { Done, Pending, Failed };

struct IoResult {
    IoStatus status = IoStatus::Failed;
    DWORD count = 0;  // bytes moved when Done
    DWORD error = 0;  // platform error when Failed
};

class Device {
public:
    virtual ~Device() = default;

    // SetupComm
    virtual bool SetupComm(DWORD inQueue, DWORD outQueue) = 0;
    // GetCommState / SetCommState
    virtual bool GetCommState(DCB& dcb) = 0;
    virtual bool SetCommState(const DCB& dcb) = 0;
    // SetCommTimeouts; the library only ever asks for reads that return at once.
    virtual bool SetCommTimeouts(const COMMTIMEOUTS& timeouts) = 0;

    // ReadFile with immediate return: Done with what the driver holds (possibly 0 bytes),
    // or Failed (for example ERROR_DEVICE_REMOVED when the device has vanished).
    virtual IoResult Read(void* buf, DWORD n) = 0;

    // WriteFile: Done when all bytes were taken at once, Pending when some are still queued
    // (they go out in call order, after what is queued already), Failed otherwise.
    virtual IoResult Write(const void* buf, DWORD n) = 0;
    // Waits up to ms for the pending write to complete; true when it did, with the count of
    // the bytes of that write. A write that does not complete stays queued.
    virtual bool WaitWrite(DWORD ms, DWORD& count) = 0;

    // SetCommMask / WaitCommEvent. The wait blocks until an event of the mask occurs or the
    // device is closed; false when the wait was cut off or failed (no event). A device that
    // has vanished reports EV_RXCHAR | EV_ERR at once, so that a waiting reader is woken and
    // learns of it from its next read, which fails.
    virtual bool SetCommMask(DWORD mask) = 0;
    virtual bool WaitCommEvent(DWORD& mask) = 0;

    // ClearCommError: fetches and clears the CE_ flags; fills the queue counts when asked.
    virtual bool ClearCommError(DWORD& errors, COMSTAT* status) = 0;
    // PurgeComm with PURGE_ flags.
    virtual bool PurgeComm(DWORD flags) = 0;
    // SetCommBreak / ClearCommBreak
    virtual bool SetCommBreak() = 0;
    virtual bool ClearCommBreak() = 0;
    // GetCommModemStatus: MS_ bits.
    virtual bool GetCommModemStatus(DWORD& bits) = 0;
    // EscapeCommFunction: SETDTR, CLRDTR, SETRTS, CLRRTS.
    virtual bool EscapeCommFunction(DWORD function) = 0;

    // CloseHandle: releases the device and ends a pending WaitCommEvent. Further calls fail.
    virtual void Close() = 0;

    // The platform error of the last call that failed.
    virtual DWORD LastError() const = 0;
};

// CreateFileA for a device path such as "\\.\COM3". On failure returns null and sets error
// to ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_NOT_ENOUGH_MEMORY or another code.
// Virtual ports registered by name are found first; otherwise the platform's device.
std::shared_ptr<Device> OpenDevice(const std::string& path, bool exclusive, DWORD& error);

}  // namespace qel::dev
