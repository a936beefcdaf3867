// The box's side of a serial wire. Two kinds: one end of the in-memory line (tests in the
// same process) and the master of a pseudo-terminal (the boxsim program). Either way the box
// hears garbage while its rate differs from the host's, as it would on a real line.
#pragma once
#include <chrono>
#include <cstdint>
#include <memory>

#include "serial/device/dcb.h"

namespace qel::dev {
class VirtualEnd;
}  // namespace qel::dev

namespace qel::sim {

class PtyMaster;

// What a UART at the wrong rate makes of a byte; the in-memory line does the same.
constexpr std::uint8_t kGarble = 0xA5;

class Wire {
  public:
    virtual ~Wire() = default;

    // Takes what the host has sent, as the box hears it at its own rate, at once (possibly
    // nothing). -1 when the wire is gone for good.
    virtual int Read(std::uint8_t* buf, int n) = 0;
    // Puts bytes on the line; returns how many were taken (0 when the line is full for now),
    // -1 when the wire is gone.
    virtual int Write(const std::uint8_t* buf, int n) = 0;
    // Waits at most this long for bytes from the host (may return early).
    virtual void WaitReadable(std::chrono::microseconds limit) = 0;

    // The box's own rate, in bits per second.
    virtual void SetRate(dev::DWORD baud) = 0;
    virtual dev::DWORD Rate() const = 0;
    // The rate the host's port is set to, 0 when this wire cannot tell.
    virtual dev::DWORD HostRate() = 0;

    // Breaks the host has begun so far, and whether one is on the line now.
    virtual int BreaksBegun() = 0;
    virtual bool BreakOn() = 0;
    // Whether host bytes at a lower rate than the box's count as a break (pty only; the
    // in-memory line carries real breaks). The box turns it off while its firmware runs.
    virtual void SetLowRateBreaks(bool on) = 0;
};

// The box on one end of the in-memory line. With the host's end given, HostRate reports
// the rate the host uses; the line itself garbles bytes between ends at different rates.
std::unique_ptr<Wire> MakeVirtualWire(std::shared_ptr<dev::VirtualEnd> boxEnd,
                                      std::shared_ptr<dev::VirtualEnd> hostEnd = nullptr);

// The box on the master of a pseudo-terminal. The host's rate is read from the terminal's
// settings; bytes in either direction are garbled while it differs from the box's rate.
// A pty carries no break: bytes the host sends at a lower rate than the box listens at
// count as one (on a wire their long start bits hold the line low for a whole character at
// the box's rate, and the box's UART reports that as a break).
std::unique_ptr<Wire> MakePtyWire(std::shared_ptr<PtyMaster> pty);

}  // namespace qel::sim
