#include "sim/wire.h"

#include <thread>
#include <vector>

#include "serial/device/posix_pty.h"
#include "serial/device/virtual_line.h"

namespace qel::sim {

namespace {

using Clock = std::chrono::steady_clock;

// What a UART at the wrong rate makes of a byte; the in-memory line does the same.
constexpr std::uint8_t kGarble = 0xA5;

class VirtualWire : public Wire {
  public:
    VirtualWire(std::shared_ptr<dev::VirtualEnd> end, std::shared_ptr<dev::VirtualEnd> host)
        : end_(std::move(end)), host_(std::move(host)) {
        // A whole bulk block arrives in one write of the host; the box must not lose any.
        end_->SetupComm(1 << 20, 1 << 20);
    }

    int Read(std::uint8_t* buf, int n) override {
        dev::IoResult r = end_->Read(buf, static_cast<dev::DWORD>(n));
        return r.status == dev::IoStatus::Failed ? -1 : static_cast<int>(r.count);
    }

    int Write(const std::uint8_t* buf, int n) override {
        dev::IoResult r = end_->Write(buf, static_cast<dev::DWORD>(n));
        if (r.status == dev::IoStatus::Failed) return -1;
        return n;  // the box uses no flow control: pending bytes are on their way
    }

    void WaitReadable(std::chrono::microseconds limit) override {
        if (limit >= std::chrono::milliseconds(1)) {
            end_->WaitReadable(static_cast<dev::DWORD>(limit.count() / 1000));
        } else if (limit.count() > 0) {
            std::this_thread::sleep_for(limit);
        }
    }

    void SetRate(dev::DWORD baud) override {
        dev::DCB dcb;
        end_->GetCommState(dcb);
        dcb.BaudRate = baud;
        dcb.ByteSize = 8;
        dcb.Parity = dev::NOPARITY;
        dcb.StopBits = dev::ONESTOPBIT;
        dcb.fOutxCtsFlow = 0;
        end_->SetCommState(dcb);
    }
    dev::DWORD Rate() const override { return end_->BaudRate(); }
    dev::DWORD HostRate() override { return host_ ? host_->BaudRate() : 0; }
    int BreaksBegun() override { return end_->BreaksReceived(); }
    bool BreakOn() override { return end_->BreakReceiving(); }
    void SetLowRateBreaks(bool) override {}

  private:
    std::shared_ptr<dev::VirtualEnd> end_;
    std::shared_ptr<dev::VirtualEnd> host_;
};

class PtyWire : public Wire {
  public:
    explicit PtyWire(std::shared_ptr<dev::PtyMaster> pty) : pty_(std::move(pty)) {}

    int Read(std::uint8_t* buf, int n) override {
        int got = pty_->Read(buf, n);
        if (got <= 0) return got;
        dev::DWORD host = pty_->SlaveBaudRate();
        if (host == rate_) return got;
        for (int i = 0; i < got; ++i) buf[i] ^= kGarble;
        if (lowRateBreaks_ && host != 0 && host < rate_) {
            auto now = Clock::now();
            if (!BreakOnAt(now)) ++breaks_;
            lastLowRate_ = now;
        }
        return got;
    }

    int Write(const std::uint8_t* buf, int n) override {
        dev::DWORD host = pty_->SlaveBaudRate();
        if (host == rate_) return pty_->Write(buf, n);
        std::vector<std::uint8_t> garbled(buf, buf + n);
        for (auto& b : garbled) b ^= kGarble;
        return pty_->Write(garbled.data(), n);
    }

    void WaitReadable(std::chrono::microseconds limit) override { pty_->WaitReadable(limit); }
    void SetRate(dev::DWORD baud) override { rate_ = baud; }
    dev::DWORD Rate() const override { return rate_; }
    dev::DWORD HostRate() override { return pty_->SlaveBaudRate(); }
    int BreaksBegun() override { return breaks_; }
    bool BreakOn() override { return BreakOnAt(Clock::now()); }
    void SetLowRateBreaks(bool on) override { lowRateBreaks_ = on; }

  private:
    // The stand-in break lasts while low-rate bytes keep coming, and a little after.
    bool BreakOnAt(Clock::time_point now) const {
        return breaks_ > 0 && now - lastLowRate_ < std::chrono::milliseconds(30);
    }

    std::shared_ptr<dev::PtyMaster> pty_;
    dev::DWORD rate_ = 19200;
    bool lowRateBreaks_ = true;
    int breaks_ = 0;
    Clock::time_point lastLowRate_{};
};

}  // namespace

std::unique_ptr<Wire> MakeVirtualWire(std::shared_ptr<dev::VirtualEnd> boxEnd,
                                      std::shared_ptr<dev::VirtualEnd> hostEnd) {
    return std::make_unique<VirtualWire>(std::move(boxEnd), std::move(hostEnd));
}

std::unique_ptr<Wire> MakePtyWire(std::shared_ptr<dev::PtyMaster> pty) {
    return std::make_unique<PtyWire>(std::move(pty));
}

}  // namespace qel::sim
