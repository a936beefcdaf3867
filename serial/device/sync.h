// Signals (auto- and manual-reset events with timed waits), pauses and the clock behind
// them. Every finite wait of the library and of the client passes through here, so tests
// can run long fixed waits (erase periods, programming waits) faster.
#pragma once
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "serial/device/dcb.h"

namespace qel::dev {

// Divides every finite wait of Sleep and Signal::Wait (1 = real time). For in-process tests.
void SetTimeScale(unsigned divisor);
unsigned TimeScale();

// The scaled length of a wait of ms milliseconds.
std::chrono::microseconds Scaled(DWORD ms);

void Sleep(DWORD ms);

// Milliseconds on a monotonic clock, for measuring in tests and benchmarks.
double NowMs();

class Signal {
public:
    explicit Signal(bool manualReset) : manual_(manualReset) {}
    Signal(const Signal&) = delete;
    Signal& operator=(const Signal&) = delete;

    void Set();
    void Reset();
    bool IsSet() const;
    // true when the signal came within ms (INFINITE waits without limit); an auto-reset
    // signal is taken by the wait that sees it.
    bool Wait(DWORD ms);

private:
    const bool manual_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool set_ = false;
};

}  // namespace qel::dev
