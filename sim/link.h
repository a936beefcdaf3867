// Byte traffic of the box over its wire, with the line's timing when pacing: each byte the
// box sends reaches the host one byte time (10 bits at the box's rate) after the one before
// it, and each byte from the host is taken one byte time after the one before it at the
// earliest. Breaks and the stop request end any wait.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>

#include "sim/box.h"
#include "sim/wire.h"

namespace qel::sim {

class Link {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kTimeout = -1;
    static constexpr int kInterrupted = -2;  // a break, the stop request, or the wire gone

    Link(Wire& wire, bool pace, const std::atomic<bool>& stop)
        : wire_(wire), pace_(pace), stop_(stop) {}

    // The next byte from the host (0..255), kTimeout after ms without one, or kInterrupted.
    int Get(double ms);
    void Put(std::uint8_t byte) { Put(&byte, 1); }
    void Put(const std::uint8_t* bytes, int n);
    // Lets ms pass with the box busy; output keeps flowing, input is kept for later.
    // False when interrupted.
    bool Pause(double ms);
    // Waits until everything put has reached the line (bounded); false when interrupted.
    bool Drain();
    void DiscardInput();
    void DiscardOutput();

    void SetRate(dev::DWORD baud);
    dev::DWORD Rate() const { return rate_; }
    dev::DWORD HostRate() { return wire_.HostRate(); }
    void SetLowRateBreaks(bool on) { wire_.SetLowRateBreaks(on); }

    // A break has begun since the last TakeBreak; BreakOn: it is still on the line.
    bool BreakPending() const { return breakPending_; }
    void TakeBreak() { breakPending_ = false; }
    bool BreakOn() { return wire_.BreakOn(); }
    bool Stopping() const { return stop_ || gone_; }

    LineStats Stats() const;
    void AddBusy(double ms);

  private:
    struct Timed {
        std::uint8_t byte;
        Clock::time_point at;
    };
    // Moves due output to the wire and fresh input from it; notes breaks.
    void Pump();
    void Wait(Clock::time_point until);
    Clock::duration ByteTime() const;
    void CountLine(std::uint64_t in, std::uint64_t out);

    Wire& wire_;
    const bool pace_;
    const std::atomic<bool>& stop_;
    bool gone_ = false;
    dev::DWORD rate_ = 19200;
    std::deque<Timed> in_;
    std::deque<Timed> out_;
    Clock::time_point lastIn_{};
    Clock::time_point lastOut_{};
    int breaksSeen_ = 0;
    bool breakPending_ = false;
    mutable std::mutex statsMutex_;
    LineStats stats_;
};

}  // namespace qel::sim
