#include "sim/wire.h"

#include <thread>
#include <vector>

#include "serial/device/virtual_line.h"

namespace qel::sim {

namespace {

using Clock = std::chrono::steady_clock;

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

}  // namespace

std::unique_ptr<Wire> MakeVirtualWire(std::shared_ptr<dev::VirtualEnd> boxEnd,
                                      std::shared_ptr<dev::VirtualEnd> hostEnd) {
    return std::make_unique<VirtualWire>(std::move(boxEnd), std::move(hostEnd));
}

}  // namespace qel::sim
