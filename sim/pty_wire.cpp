// The box on the master of a pseudo-terminal (the boxsim program); Linux only.
#include <thread>
#include <vector>

#include "sim/pty_master.h"
#include "sim/wire.h"

namespace qel::sim {

namespace {

using Clock = std::chrono::steady_clock;

class PtyWire : public Wire {
  public:
    explicit PtyWire(std::shared_ptr<PtyMaster> pty) : pty_(std::move(pty)) {}

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

    std::shared_ptr<PtyMaster> pty_;
    dev::DWORD rate_ = 19200;
    bool lowRateBreaks_ = true;
    int breaks_ = 0;
    Clock::time_point lastLowRate_{};
};

}  // namespace

std::unique_ptr<Wire> MakePtyWire(std::shared_ptr<PtyMaster> pty) {
    return std::make_unique<PtyWire>(std::move(pty));
}

}  // namespace qel::sim
