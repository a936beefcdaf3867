// An in-memory null-modem line: two ends that carry bytes, break, the modem lines and each
// end's line settings. Bytes sent at a baud rate the receiving end does not use arrive
// garbled, as on a real line. Hooks drop, corrupt, delay or pace bytes for tests.
#pragma once
#include <functional>
#include <memory>
#include <string>

#include "serial/device/device.h"

namespace qel::dev {

struct VirtualLineState;

class VirtualEnd : public Device, public std::enable_shared_from_this<VirtualEnd> {
  public:
    VirtualEnd(std::shared_ptr<VirtualLineState> line, int side);
    ~VirtualEnd() override;

    bool SetupComm(DWORD inQueue, DWORD outQueue) override;
    bool GetCommState(DCB& dcb) override;
    bool SetCommState(const DCB& dcb) override;
    bool SetCommTimeouts(const COMMTIMEOUTS& timeouts) override;
    IoResult Read(void* buf, DWORD n) override;
    IoResult Write(const void* buf, DWORD n) override;
    bool WaitWrite(DWORD ms, DWORD& count) override;
    bool SetCommMask(DWORD mask) override;
    bool WaitCommEvent(DWORD& mask) override;
    bool ClearCommError(DWORD& errors, COMSTAT* status) override;
    bool PurgeComm(DWORD flags) override;
    bool SetCommBreak() override;
    bool ClearCommBreak() override;
    bool GetCommModemStatus(DWORD& bits) override;
    bool EscapeCommFunction(DWORD function) override;
    void Close() override;
    DWORD LastError() const override;

    // --- for the other side of the wire and for tests ---------------------------------
    // Waits up to ms (real time, not scaled) until a byte can be read; false on time-out.
    bool WaitReadable(DWORD ms);
    // How many breaks the other end has started so far, and whether one is on now.
    int BreaksReceived() const;
    bool BreakReceiving() const;
    // The ring indicator this end's peer would see as RI.
    void SetRing(bool on);
    // Called for every byte this end sends; return false to drop it, change it to corrupt it.
    void SetFilter(std::function<bool(BYTE& byte)> filter);
    // Each byte this end sends arrives after a fixed delay, or (pacing) no sooner than the
    // line time of the bytes before it at this end's baud rate (10 bits a byte for 8N1).
    void SetDelayMs(double ms);
    void SetPacing(bool on);
    // Called (outside the line's lock) whenever a port handle on this end sets its event
    // mask, before the mask is applied; it may block to delay the call, and returning false
    // fails it. For tests of a receive thread that starts late or not at all.
    void SetMaskHook(std::function<bool(DWORD mask)> hook);
    // Takes the line away, as when a USB adapter is pulled: the other end's reads and writes
    // fail and its event wait reports an error.
    void Disconnect();
    // The baud rate this end is set to.
    DWORD BaudRate() const;
    // DTR and RTS as this end drives them.
    bool DtrOn() const;
    bool RtsOn() const;

    // Opens a handle on this end as a port would: one exclusive user at a time.
    std::shared_ptr<Device> OpenHandle(bool exclusive, DWORD& error);

  private:
    friend class VirtualHandle;
    std::shared_ptr<VirtualLineState> line_;
    const int side_;
};

struct VirtualLine {
    std::shared_ptr<VirtualEnd> a;
    std::shared_ptr<VirtualEnd> b;
    static VirtualLine Create();
};

// Makes OpenDevice("\\.\NAME") find the end (NAME upper case, e.g. "COM5").
void RegisterVirtualPort(const std::string& name, std::shared_ptr<VirtualEnd> end);
void UnregisterVirtualPort(const std::string& name);
std::shared_ptr<VirtualEnd> FindVirtualPort(const std::string& name);

}  // namespace qel::dev
